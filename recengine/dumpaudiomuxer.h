// CDumpAudioMuxer: writes the AAC frames it is given, ADTS headers included,
// one after another into a plain file on a writer thread of its own. The
// FLV muxer hands it its audio frames (AddSubMuxer).
//
// At stop every frame already pushed is written before the file is closed.
// A failed or short file write ends the writer thread with
// OnMuxError(ERR_WRITE_FAILED) and leaves the file as written; Stop still
// returns at once.
#pragma once

#include <cstdint>
#include <list>
#include <mutex>

#include "enginetypes.h"
#include "workerqueue.h"

class CDataPackage;

class CDumpAudioMuxer : public IMUXPushData {
public:
    enum {
        // An audio frame did not reach the file (the FLV muxer's code for
        // "audio frame: the file did not grow").
        ERR_WRITE_FAILED = 11,
    };

    CDumpAudioMuxer();
    // Stops a writer thread that still runs and closes the file.
    ~CDumpAudioMuxer() override;

    CDumpAudioMuxer(const CDumpAudioMuxer&) = delete;
    CDumpAudioMuxer& operator=(const CDumpAudioMuxer&) = delete;

    // Creates (truncates) the file and starts the writer thread. 0, or -100
    // (file not opened), -95 (thread not started, or already running).
    // Only path and notify are used; the rest is logged.
    int Init(const char* path, std::uint16_t nWidth, std::uint16_t nHeight, std::uint16_t nFps,
             std::uint16_t wSampleRate, std::uint16_t wChannLayout, int VideoType, int AudioType,
             std::uint32_t bHaveVideo, std::uint32_t bHaveAudio, std::uint32_t bNeedBackup,
             IMuxErrorNotify* notify);

    // Audio frames are queued (a copy); video packets are ignored.
    void PushMediaData(bool bVideo, bool bKeyFrame, CDataPackage* payload,
                       std::uint32_t timestampMs) override;
    std::uint32_t SetVideoConfig(CDataPackage& config) override;
    int SetPause(bool paused) override;
    std::uint32_t AddSubMuxer(IMUXPushData* other) override;
    // Lets the writer thread write what is queued, waits for it and closes
    // the file. 0.
    int Stop();

private:
    static int PumpThread(CDumpAudioMuxer* pTmp);
    int PumpLoop();
    // Appends the frames to the file; false when the file took fewer bytes.
    bool WriteBatch(const std::list<MediaPacket>& batch);
    void CloseFile();

    std::mutex m_Lock;
    int m_nFile = -1;  // the output file's descriptor
    IMuxErrorNotify* m_pErrorNotify = nullptr;
    CWorkerQueue m_Worker;
};

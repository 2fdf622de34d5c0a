// CVideoEncodingWorker: encodes the pictures the engine's caller pushes into
// H.264 on a thread of its own and hands the decoder configuration and every
// encoded frame to the FLV muxer, telling the engine after each frame.
//
// At stop every picture pushed before StopEncoding is encoded, and the
// encoder is drained of frames it still holds, before the thread ends; the
// muxer's own stop then writes them.
#pragma once

#include <cstdint>
#include <list>
#include <mutex>

#include "enginetypes.h"
#include "videokit/h264codec.h"
#include "workerqueue.h"

class CDataPackage;

class CVideoEncodingWorker {
public:
    CVideoEncodingWorker();
    // Stops a thread that is still running (a std::thread cannot be left
    // behind), then releases every queued picture.
    ~CVideoEncodingWorker();

    CVideoEncodingWorker(const CVideoEncodingWorker&) = delete;
    CVideoEncodingWorker& operator=(const CVideoEncodingWorker&) = delete;

    // Stores the muxer, the observer and the encoder parameters. False when
    // pSink (the observer) is null.
    bool Init(IMUXPushData* pMux, int iWidth, int iHeight, std::uint32_t unformat,
              std::uint32_t iFps, IVideoEncodingObserver* pSink);
    // 0, or -1 when the thread cannot be created (or already runs).
    int StartEncoding();
    // Signals the stop and waits for the thread (at once when none runs). 0.
    int StopEncoding();
    // Queues a private copy of the picture; the caller keeps its package.
    // A picture stamped inside a pause is left out.
    void PushFrame(std::uint32_t timestampMs, CDataPackage* picture);
    // Pauses are taken on the engine clock (GetTickMs), the clock the
    // pictures are stamped with: pictures stamped from a pause's begin to its
    // end are not encoded, as the muxer leaves that time out of the time
    // line. The encoder goes on with the next picture (a P frame over the
    // last one encoded), so the stream stays decodable and nothing shows of
    // the pause. The engine pauses the worker before the muxer and resumes
    // it after the muxer, so that the muxer's pause spans the worker's. 0.
    int SetPause(bool paused);

    // The parameter record the next thread will hand to the codec.
    UcH264EncodeParam GetEncodeParam();

private:
    // What the thread takes from the worker when it starts.
    struct ThreadContext {
        IMUXPushData* pMux = nullptr;
        IVideoEncodingObserver* pObserver = nullptr;
        UcH264EncodeParam param;
        bool bNeedConfig = true;
    };

    static int VideoEncodingThread(CVideoEncodingWorker* pTmp);
    int EncodingLoop();
    void EncodeBatch(CUcH264codec* codec, ThreadContext& ctx, std::list<MediaPacket>& batch);
    void EncodePicture(CUcH264codec* codec, ThreadContext& ctx, const MediaPacket& picture);
    void DrainEncoder(CUcH264codec* codec, ThreadContext& ctx);
    // Hands one encoder output to the muxer: the configuration with the
    // first key frame, then the frame, then the observer call.
    void DeliverFrame(CUcH264codec* codec, ThreadContext& ctx, int type, unsigned char* out,
                      int outLen, std::uint32_t timestamp);

    std::mutex m_Lock;
    CWorkerQueue m_Worker;
    UcH264EncodeParam m_EncodeParam;
    IMUXPushData* m_pMux = nullptr;
    IVideoEncodingObserver* m_pObserver = nullptr;
    bool IsPausedAt(std::uint32_t timestampMs) const;

    bool m_bPaused = false;
    bool m_bHavePause = false;           // a pause has begun since Init
    std::uint32_t m_dwPauseBeginMs = 0;  // the newest pause, engine clock
    std::uint32_t m_dwPauseEndMs = 0;
    std::uint32_t m_dwPausedPictures = 0;  // left out since the newest pause began
};

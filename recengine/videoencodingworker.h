// CVideoEncodingWorker: encodes the pictures the engine's caller pushes into
// H.264 on a thread of its own and hands the decoder configuration and every
// encoded frame to the FLV muxer, telling the engine after each frame.
//
// At stop every picture pushed before StopEncoding is encoded, and the
// encoder is drained of frames it still holds, before the thread ends; the
// muxer's own stop then writes them.
//
// With the conversion at push (EnableConversionAtPush, for BGRA pictures of
// an even size) the pushing thread converts each picture into a pooled I420
// picture (only the changed rows when the caller says which) and the codec
// is given I420, with the rows that changed since the picture before when
// it takes them (x264 then skips the macroblocks outside); otherwise each
// push queues a copy of the picture's bytes and the codec converts them.
#pragma once

#include <cstdint>
#include <list>
#include <mutex>

#include "enginetypes.h"
#include "recengine/videopicturesink.h"
#include "videokit/h264changedrows.h"
#include "videokit/h264codec.h"
#include "videopictureconverter.h"
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
    // Queues the picture (converted, or a private copy); the caller keeps
    // its package. A picture stamped inside a pause is left out. Any thread,
    // one at a time.
    void PushFrame(std::uint32_t timestampMs, CDataPackage* picture);
    // The same for a picture described in full, with its changed rows. A
    // picture of another size than the encoder's, or that cannot be read, is
    // left out with a warning.
    void PushPicture(std::uint32_t timestampMs, const VideoPicture& picture);
    // Converts BGRA pictures to I420 on the pushing thread from the next
    // thread start on (ignored for other formats or odd sizes). Before
    // StartEncoding.
    void EnableConversionAtPush();

    // What the pushes did with the pictures, for tests and logs.
    struct PictureStats {
        CVideoPictureConverter::Stats conversion;
        std::uint64_t nByteCopies = 0;  // pictures queued as a copy of their bytes
        std::uint64_t nLeftOut = 0;     // pictures rejected (size, bytes) or inside a pause
        std::size_t nPooled = 0;        // I420 pictures allocated
    };
    PictureStats GetPictureStats();
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
        IH264ChangedRows* pChangedRows = nullptr;  // the codec's, when it takes changed rows
    };

    static int VideoEncodingThread(CVideoEncodingWorker* pTmp);
    int EncodingLoop();
    void EncodeBatch(CUcH264codec* codec, ThreadContext& ctx, std::list<MediaPacket>& batch);
    // Under m_Lock: true when the picture is inside a pause (and counted).
    bool LeaveOutLocked(std::uint32_t timestampMs);
    // A picture that will not be encoded: the kept picture lacks its changes.
    void LeftOut(const VideoPicture& picture);
    void QueueCopy(std::uint32_t timestampMs, CDataPackage* picture);
    void ConvertAndQueue(std::uint32_t timestampMs, const VideoPicture& picture);
    // Under m_Lock.
    void UpdateConversionLocked();
    // Encodes and then releases the picture's payload.
    void EncodePicture(CUcH264codec* codec, ThreadContext& ctx, MediaPacket& picture);
    void DrainEncoder(CUcH264codec* codec, ThreadContext& ctx);
    // Hands one encoder output to the muxer: the configuration with the
    // first key frame, then the frame, then the observer call.
    void DeliverFrame(CUcH264codec* codec, ThreadContext& ctx, int type, unsigned char* out,
                      int outLen, std::uint32_t timestamp);

    std::mutex m_Lock;
    // The conversion at push: pushing threads only, under m_ConvertLock.
    // Declared before m_Worker, whose queued pictures it must outlive.
    std::mutex m_ConvertLock;
    CVideoPictureConverter m_Converter;
    std::uint64_t m_nByteCopies = 0;     // under m_ConvertLock
    std::uint64_t m_nLeftOut = 0;        // under m_ConvertLock
    int m_nLastRejectedWidth = -1;       // under m_ConvertLock: logged once per size
    int m_nLastRejectedHeight = -1;
    bool m_bConvertWanted = false;       // under m_Lock
    bool m_bConvertAtPush = false;       // under m_Lock: wanted and the format allows it
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

// CFlvMuxer: turns encoded H.264 pictures and ADTS-framed AAC frames into FLV
// tags and writes them through CFlvWriter on a writer thread of its own
// (PumpThread). At stop it writes everything still queued, rewrites
// onMetaData in place with the real duration and finishes the file.
//
// Time line: packets are stamped on the engine clock (GetTickMs). One common
// base, the first time stamp pushed, is subtracted from both streams, and so
// is the paused time: SetPause records each pause's begin and end on the same
// clock, and a packet is placed at its time less every paused moment between
// the base and it. Audio stamped inside a pause is dropped (the sound stops
// while paused). Pictures stamped inside a pause are kept, since later frames
// refer to them: they follow the pause's start 1 ms apart, and the time line
// after that pause keeps those few milliseconds (one per such picture, plus
// one), so that video time stamps keep increasing. The recording therefore
// plays without its pauses, audio and video stay in sync, and the last tag's
// time stamp and the metadata duration agree with the time line.
//
// Sequence headers: a configuration given with SetVideoConfig applies from
// the next picture pushed after it, however far the writer lags behind.
//
// Order: each wake-up of the writer thread merges the audio and the video
// queue by time stamp. A packet whose stream runs ahead of the other one is
// kept back until the other stream has caught up with it, for at most
// kInterleaveWaitMs, so that time stamps never go backwards across the
// streams; at stop everything left is written in order. A pause does not
// count as silence: the wait starts over at the resume. Within a stream, a
// packet stamped at or before the previous tag of its stream (a picture
// stamped before the first packet, which maps to 0, or a producer out of
// order) is written 1 ms after that tag instead, so that neither stream's
// time stamps ever go backwards; the first such packet is logged, and their
// count when the file is finished. Across the streams the order is the
// interleave's: a stream late by more than kInterleaveWaitMs keeps its own
// time stamps rather than being squeezed behind the other one.
//
// Durability: the writer thread makes what it wrote durable (fdatasync, on a
// descriptor of its own for the file, outside the muxer lock so that no
// pushing thread waits for the disk) at most every kSyncIntervalMs, and once
// more when the file is finished. While the file is written, the marker
// "<file>.unfinished" (CRecordingMarker) lies beside it; it is removed once
// the file is finished without error, so a crash leaves it behind for
// `flvtool repair`.
//
// Failures: after every tag the writer's position and its last write error
// are checked. A failure ends the writer thread with OnMuxError(code) (codes
// below) and leaves the file as written; Stop still returns at once.
#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "enginetypes.h"
#include "workerqueue.h"

class CDataPackage;
class CFlvWriter;

class CFlvMuxer : public IMUXPushData {
public:
    // Codes of the writer thread, passed to OnMuxError.
    enum {
        ERR_SHORT_AUDIO_HEADER = 1,    // first audio packet shorter than 7 bytes
        ERR_BAD_ADTS_HEADER = 2,       // ADTS header not convertible
        ERR_AUDIO_HEADER_WRITE = 10,   // AAC sequence header: the file did not grow
        ERR_AUDIO_FRAME_WRITE = 11,    // audio frame: the file did not grow
        ERR_VIDEO_HEADER_WRITE = 12,   // AVC sequence header: the file did not grow
        ERR_VIDEO_FRAME_WRITE = 13,    // video frame: the file did not grow
        ERR_FINISH_FAILED = 14,        // the final onMetaData rewrite or the close failed
    };
    // A stream this far ahead of the other one is written anyway; also the
    // longest time a packet waits for a silent other stream.
    static constexpr std::uint32_t kInterleaveWaitMs = 500;
    // The longest time written tags stay in the page cache only.
    static constexpr std::uint64_t kSyncIntervalMs = 2000;

    CFlvMuxer();
    // Stops a writer thread that still runs, then releases what is queued.
    ~CFlvMuxer() override;

    CFlvMuxer(const CFlvMuxer&) = delete;
    CFlvMuxer& operator=(const CFlvMuxer&) = delete;

    // Opens the file, declares the streams, writes the provisional
    // onMetaData and starts the writer thread. 0, or a MuxInitResult:
    // -100 (no writer), -99 (writer Init), -98 (CreateMetaData),
    // -97 (CreateAudioStream), -96 (CreateVideoStream), -95 (thread not
    // started, or already running).
    // Only path, the picture values and notify are used; the rest is logged.
    int Init(const char* path, std::uint16_t nWidth, std::uint16_t nHeight, std::uint16_t nFps,
             std::uint16_t wSampleRate, std::uint16_t wChannLayout, int VideoType, int AudioType,
             std::uint32_t bHaveVideo, std::uint32_t bHaveAudio, std::uint32_t bNeedBackup,
             IMuxErrorNotify* notify);

    void PushMediaData(bool bVideo, bool bKeyFrame, CDataPackage* payload,
                       std::uint32_t timestampMs) override;
    std::uint32_t SetVideoConfig(CDataPackage& config) override;
    int SetPause(bool paused) override;
    std::uint32_t AddSubMuxer(IMUXPushData* other) override;
    // Lets the writer thread write what is queued and finish the file, waits
    // for it and releases the writer. 0.
    int Stop();

    // Total paused time so far, in milliseconds (finished pauses).
    std::uint32_t GetPausedMs();

private:
    struct Pause {
        std::uint32_t dwBeginMs = 0;
        std::uint32_t dwEndMs = 0;
        bool bOpen = true;           // still paused: no end yet
        std::uint32_t dwPictures = 0;  // pictures placed inside it
    };
    struct PendingHeader {
        std::uint64_t nFromPicture;  // index of the first picture it applies to
        std::string strBody;         // the complete tag body
    };
    enum Stream { kAudio = 0, kVideo = 1 };

    static int PumpThread(CFlvMuxer* pTmp);
    int PumpLoop();
    // Writes queued packets in time order (all of them when bDrainAll, else
    // those that cannot be overtaken), then flushes. 0 or a code.
    // `failed` names the stream whose write failed.
    int WriteQueued(bool bDrainAll, bool& bHolding, Stream& failed);
    bool MayWrite(Stream stream, std::uint32_t timestamp, std::uint64_t nowMs) const;
    // Moves a packet that would go back in time within its stream to 1 ms
    // after its stream's previous tag.
    void PlaceAfterWritten(Stream stream, MediaPacket& packet);
    int WriteAudioPacket(MediaPacket& packet);
    int WriteVideoPacket(MediaPacket& packet);
    int WriteAudioHeader(const MediaPacket& packet);
    // One tag through the writer, with the position and write error checks.
    int WriteTag(bool bVideo, std::uint32_t timestamp, CDataPackage& body, int growCode);
    // Rewrites onMetaData with the duration and closes the file.
    int FinishFile();
    // fdatasync of the file, timed (writer thread, without the muxer lock).
    void SyncFile();

    // The time line position of an engine-clock time stamp (a picture
    // inside a pause takes the next place after the pause's start); false
    // when it lies inside a pause.
    bool MapTimestamp(std::uint32_t timestamp, bool bVideo, std::uint32_t& mapped);

    std::mutex m_Lock;
    std::unique_ptr<CFlvWriter> m_pFlv;
    std::string m_strPath;
    bool m_bMarked = false;  // the marker beside the file was written
    // Writer thread only: the descriptor fdatasync works on, when the last
    // sync was, and what the syncs cost (logged when the file is finished).
    int m_nSyncFd = -1;
    std::uint64_t m_nLastSyncMs = 0;
    std::uint64_t m_nSyncs = 0;
    std::uint64_t m_nSyncUs = 0;
    std::uint64_t m_nSyncMaxUs = 0;
    std::uint32_t m_dwLastTagPos = 0;
    IMuxErrorNotify* m_pErrorNotify = nullptr;
    unsigned long m_dwAudioStreamId = 0;
    unsigned long m_dwVideoStreamId = 0;
    unsigned long m_dwMetaDataPos = 0;
    unsigned long m_dwMetaDataLen = 0;
    std::uint16_t m_wWidth = 0;
    std::uint16_t m_wHeight = 0;
    std::uint16_t m_wFps = 0;
    std::uint32_t m_dwBaseTimestamp = 0;
    bool m_bHaveBase = false;
    std::uint32_t m_dwLastTimestamp = 0;
    std::uint32_t m_dwPausedMs = 0;
    std::uint32_t m_dwPauseBeginMs = 0;
    std::vector<Pause> m_Pauses;  // every pause, in order; the last may be open
    int m_bAudioHeaderWritten = 0;
    int m_bVideoHeaderWritten = 0;
    std::uint8_t m_abAudioTagHeader[2] = {0, 0};
    CDataPackage* m_pVideoHeader = nullptr;  // the newest configuration's tag body
    // Configurations not yet reached by the writer, and the one in effect.
    std::list<PendingHeader> m_PendingVideoHeaders;
    std::string m_strActiveVideoHeader;
    std::uint64_t m_nVideoPushed = 0;
    std::uint64_t m_nVideoWritten = 0;
    // Packets pushed and not yet taken by the writer thread (both streams, in
    // push order), which sorts them into the two queues below at each
    // wake-up, under m_Lock.
    CWorkerQueue m_Worker;
    std::list<MediaPacket> m_AudioQueue;
    std::list<MediaPacket> m_VideoQueue;
    std::set<IMUXPushData*> m_SubMuxers;
    // Interleaving: per stream, whether it pushed yet, the time line
    // position of its newest packet and the engine time of its last push.
    bool m_abPushed[2] = {false, false};
    std::uint32_t m_adwNewestMs[2] = {0, 0};
    std::uint64_t m_allLastPushMs[2] = {0, 0};
    // While a packet is kept back: the engine time at which the other
    // stream's silence lets it be written.
    std::uint64_t m_nHoldUntilMs = 0;
    // Writer thread, under m_Lock: per stream, whether a tag was written and
    // the time stamp of the newest one; packets moved forward to keep their
    // stream's time stamps increasing.
    bool m_abWritten[2] = {false, false};
    std::uint32_t m_adwLastWrittenMs[2] = {0, 0};
    std::uint64_t m_nLatePackets = 0;
    // The code for a write error found by the flush after a batch: that of
    // the last tag written.
    int m_nLastGrowCode = ERR_AUDIO_FRAME_WRITE;
};

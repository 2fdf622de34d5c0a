// CAudioProcess: the audio processor between the two capture threads and the
// audio encoding worker. It keeps one queue per source (microphone and
// loopback), puts every captured block on a continuous timeline, empties a
// source's queue when its timeline breaks, and hands out runs of sample
// frames through IDataGetter. It owns the encoding worker and forwards start
// and stop to it.
//
// All queued audio is interleaved signed 16-bit stereo at 44100 Hz (4 bytes
// per sample frame); nothing here converts.
//
// Timeline of one source (times in nanoseconds, unsigned 64-bit arithmetic,
// differences taken as absolute values):
//   - a block whose timestamp lies within 2 s of its capture time is on the
//     engine clock (offset 0); the first block of a source whose clock is far
//     away sets the offset that carries its timestamps onto the engine clock;
//   - a timestamp within 0.7 s of the time at which the block was expected
//     (the previous block's capture time plus its duration) snaps to it, so
//     that capture jitter does not show in the timeline;
//   - a block that continues its predecessor within 0.7 s is queued; one that
//     is 0.7 s to 2 s away is dropped and empties the queue; one that is more
//     than 2 s away re-anchors the source, is dropped and empties the queue;
//   - the first block of a source only establishes the timeline.
#pragma once

#include <cstdint>
#include <list>
#include <mutex>

#include "audioencodingworker.h"
#include "basekit/datapackage.h"
#include "enginetypes.h"

// Mixes two runs of signed 16-bit samples into `out`; lengths are in bytes.
// The first min(aLen, bLen) / 2 samples are a[i] / 2 + b[i] / 2 (each half
// truncated toward zero, so the sum cannot overflow and needs no clipping);
// the samples up to max(aLen, bLen) / 2 are copied from the longer input. A
// null input counts as empty; nothing is written past outLen bytes. The
// encoding worker passes the microphone as `a` and loopback as `b`.
void MixPcm16(std::uint8_t* out, int outLen, const std::uint8_t* a, int aLen, const std::uint8_t* b,
              int bLen);

// One queued block.
struct AudioQueueItem {
    CDataPackage* data = nullptr;      // private copy of the block's bytes, owned
    std::uint32_t frames = 0;          // sample frames in data
    std::uint32_t sampleRate = 0;
    std::uint32_t reserved = 0;
    std::uint64_t timestampNs = 0;     // timestamp after alignment
    std::uint64_t timestampNs2 = 0;    // the same value
    // The capture time of the first frame as the capture layer estimated it,
    // on the engine clock (before the snap, which puts blocks on a timeline of
    // read times): what the encoding worker stamps the sound with. An
    // estimate more than 250 ms off that timeline (a source that delivers
    // seconds at once) is replaced by the timeline's value.
    std::uint64_t captureNs = 0;
    bool bIsInputDevice = false;

    AudioQueueItem() = default;
    AudioQueueItem(const AudioQueueItem&) = delete;
    AudioQueueItem& operator=(const AudioQueueItem&) = delete;
    AudioQueueItem(AudioQueueItem&& o) noexcept;
    AudioQueueItem& operator=(AudioQueueItem&& o) noexcept;
    ~AudioQueueItem();

    // Frames that can really be read: the frame count, bounded by the bytes held.
    std::uint32_t ReadableFrames() const;
};

// Timeline state and queue of one source.
struct AudioSourceState {
    bool started = false;             // the timeline has an origin
    std::uint64_t offsetNs = 0;       // carries the source's timestamps onto the engine clock
    std::uint64_t expectedNs = 0;     // engine-clock time at which the next block is expected
    std::uint64_t lastNs = 0;         // reference for the continuity test of the next block
    std::uint32_t cursor = 0;         // frames already taken from the front item
    std::list<AudioQueueItem> queue;  // oldest first
};

class CAudioProcess : public IDataGetter, public IAudioCaptureTime {
public:
    CAudioProcess();
    // Stops the encoding worker if it still runs (it reads from this object),
    // then releases every queued block.
    ~CAudioProcess() override;
    CAudioProcess(const CAudioProcess&) = delete;
    CAudioProcess& operator=(const CAudioProcess&) = delete;

    // Stores the rate and channel count and binds the worker to `pSink`; 0.
    int Init(int sampleRate, int channels, IMUXPushData* pSink);
    // The worker's StartEncoding result (0, or -1 when its thread cannot start).
    int StartAudioEncoding();
    // The worker's StopEncoding result (0). Everything queued before the call
    // is encoded and reaches the sink before it returns.
    int StopAudioEncoding();
    // Queues one captured block of the source its bIsInputDevice names;
    // rewrites the block's timestampNs with the aligned value. Null is ignored.
    void PushAudioBlock(CapturedAudioBlock* block);

    // IDataGetter: PeekFrontTimestamp gives the front block's aligned time
    // stamp, on the timeline the rate correction measures the fill against.
    bool PeekFrontTimestamp(bool bInput, std::uint64_t* timestampNs) override;
    bool ReadBlock(bool bInput, std::uint32_t maxFrames, std::uint8_t** buffer,
                   std::uint32_t* byteLength) override;
    // IAudioCaptureTime: the front block's AudioQueueItem::captureNs.
    bool PeekFrontCaptureTime(bool bInput, std::uint64_t* captureNs) override;

    // Frames queued for a source (for monitoring and tests).
    std::uint64_t GetQueuedFrames(bool bInput);

private:
    AudioSourceState& Source(bool bInput) { return bInput ? m_Input : m_Output; }
    // The timeline rules for one block; true when the block continues its source.
    static bool AlignBlock(AudioSourceState& state, CapturedAudioBlock& block, std::uint64_t& captureNs);
    static void Enqueue(AudioSourceState& state, const CapturedAudioBlock& block, std::uint64_t captureNs);
    static void Flush(AudioSourceState& state);
    // One field of a source's front item, under the lock; false when its queue is empty.
    bool PeekFront(bool bInput, std::uint64_t AudioQueueItem::*field, std::uint64_t* value);

    std::mutex m_lock;
    std::uint32_t m_dwReserved = 50;  // stored only
    int m_nSampleRate = 44100;
    int m_nChannels = 2;
    AudioSourceState m_Input;   // microphone
    AudioSourceState m_Output;  // loopback
    CAudioEncodingWorker m_EncodingWorker;
};

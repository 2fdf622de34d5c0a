// CAudioEncodingWorker: the engine's audio clock. Its thread wakes every
// 24 ms and, for every slot of 1024 samples of 44100 Hz time that has begun on
// the engine clock since the thread started, mixes one run of the
// microphone and the loopback queue (CAudioSlotMixer, which keeps each
// source in step with the engine clock, see CAudioRateCorrector), encodes it
// into one AAC frame (audiokit, codec type 106, 44100 Hz stereo, 72 kbit/s,
// ADTS) and pushes the frame to the muxer. The slot grid is fixed at the
// thread's start, so a late wake-up encodes every slot that has begun, and
// the grid never drifts. A slot for which neither source has audio gives no
// frame.
//
// Time stamps: a frame is stamped, on the engine clock in milliseconds
// (GetTickNs / 1e6), with the time its audio was captured. The rate
// correctors hold each source's fill on the source's read-time line and
// learn how much older the sound is than that line (the capture layer's
// estimate: read time less the stream latency), so a slot's run was
// captured CAudioSlotMixer::CaptureDelayNs() before the slot began (the
// loopback's delay, else the microphone's; while neither runs yet, the
// start-up fill and the lag already learned): the frame is stamped with the
// slot's start less that delay.
// Neither the fill a run settles on nor the sound server's buffering moves
// the sound against the picture. The AAC encoder returns each frame two
// calls later and starts with one frame of priming; a frame is therefore
// stamped with the slot whose audio it carries, and the priming frame one
// frame duration before the first one. Stamps always increase (by at least
// 1 ms when a source's start moves them back).
//
// Stop: the thread encodes the slots begun up to the stop, then everything
// still queued or buffered for either source (slot by slot, continuing the
// grid), then takes the frames the encoder still holds (Flush), pushes them
// and only then ends. Nothing captured before the stop is lost.
//
// OpenStream / EncodeDueSlots / CloseStream are the thread's own steps; a
// caller that keeps its own clock (a simulation) may drive them on one thread
// instead of starting the thread.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>

#include "audioslotmixer.h"
#include "audiokit/audiocodec.h"
#include "enginetypes.h"
#include "workerqueue.h"

class CAudioEncodingWorker {
public:
    static constexpr std::uint32_t kSampleRate = 44100;
    static constexpr std::uint32_t kSlotFrames = CAudioSlotMixer::kSlotFrames;
    // 1 024 000 / 44100 ms, rounded up.
    static constexpr int kWaitMs = 24;

    CAudioEncodingWorker();
    // Stops the thread if it still runs.
    ~CAudioEncodingWorker();
    CAudioEncodingWorker(const CAudioEncodingWorker&) = delete;
    CAudioEncodingWorker& operator=(const CAudioEncodingWorker&) = delete;

    // Binds the source of the audio and the muxer (neither owned); 0.
    int Init(IDataGetter* pGetter, IMUXPushData* pSink);
    // Starts the thread: 0, or -1 when it cannot start (also when it was
    // started before: a worker runs once).
    int StartEncoding();
    // Signals the stop and waits for the thread to end; 0. At once when no
    // thread runs.
    int StopEncoding();

    // The thread's steps. OpenStream creates the codec and starts the slot
    // grid at startNs (false when the codec cannot be created);
    // EncodeDueSlots encodes every slot whose start is <= nowNs;
    // CloseStream encodes the due slots and the rest of the audio, flushes
    // and releases the codec. Not to be called while the thread runs.
    bool OpenStream(std::uint64_t startNs);
    void EncodeDueSlots(std::uint64_t nowNs);
    void CloseStream(std::uint64_t nowNs);

    const CAudioSlotMixer& Mixer() const { return m_Mixer; }
    // Frames pushed to the muxer since OpenStream.
    std::uint64_t FramesPushed() const { return m_nFramesOut; }

private:
    struct CodecDeleter {
        void operator()(CUcAudioCodec* p) const;
    };

    static int EncodingThread(CAudioEncodingWorker* pTmp);
    int RunThread();
    // Slot grid: the end of the next slot.
    std::uint64_t NextSlotEnd();
    std::uint64_t GridTimeNs(std::uint64_t samples) const;
    void EncodeData(std::uint64_t slotEndNs, std::uint64_t slotStartNs);
    // The capture time of the audio of the slot that begins at slotStartNs.
    std::uint64_t StampFor(std::uint64_t slotStartNs) const;
    void EncodeBuff(const std::uint8_t* buffer, std::uint32_t length, std::uint64_t stampNs);
    void PushFrame(const unsigned char* data, int length);

    std::mutex m_lock;
    IDataGetter* m_pGetter = nullptr;
    // The thread and its stop; its queue stays empty (the audio comes from
    // the getter, on the slot clock).
    CWorkerQueue m_Worker;
    IMUXPushData* m_pSink = nullptr;
    bool m_bStarted = false;

    // Stream state, touched only by the encoding thread (or the caller driving the steps).
    std::unique_ptr<CUcAudioCodec, CodecDeleter> m_pCodec;
    IDataGetter* m_pStreamGetter = nullptr;
    IMUXPushData* m_pStreamSink = nullptr;
    std::uint64_t m_nStartNs = 0;
    std::uint64_t m_nSlotStartNs = 0;
    std::uint64_t m_nSamples = 0;                  // samples of the grid up to the current slot's end
    std::deque<std::uint64_t> m_PendingStamps;     // stamps (ns) of the runs the encoder holds
    std::uint64_t m_nPrimingFrames = 1;
    std::uint64_t m_nFramesOut = 0;
    std::uint64_t m_nLastStampNs = 0;
    CAudioSlotMixer m_Mixer;
    std::uint8_t m_Run[CAudioSlotMixer::kSlotBytes] = {};
};

// CAudioRateCorrector: keeps one audio source in step with the engine clock.
//
// The encoding worker takes 1024 frames per 1024/44100 s of engine time from
// each source. A device's sample clock never runs at exactly that rate: a
// source that is 0.1 % fast delivers 44 frames per second more than is taken
// (its backlog, and so the delay of its sound behind the picture, grows
// without bound), one that is 0.1 % slow starves into gaps. This class sits
// on the worker thread between the source's queue and the mixer and
// consumes the source at its real rate.
//
// Measure. Every slot, everything the source's queue holds moves into a
// local buffer (Collect); the buffer is the source's whole backlog. The time
// stamp of the first block taken and the frames taken give the engine time
// just after the newest buffered frame. The fill at a slot's start is the
// buffered frames plus the frames the device produced between its newest
// delivered frame and the slot's start (negative when it delivered ahead):
// the 10 ms steps in which a capture delivers and the worker's wake-up times
// do not show in it, only the device's rate does.
//
// Start. A source gives silence until kInitialPrimeFrames (35 ms) are
// buffered; then it runs, and the mean fill of its first kLearnSlots slots
// (1 s) becomes the fill to hold. The delay of the sound behind its capture
// is whatever it was at the start and then stays. A buffer that runs dry
// (the rest of the run is silence) puts the source back into start-up. Before
// the fill to hold is known, input that comes back within a few slots (the
// capture was merely late) makes the start-up fill grow by kPrimeStepFrames,
// so a bursty capture settles at a buffer deep enough for it. Afterwards the
// source restarts once it holds the fill held again, keeps that fill and
// drops the input that came too late, beyond kResyncFrames: the silence
// already stood in for it, and playing it would delay the sound for the
// rest of the recording. A
// machine under load thus costs a short gap now and then, never a growing
// lag. While input keeps arriving, every slot gets a full run, so the
// encoder's frames follow on without gaps and the mix keeps its level.
//
// Estimate and correct. The fill, smoothed over ~32 slots, drives a PI loop
// (natural frequency 0.3 rad/s, critically damped) whose output is the
// consumption ratio, input frames per output frame. Its integral term is the
// estimate of the source's rate against the engine clock, taken from the
// frames it delivers per engine second; the proportional term pulls the fill
// back after a change. The loop stays off, with the ratio at exactly 1, until
// the fill has moved by kEngageFrames (0.7 ms) from the fill held; it then
// takes over without a step. With a 0.1 % rate error the delay moves by
// under 2 ms before it settles back; the ratio stays within +-0.5 %
// (kMaxCorrection) and changes by a few ppm per slot, far below any audible
// pitch change.
//
// Each run is resampled at the ratio with a 4-point cubic (Catmull-Rom)
// interpolator whose fractional read position carries across runs, so the
// output is continuous: no sample is dropped or repeated. With the ratio at
// exactly 1 and the position on a whole frame (the clocks agree), frames are
// copied unchanged, bit for bit.
//
// Time stamps. The fill counts frames from the timeline time of the next
// frame to be consumed to the slot's start. The timeline follows the read
// times, so that the fill does not move with the latency the sound server
// reports. Where the getter also gives the capture layer's estimate of the
// capture time (IAudioCaptureTime), the difference, the lag, says how much
// older the sound is than the timeline says: the mean of the first
// kLearnSlots collects, then an average over ~64, learned anew after a jump
// of more than 50 ms. The audio of a slot was thus captured CaptureDelayNs()
// (the fill held plus the lag) before the slot's start; the encoding worker
// stamps its frames with that time, whatever fill a run happened to settle on.
//
// Limits. A backlog beyond kMaxBufferedFrames (a source off by more than the
// correction range) is cut back to the fill held, in one step, and logged. A
// source whose input stops for kIdleSlotsToPlayOut slots plays out what it
// holds and then drops out of the mix.
//
// Used on the worker thread only; not thread-safe.
#pragma once

#include <cstdint>
#include <vector>

#include "enginetypes.h"

class CAudioRateCorrector {
public:
    static constexpr std::uint32_t kSampleRate = 44100;
    static constexpr std::uint32_t kPullFrames = 4096;          // frames asked per ReadBlock
    static constexpr std::uint32_t kInitialPrimeFrames = 1536;  // start-up fill, ~35 ms
    static constexpr std::uint32_t kPrimeStepFrames = 256;
    static constexpr std::uint32_t kMaxPrimeFrames = 8192;
    static constexpr std::uint32_t kMaxBufferedFrames = 2 * kSampleRate;
    static constexpr std::uint32_t kLearnSlots = 43;
    static constexpr std::uint32_t kIdleSlotsToPlayOut = 3;
    static constexpr double kMaxCorrection = 0.005;
    static constexpr double kEngageFrames = 32.0;
    static constexpr double kResyncFrames = 441.0;  // 10 ms: late input beyond this is dropped
    static constexpr double kMaxExtrapolationNs = 2e9;  // bound of the fill's production term

    explicit CAudioRateCorrector(bool bInput);
    CAudioRateCorrector(const CAudioRateCorrector&) = delete;
    CAudioRateCorrector& operator=(const CAudioRateCorrector&) = delete;

    // Moves every frame the getter holds for this source into the buffer;
    // returns the frames moved.
    std::uint32_t Collect(IDataGetter* getter);
    // The source's run for the slot that begins at slotStartNs (engine
    // clock), `frames` output frames (interleaved stereo into `out`). A source
    // whose input arrived within the last kIdleSlotsToPlayOut slots gives
    // `frames` (silence where it is short of input: while it starts up or its
    // capture is late); one whose input stopped plays out what it holds
    // (fewer frames) and then gives 0.
    std::uint32_t Produce(std::int16_t* out, std::uint32_t frames, std::uint64_t slotStartNs);
    // At the end of the stream: up to `frames` of what is left, without
    // waiting for more input; 0 once the buffer is empty.
    std::uint32_t Drain(std::int16_t* out, std::uint32_t frames);

    bool IsInput() const { return m_bInput; }
    bool IsRunning() const { return m_bRunning; }
    // Input frames not consumed yet.
    std::uint32_t BufferedFrames() const;
    // Input frames consumed per output frame in the last run.
    double Ratio() const { return m_dRatio; }
    // The source's estimated rate relative to 44100 frames per engine second.
    double RateEstimate() const { return 1.0 + m_dIntegral; }
    // The fill held (frames as of a slot's start); 0 until it has been measured.
    double TargetFill() const { return m_bLearned ? m_dTarget : 0.0; }
    // How long before a slot's start the audio this source gives for the slot
    // was captured, in frames: the fill held, or, until it is measured, the
    // fill the source started with. 0 before the source first ran.
    double DelayFrames() const { return m_bLearned ? m_dTarget : m_dStartFill; }
    // How much older the sound is than its timeline says (ns; 0 without an
    // estimate), and the delay of the slot's audio behind the slot's start
    // with it: DelayFrames() as time plus the lag, at least 0; 0 before the
    // source first ran.
    double CaptureLagNs() const { return m_dLagNs; }
    double CaptureDelayNs() const;
    std::uint32_t PrimeFrames() const { return m_nPrimeFrames; }
    std::uint32_t Underruns() const { return m_nUnderruns; }

private:
    void StartRunning(double fill);
    void Resync(double fill);
    void OnUnderrun();
    void UpdateRatio(double fill);
    double FillAt(std::uint64_t slotStartNs) const;
    void UpdateLag(double lagNs);
    void LimitBacklog();
    // Writes up to `frames` output frames; `toEnd` also uses the last frames
    // (the interpolator's missing neighbours are taken as the last frame).
    std::uint32_t Resample(std::int16_t* out, std::uint32_t frames, bool toEnd);
    // Drops consumed frames, keeping one before the read position for the interpolator.
    void Compact();
    std::uint32_t TotalFrames() const { return static_cast<std::uint32_t>(m_buf.size() / 2); }

    const bool m_bInput;
    std::vector<std::int16_t> m_buf;  // interleaved stereo input
    std::uint32_t m_nHead = 0;        // whole part of the read position (frames into m_buf)
    double m_dFrac = 0.0;             // fractional part of the read position, [0, 1)
    double m_dRatio = 1.0;
    bool m_bRunning = false;
    bool m_bHadInput = false;
    std::uint32_t m_nIdleSlots = 0;    // slots since input last arrived
    std::uint64_t m_nEndNs = 0;        // engine time just after the newest buffered frame
    std::uint32_t m_nPrimeFrames = kInitialPrimeFrames;
    std::uint32_t m_nUnderruns = 0;
    std::uint32_t m_nSlotsSinceUnderrun = 0;
    bool m_bAwaitingInput = false;     // an underrun happened and no input came since
    // Controller.
    bool m_bEngaged = false;   // the rate has been seen to differ
    bool m_bLearned = false;
    std::uint32_t m_nLearnCount = 0;
    double m_dLearnSum = 0.0;
    double m_dTarget = 0.0;
    double m_dStartFill = 0.0; // the fill at the last start before the target was learned
    double m_dFill = 0.0;      // smoothed fill
    double m_dIntegral = 0.0;  // estimated rate error
    // Capture time against the timeline.
    std::uint32_t m_nLagCount = 0;  // values averaged since the last jump
    double m_dLagNs = 0.0;
};

#include "audioratecorrector.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "basekit/logwrapper.h"

namespace {

// Loop constants: natural frequency 0.3 rad/s, damping 1, one update per slot
// of 1024/44100 s; the error is in frames.
constexpr double kSlotSeconds = 1024.0 / 44100.0;
constexpr double kOmega = 0.3;
constexpr double kKp = 2.0 * kOmega / 44100.0;
constexpr double kKi = kOmega * kOmega * kSlotSeconds / 44100.0;
constexpr double kSmoothing = 1.0 / 32;  // exponential average over ~32 slots
constexpr std::uint32_t kJitterSlots = 4;  // input back this soon after an underrun: the capture was late
constexpr double kLagSmoothing = 1.0 / 64;
constexpr double kLagJumpNs = 50e6;        // a lag this far off is taken at once (a new anchor)

std::int16_t ToSample(double v) {
    const long r = std::lround(v);
    return static_cast<std::int16_t>(std::clamp(r, -32768L, 32767L));
}

// Catmull-Rom through x1 (t = 0) and x2 (t = 1).
double Cubic(double x0, double x1, double x2, double x3, double t) {
    return x1 + 0.5 * t * (x2 - x0 + t * (2.0 * x0 - 5.0 * x1 + 4.0 * x2 - x3 + t * (3.0 * (x1 - x2) + x3 - x0)));
}

}  // namespace

CAudioRateCorrector::CAudioRateCorrector(bool bInput) : m_bInput(bInput) {}

std::uint32_t CAudioRateCorrector::BufferedFrames() const {
    const std::uint32_t total = TotalFrames();
    return total > m_nHead ? total - m_nHead : 0;
}

std::uint32_t CAudioRateCorrector::Collect(IDataGetter* getter) {
    std::uint64_t frontNs = 0;
    if (!getter || !getter->PeekFrontTimestamp(m_bInput, &frontNs)) return 0;
    if (auto* times = dynamic_cast<IAudioCaptureTime*>(getter)) {
        std::uint64_t captureNs = 0;
        if (times->PeekFrontCaptureTime(m_bInput, &captureNs)) {
            UpdateLag(static_cast<double>(frontNs) - static_cast<double>(captureNs));
        }
    }
    // The queue was emptied by the previous call, so its front is the start
    // of a block and frontNs that block's first frame.
    std::uint32_t moved = 0;
    for (;;) {
        std::uint8_t* data = nullptr;
        std::uint32_t bytes = 0;
        if (!getter->ReadBlock(m_bInput, kPullFrames, &data, &bytes)) break;
        const std::size_t samples = bytes / 4 * 2;
        const std::size_t old = m_buf.size();
        m_buf.resize(old + samples);
        if (samples) std::memcpy(m_buf.data() + old, data, samples * sizeof(std::int16_t));
        delete[] data;
        moved += bytes / 4;
        if (bytes / 4 < kPullFrames) break;
    }
    if (moved) {
        m_nEndNs = frontNs + static_cast<std::uint64_t>(moved) * 1000000000ULL / kSampleRate;
        if (!m_bLearned && m_bAwaitingInput && m_nSlotsSinceUnderrun <= kJitterSlots &&
            m_nPrimeFrames < kMaxPrimeFrames) {
            m_nPrimeFrames = std::min(m_nPrimeFrames + kPrimeStepFrames, kMaxPrimeFrames);
            UC_LOG_THIS(CLogWrapper::LOG_WARNING, "late input, bIsInputDevice= " << TrueFalse(m_bInput)
                                                       << ", start-up frames= " << m_nPrimeFrames);
        }
        m_bAwaitingInput = false;
        m_bHadInput = true;
        m_nIdleSlots = 0;
    }
    return moved;
}

void CAudioRateCorrector::UpdateLag(double lagNs) {
    if (m_nLagCount == 0 || std::fabs(lagNs - m_dLagNs) > kLagJumpNs) m_nLagCount = 0;
    // The mean of the first kLearnSlots values, then an exponential average.
    ++m_nLagCount;
    const double weight = m_nLagCount < kLearnSlots ? 1.0 / m_nLagCount : kLagSmoothing;
    m_dLagNs += weight * (lagNs - m_dLagNs);
}

double CAudioRateCorrector::CaptureDelayNs() const {
    const double frames = DelayFrames();
    if (frames <= 0.0) return 0.0;
    return std::max(0.0, frames * 1e9 / kSampleRate + m_dLagNs);
}

double CAudioRateCorrector::FillAt(std::uint64_t slotStartNs) const {
    // Frames the device has produced by the slot's start and that are not
    // consumed yet: what is buffered, plus what it produced after the newest
    // buffered frame (or minus what it delivered ahead of the slot's start).
    // Delivery in blocks does not show in this value; only the source's rate does.
    double aheadNs = static_cast<double>(slotStartNs) - static_cast<double>(m_nEndNs);
    aheadNs = std::clamp(aheadNs, -kMaxExtrapolationNs, kMaxExtrapolationNs);
    return static_cast<double>(BufferedFrames()) + aheadNs * kSampleRate / 1e9;
}

std::uint32_t CAudioRateCorrector::Produce(std::int16_t* out, std::uint32_t frames, std::uint64_t slotStartNs) {
    ++m_nSlotsSinceUnderrun;
    const std::uint32_t buffered = BufferedFrames();
    const double fill = buffered ? FillAt(slotStartNs) : 0.0;
    // Only frames really buffered count towards the start-up fill; once the
    // fill to hold is known, a source restarts when it holds that much again.
    const double startFill = m_bLearned ? m_dTarget : static_cast<double>(m_nPrimeFrames);
    if (!m_bRunning && buffered && std::min(fill, static_cast<double>(buffered)) >= startFill) StartRunning(fill);
    const bool live = m_bHadInput && m_nIdleSlots < kIdleSlotsToPlayOut;
    std::uint32_t produced = 0;
    if (m_bRunning) {
        LimitBacklog();
        UpdateRatio(fill);
        produced = Resample(out, frames, false);
        if (produced < frames) OnUnderrun();
    } else if (!live) {
        produced = Resample(out, frames, true);  // the input stopped: play out what is left
    }
    if (live && produced < frames) {
        // A live source short of input (starting, or its capture is late):
        // silence keeps the slot's length and the mix's level.
        std::fill(out + 2 * static_cast<std::size_t>(produced), out + 2 * static_cast<std::size_t>(frames), 0);
        produced = frames;
    }
    ++m_nIdleSlots;
    Compact();
    return produced;
}

std::uint32_t CAudioRateCorrector::Drain(std::int16_t* out, std::uint32_t frames) {
    const std::uint32_t produced = Resample(out, frames, true);
    Compact();
    return produced;
}

void CAudioRateCorrector::StartRunning(double fill) {
    m_bRunning = true;
    if (!m_bLearned) {
        m_dStartFill = fill;
        m_nLearnCount = 0;
        m_dLearnSum = 0.0;
        return;
    }
    Resync(fill);
}

void CAudioRateCorrector::Resync(double fill) {
    // Back after running dry: the fill held, and so the delay of the sound
    // behind the picture, stays what it was. The frames that came late were
    // covered by silence; played now they would put the sound behind by as
    // much, for good. They are dropped.
    const double excess = fill - m_dTarget;
    std::uint32_t drop = 0;
    if (excess > kResyncFrames) {
        drop = std::min(static_cast<std::uint32_t>(excess), BufferedFrames());
        m_nHead += drop;
    }
    m_dFill = fill - drop;
    UC_LOG_THIS(CLogWrapper::LOG_WARNING, "input back, bIsInputDevice= " << TrueFalse(m_bInput)
                                              << ", late frames dropped= " << drop << ", fill held= " << m_dTarget);
}

void CAudioRateCorrector::OnUnderrun() {
    m_bRunning = false;
    ++m_nUnderruns;
    m_nSlotsSinceUnderrun = 0;
    m_bAwaitingInput = true;
    UC_LOG_THIS(CLogWrapper::LOG_WARNING, "buffer ran dry, bIsInputDevice= " << TrueFalse(m_bInput)
                                              << ", underruns= " << m_nUnderruns);
}

void CAudioRateCorrector::UpdateRatio(double fill) {
    if (!m_bLearned) {
        m_dLearnSum += fill;
        if (++m_nLearnCount >= kLearnSlots) {
            m_dTarget = m_dLearnSum / m_nLearnCount;
            m_dFill = m_dTarget;
            m_bLearned = true;
        }
        m_dRatio = m_bEngaged ? std::clamp(1.0 + m_dIntegral, 1.0 - kMaxCorrection, 1.0 + kMaxCorrection) : 1.0;
        return;
    }
    m_dFill += kSmoothing * (fill - m_dFill);
    const double error = m_dFill - m_dTarget;
    if (!m_bEngaged) {
        if (std::fabs(error) <= kEngageFrames) return;  // the clocks agree so far: ratio 1
        m_bEngaged = true;
        // Bumpless: the ratio leaves 1 smoothly; the integral takes up the difference.
        m_dIntegral -= kKp * error;
        UC_LOG_THIS(CLogWrapper::LOG_INFO, "rate correction on, bIsInputDevice= " << TrueFalse(m_bInput)
                                               << ", fill error= " << error);
    }
    m_dIntegral = std::clamp(m_dIntegral + kKi * error, -kMaxCorrection, kMaxCorrection);
    m_dRatio = std::clamp(1.0 + m_dIntegral + kKp * error, 1.0 - kMaxCorrection, 1.0 + kMaxCorrection);
}

void CAudioRateCorrector::LimitBacklog() {
    const std::uint32_t buffered = BufferedFrames();
    if (buffered <= kMaxBufferedFrames) return;
    const double keep = m_bLearned ? m_dTarget : static_cast<double>(m_nPrimeFrames);
    const std::uint32_t drop = buffered - static_cast<std::uint32_t>(std::max(keep, 0.0));
    m_nHead += drop;
    UC_LOG_THIS(CLogWrapper::LOG_WARNING, " --- backlog too long, bIsInputDevice= "
                                              << TrueFalse(m_bInput) << ", dropped frames= " << drop);
}

std::uint32_t CAudioRateCorrector::Resample(std::int16_t* out, std::uint32_t frames, bool toEnd) {
    const std::uint32_t total = TotalFrames();
    if (m_dRatio == 1.0 && m_dFrac == 0.0) {
        // The clocks agree: plain copy.
        const std::uint32_t n = std::min(frames, BufferedFrames());
        if (n) std::memcpy(out, m_buf.data() + static_cast<std::size_t>(m_nHead) * 2, n * 2 * sizeof(std::int16_t));
        m_nHead += n;
        return n;
    }
    std::uint32_t n = 0;
    const std::int16_t* x = m_buf.data();
    while (n < frames && m_nHead < total) {
        if (m_dFrac == 0.0) {
            out[2 * n] = x[2 * m_nHead];
            out[2 * n + 1] = x[2 * m_nHead + 1];
        } else {
            if (!toEnd && m_nHead + 2 >= total) break;
            const std::uint32_t i0 = m_nHead ? m_nHead - 1 : 0;
            const std::uint32_t i2 = std::min(m_nHead + 1, total - 1);
            const std::uint32_t i3 = std::min(m_nHead + 2, total - 1);
            for (int c = 0; c < 2; ++c) {
                out[2 * n + c] = ToSample(Cubic(x[2 * i0 + c], x[2 * m_nHead + c], x[2 * i2 + c], x[2 * i3 + c], m_dFrac));
            }
        }
        ++n;
        m_dFrac += m_dRatio;
        const double whole = std::floor(m_dFrac);
        m_dFrac -= whole;
        m_nHead += static_cast<std::uint32_t>(whole);
    }
    return n;
}

void CAudioRateCorrector::Compact() {
    const std::uint32_t total = TotalFrames();
    if (total == 0 || m_nHead <= 1) return;
    // A ratio above 1 can step one frame past the end; that frame is then
    // skipped in the input still to come.
    const std::uint32_t drop = std::min(m_nHead - 1, total - 1);
    m_buf.erase(m_buf.begin(), m_buf.begin() + static_cast<std::ptrdiff_t>(drop) * 2);
    m_nHead -= drop;
}

// The audio encoding worker and its mixing stage: slot timing and time
// stamps, draining at stop, the AAC output (decoded with ffmpeg), and the
// rate correction against sources whose clocks run 0.1 % fast and slow,
// driven by a capture double on a simulated engine clock.
#include "audioencodingworker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "audioprocess.h"
#include "audioslotmixer.h"
#include "basekit/tickcount.h"

namespace {

constexpr double kFs = 44100.0;
constexpr std::uint64_t kMs = 1000000ULL;
constexpr std::uint64_t kSec = 1000000000ULL;
constexpr double kPi = 3.14159265358979323846;
constexpr int kMarkerLen = 256;

// The simulations run on one thread; under ThreadSanitizer, which has
// nothing to find in them and slows them down tenfold, they cover less time.
#if defined(__SANITIZE_THREAD__)
constexpr double kSimScale = 0.15;
#else
constexpr double kSimScale = 1.0;
#endif

// Engine time of grid sample `samples` after `startNs`, as the worker computes it.
std::uint64_t GridNs(std::uint64_t startNs, std::uint64_t samples) {
    return startNs + samples / 44100 * kSec + samples % 44100 * kSec / 44100;
}

struct ToneShape {
    double freq = 440.0;
    double amp = 8000.0;
    double markerFreq = 3000.0;  // Hann-windowed burst added every markerPeriod samples
    double markerAmp = 12000.0;
    std::uint64_t markerPeriod = 5 * 44100;
    std::uint64_t markerPhase = 2 * 44100;
};

// The capture thread's double: a device whose sample clock runs at
// 44100 x (1 + rateError) frames per engine second. It is read every 10 ms
// (+-1.5 ms) and delivers what the device produced since the last read,
// stamped as the capture stamps: captureTimeNs = read time; timestampNs =
// read time minus 20 ms of stream latency for a microphone, the read time for
// loopback. Left = the signal, right = its negation.
class CSimCapture {
public:
    CSimCapture(bool input, double rateError, const ToneShape& tone, std::uint64_t startNs, std::uint32_t seed)
        : m_bInput(input), m_dRate(kFs * (1.0 + rateError)), m_Tone(tone), m_nStartNs(startNs),
          m_nNextReadNs(startNs + 10 * kMs), m_Random(seed) {}

    bool IsInput() const { return m_bInput; }
    const ToneShape& Tone() const { return m_Tone; }

    std::int16_t Sample(std::uint64_t m) const {
        double v = m_Tone.amp * std::sin(2 * kPi * m_Tone.freq * static_cast<double>(m) / kFs);
        if (m >= m_Tone.markerPhase) {
            const std::uint64_t j = (m - m_Tone.markerPhase) % m_Tone.markerPeriod;
            if (j < kMarkerLen) v += m_Tone.markerAmp * MarkerShape(static_cast<int>(j), m_Tone.markerFreq);
        }
        return static_cast<std::int16_t>(std::lround(v));
    }
    static double MarkerShape(int j, double freq) {
        const double hann = 0.5 - 0.5 * std::cos(2 * kPi * j / (kMarkerLen - 1));
        return hann * std::sin(2 * kPi * freq * j / kFs);
    }
    // Engine time at which the device captured its sample m.
    double CaptureNs(std::uint64_t m) const { return static_cast<double>(m_nStartNs) + static_cast<double>(m) * 1e9 / m_dRate; }
    std::uint64_t MarkerSample(std::uint64_t k) const { return m_Tone.markerPhase + k * m_Tone.markerPeriod; }
    std::uint64_t FramesDelivered() const { return m_nDelivered; }
    std::uint64_t FirstBlockFrames() const { return m_nFirstBlock; }

    // The device's sound becomes readable latencyNs after its capture, and
    // blocks carry the exact capture time of their first frame (what the
    // capture layer estimates from the stream's latency).
    void SetStreamLatency(std::uint64_t latencyNs) {
        m_nLatencyNs = latencyNs;
        m_bExactStamps = true;
    }
    // The same blocks at the same times, stamped as if the stream reported
    // `moreNs` more latency.
    void ReportMoreLatency(std::uint64_t moreNs) { m_nStampShiftNs = moreNs; }

    // The capture thread gets no time in [fromNs, toNs) (a machine under
    // load); its next read after that delivers everything produced meanwhile.
    void AddStall(std::uint64_t fromNs, std::uint64_t toNs) { m_Stalls.push_back({fromNs, toNs}); }

    // Delivers every block read up to nowNs.
    void PushDue(CAudioProcess& proc, std::uint64_t nowNs) {
        std::uniform_int_distribution<std::int64_t> jitter(-1500000, 1500000);
        for (const auto& [from, to] : m_Stalls) {
            if (m_nNextReadNs >= from && m_nNextReadNs < to) m_nNextReadNs = to;
        }
        while (m_nNextReadNs <= nowNs) {
            const std::uint64_t read = m_nNextReadNs;
            const std::uint64_t readable = read > m_nStartNs + m_nLatencyNs ? read - m_nLatencyNs : m_nStartNs;
            const auto produced =
                static_cast<std::uint64_t>(static_cast<double>(readable - m_nStartNs) * m_dRate / 1e9);
            const auto frames = static_cast<std::uint32_t>(produced - m_nDelivered);
            m_Pcm.resize(static_cast<std::size_t>(frames) * 2);
            for (std::uint32_t i = 0; i < frames; ++i) {
                const std::int16_t s = Sample(m_nDelivered + i);
                m_Pcm[2 * i] = s;
                m_Pcm[2 * i + 1] = static_cast<std::int16_t>(-s);
            }
            CapturedAudioBlock block;
            block.data = reinterpret_cast<const std::uint8_t*>(m_Pcm.data());
            block.frames = frames;
            block.byteLength = frames * 4;
            block.channels = 2;
            block.deviceSampleRate = 44100;
            block.sampleRate = 44100;
            block.captureTimeNs = read;
            block.timestampNs = (m_bExactStamps ? static_cast<std::uint64_t>(CaptureNs(m_nDelivered))
                                 : m_bInput ? read - 20 * kMs : read) - m_nStampShiftNs;
            block.bIsInputDevice = m_bInput;
            proc.PushAudioBlock(&block);
            if (m_nDelivered == 0) m_nFirstBlock = frames;
            m_nDelivered = produced;
            m_nNextReadNs = read + static_cast<std::uint64_t>(static_cast<std::int64_t>(10 * kMs) + jitter(m_Random));
            for (const auto& [from, to] : m_Stalls) {
                if (m_nNextReadNs >= from && m_nNextReadNs < to) m_nNextReadNs = to;
            }
        }
    }

private:
    const bool m_bInput;
    const double m_dRate;
    const ToneShape m_Tone;
    const std::uint64_t m_nStartNs;
    std::uint64_t m_nNextReadNs;
    std::uint64_t m_nDelivered = 0;
    std::uint64_t m_nFirstBlock = 0;
    std::uint64_t m_nLatencyNs = 0;
    std::uint64_t m_nStampShiftNs = 0;
    bool m_bExactStamps = false;
    std::mt19937 m_Random;
    std::vector<std::int16_t> m_Pcm;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> m_Stalls;
};

// Watches the mixed output (left channel, on the slot grid: output sample n
// is heard at grid time n / 44100) for one capture's markers and measures,
// for each, the output time minus the capture time.
class CMarkerTracker {
public:
    // Each marker is looked for within searchMs of the offset of the one before.
    CMarkerTracker(const CSimCapture& capture, std::uint64_t startNs, double searchMs)
        : m_Capture(capture), m_nStartNs(startNs), m_dSearchNs(searchMs * 1e6) {
        for (int j = 0; j < kMarkerLen; ++j) m_Template[j] = CSimCapture::MarkerShape(j, capture.Tone().markerFreq);
    }

    // Output sample range where marker k may appear.
    std::uint64_t WindowBegin(std::uint64_t k) const {
        const double cap = m_Capture.CaptureNs(m_Capture.MarkerSample(k));
        const double first = m_bFound ? std::max(m_dLastOffsetNs - m_dSearchNs, 0.0) : 0.0;
        return static_cast<std::uint64_t>((cap - static_cast<double>(m_nStartNs) + first) * kFs / 1e9);
    }
    std::uint64_t WindowEnd(std::uint64_t k) const {
        const double cap = m_Capture.CaptureNs(m_Capture.MarkerSample(k));
        const double last = m_bFound ? m_dLastOffsetNs + m_dSearchNs : 250e6;
        return static_cast<std::uint64_t>((cap - static_cast<double>(m_nStartNs) + last) * kFs / 1e9) + kMarkerLen;
    }
    // Whether output sample n may belong to a marker (excluded from the smoothness check).
    bool InMarkerWindow(std::uint64_t n) const {
        return n + 600 >= WindowBegin(m_nNext) && n <= WindowEnd(m_nNext) + 600;
    }
    // Called with the output so far; `get` reads output sample n (n > written - ring size).
    template <class Get>
    void Scan(std::uint64_t written, Get get) {
        while (WindowEnd(m_nNext) < written) {
            const std::uint64_t begin = WindowBegin(m_nNext);
            const std::uint64_t end = WindowEnd(m_nNext) - kMarkerLen;
            double best = -1.0;
            std::uint64_t bestAt = begin;
            for (std::uint64_t lag = begin; lag <= end; ++lag) {
                double acc = 0.0;
                for (int j = 0; j < kMarkerLen; ++j) acc += get(lag + j) * m_Template[j];
                if (acc > best) {
                    best = acc;
                    bestAt = lag;
                }
            }
            const double heardNs = static_cast<double>(bestAt) * 1e9 / kFs;
            const double capNs = m_Capture.CaptureNs(m_Capture.MarkerSample(m_nNext)) - static_cast<double>(m_nStartNs);
            m_dLastOffsetNs = heardNs - capNs;
            m_bFound = true;
            m_Offsets.push_back(m_dLastOffsetNs / 1e6);
            ++m_nNext;
        }
    }
    const std::vector<double>& OffsetsMs() const { return m_Offsets; }

private:
    const CSimCapture& m_Capture;
    const std::uint64_t m_nStartNs;
    const double m_dSearchNs;
    double m_Template[kMarkerLen] = {};
    std::uint64_t m_nNext = 0;
    bool m_bFound = false;
    double m_dLastOffsetNs = 0.0;
    std::vector<double> m_Offsets;
};

struct SourceFigures {
    std::uint32_t minFill = UINT32_MAX;
    std::uint32_t maxFill = 0;
    std::vector<double> offsetsMs;
    std::uint32_t underruns = 0;
    double rateEstimate = 1.0;
    double ratio = 1.0;
    double maxRatioStep = 0.0;  // largest change of the ratio from one slot to the next
    double minRatio = 2.0, maxRatio = 0.0;  // after the first minute
    double delayMs = 0.0;  // the corrector's CaptureDelayNs at the end, in ms
};

struct SimFigures {
    SourceFigures source[2];  // [0] loopback, [1] microphone
    std::uint64_t slots = 0;
    std::uint64_t shortSlotsAfterWarmUp = 0;
    int maxStep = 0;           // largest sample-to-sample step outside the markers
    int maxCurve = 0;          // largest second difference outside the markers
    std::uint64_t mismatches = 0;  // bit-exact mode: output samples that differ from the source
};

// Runs the mixing stage over `seconds` of simulated engine time: the worker
// wakes every 24-27 ms and mixes every slot that has begun, the captures
// deliver what their devices produced by then.
SimFigures RunMixerSimulation(std::vector<CSimCapture*> captures, double seconds, std::uint64_t startNs,
                              bool checkBitExact = false, double searchMs = 5.0) {
    CAudioProcess proc;
    CAudioSlotMixer mixer;
    std::vector<CMarkerTracker> trackers;
    for (CSimCapture* c : captures) trackers.emplace_back(*c, startNs, searchMs);
    constexpr std::uint64_t kRing = 1 << 17;
    std::vector<std::int16_t> ring(kRing, 0);
    std::uint64_t written = 0;
    std::int16_t previous = 0;
    std::int16_t beforePrevious = 0;
    std::uint64_t firstAudio = UINT64_MAX;
    std::uint8_t run[CAudioSlotMixer::kSlotBytes];
    const std::uint64_t warmUpSlots = static_cast<std::uint64_t>(3.0 * kFs / 1024);
    SimFigures fig;
    std::mt19937 wakeJitter(99);
    std::uniform_int_distribution<std::uint64_t> late(0, 3 * kMs);

    const auto endNs = startNs + static_cast<std::uint64_t>(seconds * 1e9);
    std::uint64_t now = startNs;
    std::uint64_t slot = 0;
    while (now < endNs) {
        now += 24 * kMs + late(wakeJitter);
        for (CSimCapture* c : captures) c->PushDue(proc, now);
        while (GridNs(startNs, slot * 1024) <= now) {
            const std::uint64_t slotStart = GridNs(startNs, slot * 1024);
            if (slot >= warmUpSlots) {
                for (CSimCapture* c : captures) {
                    SourceFigures& s = fig.source[c->IsInput()];
                    const auto fill = static_cast<std::uint32_t>(mixer.Source(c->IsInput()).BufferedFrames() +
                                                                 proc.GetQueuedFrames(c->IsInput()));
                    s.minFill = std::min(s.minFill, fill);
                    s.maxFill = std::max(s.maxFill, fill);
                }
            }
            double before[2] = {mixer.Source(false).Ratio(), mixer.Source(true).Ratio()};
            const std::uint32_t bytes = mixer.MixSlot(&proc, slotStart, run);
            for (int b = 0; b < 2; ++b) {
                SourceFigures& s = fig.source[b];
                const double r = mixer.Source(b == 1).Ratio();
                s.maxRatioStep = std::max(s.maxRatioStep, std::fabs(r - before[b]));
                if (slot > 60 * 44100 / 1024) {
                    s.minRatio = std::min(s.minRatio, r);
                    s.maxRatio = std::max(s.maxRatio, r);
                }
            }
            // The first run of captured audio (after the start-up silence).
            if (firstAudio == UINT64_MAX && mixer.Source(captures[0]->IsInput()).IsRunning()) firstAudio = slot * 1024;
            if (slot >= warmUpSlots && bytes < CAudioSlotMixer::kSlotBytes) ++fig.shortSlotsAfterWarmUp;
            for (std::uint32_t i = 0; i < 1024; ++i) {
                std::int16_t left = 0;
                if (i * 4 < bytes) std::memcpy(&left, run + i * 4, 2);
                const std::uint64_t n = written;
                ring[n % kRing] = left;
                bool nearMarker = false;
                for (const CMarkerTracker& t : trackers) nearMarker = nearMarker || t.InMarkerWindow(n);
                if (slot >= warmUpSlots && !nearMarker) {
                    fig.maxStep = std::max(fig.maxStep, std::abs(left - previous));
                    fig.maxCurve = std::max(fig.maxCurve, std::abs(left - 2 * previous + beforePrevious));
                }
                if (checkBitExact && firstAudio != UINT64_MAX && n >= firstAudio) {
                    const CSimCapture& c = *captures[0];
                    std::int16_t right = 0;
                    if (i * 4 < bytes) std::memcpy(&right, run + i * 4 + 2, 2);
                    const std::uint64_t m = c.FirstBlockFrames() + (n - firstAudio);
                    if (m < c.FramesDelivered() &&
                        (left != c.Sample(m) || right != static_cast<std::int16_t>(-c.Sample(m)))) {
                        ++fig.mismatches;
                    }
                }
                beforePrevious = previous;
                previous = left;
                ++written;
            }
            for (CMarkerTracker& t : trackers) t.Scan(written, [&](std::uint64_t n) { return static_cast<double>(ring[n % kRing]); });
            ++slot;
        }
    }
    fig.slots = slot;
    for (std::size_t i = 0; i < captures.size(); ++i) {
        SourceFigures& s = fig.source[captures[i]->IsInput()];
        const CAudioRateCorrector& corr = mixer.Source(captures[i]->IsInput());
        s.offsetsMs = trackers[i].OffsetsMs();
        s.underruns = corr.Underruns();
        s.rateEstimate = corr.RateEstimate();
        s.ratio = corr.Ratio();
        s.delayMs = corr.CaptureDelayNs() / 1e6;
    }
    return fig;
}

void Report(const char* name, const SourceFigures& s) {
    if (s.offsetsMs.empty()) return;
    const auto [lo, hi] = std::minmax_element(s.offsetsMs.begin(), s.offsetsMs.end());
    std::printf("%s: fill %u..%u frames (%.1f..%.1f ms), offset first %.2f ms last %.2f ms, range %.2f..%.2f ms "
                "over %zu markers, rate estimate %.6f, underruns %u; ratio after 1 min %.6f..%.6f, largest change "
                "per slot %.2g\n",
                name, s.minFill, s.maxFill, s.minFill / 44.1, s.maxFill / 44.1, s.offsetsMs.front(),
                s.offsetsMs.back(), *lo, *hi, s.offsetsMs.size(), s.rateEstimate, s.underruns, s.minRatio,
                s.maxRatio, s.maxRatioStep);
    if (s.offsetsMs.size() > 6) {
        const auto [slo, shi] = std::minmax_element(s.offsetsMs.begin() + 6, s.offsetsMs.end());
        std::printf("  after the first 30 s: offset %.2f..%.2f ms\n", *slo, *shi);
    }
}

void ExpectSteadySource(const SourceFigures& s, double rateError) {
    ASSERT_GE(s.offsetsMs.size(), 10u);
    const auto [lo, hi] = std::minmax_element(s.offsetsMs.begin(), s.offsetsMs.end());
    EXPECT_LT(*hi - *lo, 4.0) << "the delay of the sound behind its capture stays constant";
    EXPECT_LT(std::fabs(s.offsetsMs.back() - s.offsetsMs.front()), 3.0);
    EXPECT_LT(s.maxFill, 4000u) << "the backlog stays bounded";
    EXPECT_GT(s.minFill, 1024u) << "and never runs dry";
    EXPECT_EQ(s.underruns, 0u);
    EXPECT_NEAR(s.rateEstimate, 1.0 + rateError, 1.5e-4);
    EXPECT_LT(s.maxRatioStep, 1e-4) << "the ratio glides; it never jumps";
    EXPECT_NEAR(s.minRatio, 1.0 + rateError, 5e-4);
    EXPECT_NEAR(s.maxRatio, 1.0 + rateError, 5e-4);
}

// Muxer double: keeps every pushed frame.
class CCollectSink : public IMUXPushData {
public:
    struct Frame {
        std::string bytes;
        std::uint32_t timestampMs;
        bool bVideo;
    };
    void PushMediaData(bool bVideo, bool /*bKeyFrame*/, CDataPackage* payload, std::uint32_t timestampMs) override {
        std::lock_guard<std::mutex> lock(m_lock);
        m_Frames.push_back({payload ? payload->FlattenPackage() : std::string(), timestampMs, bVideo});
    }
    std::uint32_t SetVideoConfig(CDataPackage&) override { return 0; }
    int SetPause(bool) override { return 0; }
    std::vector<Frame> Frames() {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_Frames;
    }

private:
    std::mutex m_lock;
    std::vector<Frame> m_Frames;
};

bool HaveFfmpeg() { return std::system("ffmpeg -version >/dev/null 2>&1") == 0; }

// Writes the frames as an ADTS file and decodes it with ffmpeg: interleaved stereo.
std::vector<std::int16_t> DecodeAdts(const std::vector<CCollectSink::Frame>& frames, const std::string& name) {
    const std::string base = testing::TempDir() + "audioworker_" + name + "_" + std::to_string(getpid());
    const std::string aac = base + ".aac";
    const std::string raw = base + ".raw";
    {
        std::ofstream out(aac, std::ios::binary | std::ios::trunc);
        for (const auto& f : frames) out.write(f.bytes.data(), static_cast<std::streamsize>(f.bytes.size()));
    }
    const std::string cmd = "ffmpeg -v error -nostdin -y -f aac -i '" + aac + "' -f s16le -c:a pcm_s16le '" + raw + "'";
    if (std::system(cmd.c_str()) != 0) {
        ADD_FAILURE() << "ffmpeg could not decode " << aac;
        return {};
    }
    std::ifstream in(raw, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::int16_t> pcm(bytes.size() / 2);
    std::memcpy(pcm.data(), bytes.data(), pcm.size() * 2);
    std::remove(aac.c_str());
    std::remove(raw.c_str());
    return pcm;
}

// Amplitude of the `freq` component of the left channel over [from, from + count) frames.
double ToneAmplitude(const std::vector<std::int16_t>& pcm, std::size_t from, std::size_t count, double freq) {
    double re = 0.0, im = 0.0;
    for (std::size_t i = 0; i < count; ++i) {
        const double x = pcm[2 * (from + i)];
        re += x * std::cos(2 * kPi * freq * static_cast<double>(i) / kFs);
        im += x * std::sin(2 * kPi * freq * static_cast<double>(i) / kFs);
    }
    return 2.0 * std::sqrt(re * re + im * im) / static_cast<double>(count);
}

// One frame's duration in ms.
constexpr double kFrameMs = 1024 * 1000.0 / kFs;

// The stamps follow on frame by frame (1024/44100 s apart, to the ms) from
// the first, within `slackMs` (a source's delay measured anew).
void ExpectStampsFollowOn(const std::vector<CCollectSink::Frame>& frames, double slackMs = 1.0) {
    for (std::size_t k = 1; k < frames.size(); ++k) {
        const double expected = static_cast<double>(frames[0].timestampMs) + static_cast<double>(k) * kFrameMs;
        ASSERT_NEAR(static_cast<double>(frames[k].timestampMs), expected, slackMs) << "frame " << k;
        ASSERT_GT(frames[k].timestampMs, frames[k - 1].timestampMs) << "frame " << k;
        ASSERT_FALSE(frames[k].bVideo);
    }
}

void PushSine(CAudioProcess& proc, bool input, std::uint64_t atNs, std::uint32_t frames, double freq,
              std::uint64_t firstSample = 0) {
    std::vector<std::int16_t> pcm(static_cast<std::size_t>(frames) * 2);
    for (std::uint32_t i = 0; i < frames; ++i) {
        pcm[2 * i] = static_cast<std::int16_t>(std::lround(8000 * std::sin(2 * kPi * freq * static_cast<double>(firstSample + i) / kFs)));
        pcm[2 * i + 1] = pcm[2 * i];
    }
    CapturedAudioBlock block;
    block.data = reinterpret_cast<const std::uint8_t*>(pcm.data());
    block.frames = frames;
    block.byteLength = frames * 4;
    block.channels = 2;
    block.sampleRate = 44100;
    block.deviceSampleRate = 44100;
    block.timestampNs = atNs;
    block.captureTimeNs = atNs;
    block.bIsInputDevice = input;
    proc.PushAudioBlock(&block);
}

}  // namespace

// Microphone 0.1 % fast, loopback 0.1 % slow, mixed, over `minutes` of engine time.
void RunDriftingSources(double minutes) {
    const std::uint64_t start = 1000 * kSec;
    ToneShape micTone;
    micTone.freq = 440.0;
    micTone.markerFreq = 3000.0;
    ToneShape loopTone;
    loopTone.freq = 1000.0;
    loopTone.markerFreq = 5500.0;
    loopTone.markerPhase = micTone.markerPhase + 44100 * 5 / 2;  // between the microphone's markers
    CSimCapture mic(true, +0.001, micTone, start + 5 * kMs, 1);
    CSimCapture loop(false, -0.001, loopTone, start + 7 * kMs, 2);
    const SimFigures fig = RunMixerSimulation({&mic, &loop}, minutes * 60.0, start);
    std::printf("%.0f minutes simulated\n", minutes);
    Report("microphone +0.1 %", fig.source[1]);
    Report("loopback   -0.1 %", fig.source[0]);
    const double w1 = 2 * kPi * 440 / kFs, w2 = 2 * kPi * 1000 / kFs;
    std::printf("largest step outside markers %d (the two tones allow %.0f), second difference %d (allow %.0f)\n",
                fig.maxStep, (8000 * w1 + 8000 * w2) / 2, fig.maxCurve, (8000 * w1 * w1 + 8000 * w2 * w2) / 2);
    ExpectSteadySource(fig.source[1], +0.001);
    ExpectSteadySource(fig.source[0], -0.001);
    EXPECT_EQ(fig.shortSlotsAfterWarmUp, 0u) << "no gaps";
    // No jumps: the mixed tones move by at most (440 Hz + 1000 Hz steps) / 2
    // per sample, and bend by at most the same sum of A w^2 / 2 (plus rounding);
    // a dropped or repeated sample would bend by a whole step.
    EXPECT_LE(fig.maxStep, static_cast<int>((8000 * w1 + 8000 * w2) / 2 * 1.02 + 2));
    EXPECT_LE(fig.maxCurve, static_cast<int>((8000 * w1 * w1 + 8000 * w2 * w2) / 2 * 1.05 + 6));
}

TEST(AudioRateCorrection, DriftingSourcesKeepABoundedBacklogAndAConstantDelay) {
    RunDriftingSources(20 * kSimScale);
}

TEST(AudioRateCorrection, DriftingSourcesOverAnHourSlow) { RunDriftingSources(60); }

TEST(AudioRateCorrection, WhenTheClocksAgreeTheSamplesPassUnchanged) {
    const std::uint64_t start = 77 * kSec;
    ToneShape tone;
    tone.freq = 997.0;
    CSimCapture mic(true, 0.0, tone, start + 3 * kMs, 5);
    const SimFigures fig = RunMixerSimulation({&mic}, 5 * 60.0 * kSimScale, start, true);
    Report("microphone exact", fig.source[1]);
    EXPECT_EQ(fig.mismatches, 0u) << "bit for bit the captured samples";
    EXPECT_EQ(fig.source[1].ratio, 1.0);
    EXPECT_EQ(fig.source[1].rateEstimate, 1.0);
    EXPECT_EQ(fig.source[1].underruns, 0u);
    EXPECT_EQ(fig.shortSlotsAfterWarmUp, 0u);
    const auto [lo, hi] = std::minmax_element(fig.source[1].offsetsMs.begin(), fig.source[1].offsetsMs.end());
    EXPECT_LT(*hi - *lo, 0.1);
}

TEST(AudioRateCorrection, ASourceFarBeyondTheCorrectionRangeHasItsBacklogCutBack) {
    // 2 % fast: the correction (at most 0.5 %) cannot follow; the backlog is
    // cut back to the fill held whenever it passes 2 s.
    const std::uint64_t start = 90 * kSec;
    ToneShape tone;
    tone.markerAmp = 0.0;
    CSimCapture loop(false, 0.02, tone, start + 1 * kMs, 11);
    const SimFigures fig = RunMixerSimulation({&loop}, std::max(4 * 60.0 * kSimScale, 150.0), start);
    const SourceFigures& s = fig.source[0];
    std::printf("loopback +2 %%: fill %u..%u frames, rate estimate %.4f\n", s.minFill, s.maxFill, s.rateEstimate);
    EXPECT_LE(s.maxFill, CAudioRateCorrector::kMaxBufferedFrames + 3000);
    EXPECT_DOUBLE_EQ(s.rateEstimate, 1.0 + CAudioRateCorrector::kMaxCorrection);
    EXPECT_EQ(fig.shortSlotsAfterWarmUp, 0u);
}

TEST(AudioRateCorrection, ACaptureStarvedNowAndThenCostsShortGapsButNeverAGrowingDelay) {
    // A drifting microphone whose capture thread is starved for 60 ms (input
    // back within a few slots: the start-up fill grows) and 250 ms (the source
    // plays out and drops out) now and then, between the markers.
    const std::uint64_t start = 60 * kSec;
    CSimCapture mic(true, 0.001, ToneShape{}, start + 4 * kMs, 21);
    const int stalls = 8;
    for (int k = 0; k < stalls; ++k) {
        const std::uint64_t at = start + (4500 + 5000 * static_cast<std::uint64_t>(k)) * kMs;
        mic.AddStall(at, at + (k % 2 ? 250 : 60) * kMs);
    }
    const SimFigures fig = RunMixerSimulation({&mic}, 5.0 * stalls + 5.0, start, false, 400.0);
    const SourceFigures& s = fig.source[1];
    Report("microphone starved", s);
    ASSERT_GE(s.offsetsMs.size(), static_cast<std::size_t>(stalls));
    EXPECT_GE(s.underruns, static_cast<std::uint32_t>(stalls / 2)) << "the long stalls run the buffer dry";
    // The time the capture was starved never adds to the delay; a deeper
    // start-up fill is consumed again within seconds.
    const auto [lo, hi] = std::minmax_element(s.offsetsMs.begin(), s.offsetsMs.end());
    EXPECT_LT(*hi - *lo, 10.0) << "offset first " << s.offsetsMs.front() << " last " << s.offsetsMs.back();
    EXPECT_LT(std::fabs(s.offsetsMs.back() - s.offsetsMs.front()), 5.0);
}

TEST(AudioRateCorrection, ALiveSourceShortOfInputGivesSilenceAndOneThatStopsPlaysOutAndDropsOut) {
    CAudioProcess proc;
    CAudioSlotMixer mixer;
    std::uint8_t run[CAudioSlotMixer::kSlotBytes];
    const std::uint64_t t0 = 5 * kSec;
    std::uint64_t slot = t0;
    EXPECT_EQ(mixer.MixSlot(&proc, slot, run), 0u) << "nothing captured yet: no audio for the slot";
    PushSine(proc, false, t0, 441, 500.0);             // anchors the timeline
    PushSine(proc, false, t0 + 10 * kMs, 600, 500.0);  // less than the start-up fill
    // Input arrived: while the buffer fills up, the source gives silence.
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(mixer.MixSlot(&proc, slot += 23 * kMs, run), CAudioSlotMixer::kSlotBytes) << i;
        EXPECT_EQ(std::count(run, run + CAudioSlotMixer::kSlotBytes, 0), CAudioSlotMixer::kSlotBytes);
    }
    EXPECT_EQ(mixer.MixSlot(&proc, slot += 23 * kMs, run), 2400u) << "no input for three slots: the 600 frames play out";
    std::int16_t first = 0;
    std::memcpy(&first, run + 4, 2);
    EXPECT_EQ(first, static_cast<std::int16_t>(std::lround(8000 * std::sin(2 * kPi * 500.0 / kFs))));
    EXPECT_EQ(mixer.MixSlot(&proc, slot += 23 * kMs, run), 0u) << "then the source drops out";
    EXPECT_FALSE(mixer.Source(false).IsRunning());
}

// The audio of a slot was captured the corrector's delay before the slot's
// start, and the worker stamps it so. Whatever the stream's latency and the
// fill a run settles on (it depends on when the blocks arrive against the
// slot grid: what moved the sound against the picture from run to run when
// frames were stamped with a fixed lead), the delay is the true age of the
// sound: the stamps follow the capture time.
TEST(AudioRateCorrection, TheDelayIsTheAgeOfTheSoundWhateverTheLatencyAndTheFill) {
    const std::uint64_t start = 500 * kSec;
    const double seconds = kSimScale < 1.0 ? 12.0 : 20.0;  // markers every 2 s from 2 s
    std::vector<double> delays;
    for (const std::uint64_t latencyMs : {0, 25}) {
        for (int phase = 0; phase < 3; ++phase) {
            ToneShape tone;
            tone.markerPeriod = 2 * 44100;
            CSimCapture loop(false, 0.0, tone, start + (1 + 4 * phase) * kMs, 31 + phase);
            loop.SetStreamLatency(latencyMs * kMs);
            const SimFigures fig = RunMixerSimulation({&loop}, seconds, start);
            const SourceFigures& s = fig.source[0];
            ASSERT_GE(s.offsetsMs.size(), 4u);
            delays.push_back(s.delayMs);
            for (double offset : s.offsetsMs) {
                EXPECT_NEAR(offset, s.delayMs, 0.3) << "latency " << latencyMs << " ms, phase " << phase;
            }
            EXPECT_EQ(s.underruns, 0u);
        }
    }
    const auto [lo, hi] = std::minmax_element(delays.begin(), delays.end());
    std::printf("delays (latency 0, 25 ms; phases 1, 5, 9 ms):");
    for (double d : delays) std::printf(" %.2f", d);
    std::printf(" ms\n");
    EXPECT_GT(*hi - *lo, 5.0) << "the runs settle on different fills";
}

// The same sound delivered at the same times: a stream that reports 25 ms
// more latency moves the capture times, and so the delay, by exactly that,
// while the fill the rate correction holds, measured on the read-time line,
// stays where it was (a fill judged against the capture estimates let a
// loopback beside a microphone switch run dry for half-second stretches).
TEST(AudioRateCorrection, ALatencyTheStreamReportsMovesTheDelayByExactlyAsMuch) {
    const std::uint64_t start = 700 * kSec;
    double delay[2] = {};
    double fill[2] = {};
    for (int more = 0; more < 2; ++more) {
        CSimCapture loop(false, 0.0, ToneShape{}, start + 2 * kMs, 41);
        loop.SetStreamLatency(10 * kMs);
        loop.ReportMoreLatency(more * 25 * kMs);
        CAudioProcess proc;
        CAudioSlotMixer mixer;
        std::vector<std::uint8_t> out(CAudioSlotMixer::kSlotBytes);
        for (std::uint64_t n = 0; n < 12 * 44100 / 1024; ++n) {
            const std::uint64_t slotStart = GridNs(start, n * 1024);
            loop.PushDue(proc, slotStart);
            mixer.MixSlot(&proc, slotStart, out.data());
        }
        delay[more] = mixer.Source(false).CaptureDelayNs() / 1e6;
        fill[more] = mixer.Source(false).DelayFrames();
        EXPECT_EQ(mixer.Source(false).Underruns(), 0u);
    }
    EXPECT_NEAR(delay[1] - delay[0], 25.0, 0.05);
    EXPECT_EQ(fill[1], fill[0]);
}

// The worker stamps each frame with its slot's start less the mixer's delay.
TEST(AudioEncodingWorker, FramesAreStampedWithTheCaptureTimeOfTheirAudio) {
    for (const std::uint64_t latencyMs : {0, 40}) {
        CAudioProcess proc;
        CCollectSink sink;
        CAudioEncodingWorker worker;
        ASSERT_EQ(worker.Init(&proc, &sink), 0);
        const std::uint64_t start = 6000 * kSec;
        ToneShape tone;
        tone.markerAmp = 0.0;
        CSimCapture loop(false, 0.0, tone, start + 3 * kMs, 8);
        loop.SetStreamLatency(latencyMs * kMs);
        ASSERT_TRUE(worker.OpenStream(start));
        std::uint64_t now = start;
        while (now < start + 3 * kSec) {
            now += 24 * kMs;
            loop.PushDue(proc, now);
            worker.EncodeDueSlots(now);
        }
        const auto frames = sink.Frames();
        ASSERT_GT(frames.size(), 100u);
        const double delayMs = worker.Mixer().Source(false).CaptureDelayNs() / 1e6;
        EXPECT_GT(delayMs, latencyMs + 20.0) << "at least the start-up fill behind the capture";
        // The last frame pushed carries the slot two slots back (the encoder holds two).
        const std::uint64_t slots = (now - start) * 44100 / kSec / 1024 + 1;
        const double slotStartMs = static_cast<double>(GridNs(start, (slots - 3) * 1024)) / 1e6;
        EXPECT_NEAR(static_cast<double>(frames.back().timestampMs), slotStartMs - delayMs, 1.0)
            << "latency " << latencyMs << " ms";
        ExpectStampsFollowOn(std::vector<CCollectSink::Frame>(frames.begin() + 50, frames.end()));
        // From the start-up silence into the source's sound, frames never
        // close up to overlapping stamps.
        for (std::size_t k = 1; k < frames.size(); ++k) {
            ASSERT_GE(static_cast<double>(frames[k].timestampMs - frames[k - 1].timestampMs), kFrameMs / 2)
                << "frame " << k << ", latency " << latencyMs << " ms";
        }
    }
}

TEST(AudioEncodingWorker, ALateWakeUpEncodesEverySlotThatHasBegunEachWithItsOwnStamp) {
    CAudioProcess proc;
    CCollectSink sink;
    CAudioEncodingWorker worker;
    ASSERT_EQ(worker.Init(&proc, &sink), 0);
    const std::uint64_t start = 3000 * kSec + 123456;
    // 10000 frames captured before the grid starts (a backlog at the start).
    PushSine(proc, true, start - 310 * kMs, 441, 1000.0);
    PushSine(proc, true, start - 300 * kMs, 10000, 1000.0);
    ASSERT_TRUE(worker.OpenStream(start));
    worker.EncodeDueSlots(start + 100 * kMs);
    // Slots begin at 0, 23.2, 46.4, 69.7 and 92.9 ms: five runs; the encoder
    // holds one back and starts with a priming frame, so four frames arrive.
    auto frames = sink.Frames();
    ASSERT_EQ(frames.size(), 4u);
    // The first block only anchors the timeline; the first run is the 10000
    // frames captured 300 ms before the grid started, and is stamped so.
    EXPECT_NEAR(static_cast<double>(frames[1].timestampMs), static_cast<double>((start - 300 * kMs) / kMs), 1.0);
    EXPECT_NEAR(static_cast<double>(frames[0].timestampMs), static_cast<double>(frames[1].timestampMs) - kFrameMs, 1.0)
        << "the priming frame sits one frame before";
    ExpectStampsFollowOn(frames);

    // Stop: the rest of the 10000 frames (4 full slots and one of 784 frames)
    // and the encoder's two held-back frames follow on the same grid.
    worker.CloseStream(start + 100 * kMs);
    frames = sink.Frames();
    ASSERT_EQ(frames.size(), 11u);
    ExpectStampsFollowOn(frames);
    EXPECT_EQ(worker.FramesPushed(), 11u);
    EXPECT_EQ(proc.GetQueuedFrames(true), 0u);

    if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg not available";
    const auto pcm = DecodeAdts(frames, "late_wake");
    ASSERT_EQ(pcm.size(), 11u * 1024 * 2) << "every frame covers 1024 samples, the short last run included";
    // Priming, then the 10000 frames, then the short last run's padding.
    EXPECT_LT(ToneAmplitude(pcm, 0, 1000, 1000.0), 300.0);
    EXPECT_GT(ToneAmplitude(pcm, 1024 + 1000, 8000, 1000.0), 7000.0);
    EXPECT_LT(ToneAmplitude(pcm, 1024 + 10000 + 40, 200, 1000.0), 300.0) << "the short run was padded with silence";
}

TEST(AudioEncodingWorker, RecordsBothSourcesDriftingOnTheSlotGridAndTheAudioHoldsBothTones) {
    if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg not available";
    CAudioProcess proc;
    CCollectSink sink;
    CAudioEncodingWorker worker;
    ASSERT_EQ(worker.Init(&proc, &sink), 0);
    const std::uint64_t start = 4000 * kSec;
    ToneShape micTone;
    micTone.freq = 440.0;
    micTone.markerAmp = 0.0;
    ToneShape loopTone;
    loopTone.freq = 1000.0;
    loopTone.markerAmp = 0.0;
    CSimCapture mic(true, +0.001, micTone, start + 2 * kMs, 3);
    CSimCapture loop(false, -0.001, loopTone, start + 4 * kMs, 4);
    ASSERT_TRUE(worker.OpenStream(start));
    std::uint64_t now = start;
    const std::uint64_t end = start + 12 * kSec;
    while (now < end) {
        now += 24 * kMs;
        mic.PushDue(proc, now);
        loop.PushDue(proc, now);
        worker.EncodeDueSlots(now);
    }
    worker.CloseStream(now);
    const auto frames = sink.Frames();
    ASSERT_GT(frames.size(), 2u);
    // Stamped with the capture time of their audio: the slot's start less the
    // loopback's delay once it runs (the microphone's before; measured anew,
    // by a ms or so, once learned).
    ASSERT_GT(frames.size(), 20u);
    for (std::size_t k = 1; k < frames.size(); ++k) ASSERT_GT(frames[k].timestampMs, frames[k - 1].timestampMs);
    ExpectStampsFollowOn(std::vector<CCollectSink::Frame>(frames.begin() + 10, frames.end()), 2.5);
    const double delayMs = static_cast<double>(worker.Mixer().CaptureDelayNs()) / 1e6;
    EXPECT_NEAR(delayMs, worker.Mixer().Source(false).CaptureDelayNs() / 1e6, 0.01);
    const double slot10 = (static_cast<double>(frames[10].timestampMs) + delayMs - static_cast<double>(start / kMs)) /
                          kFrameMs;
    EXPECT_NEAR(slot10, std::round(slot10), 0.15) << "on the slot grid, the delay before it";
    const auto first = static_cast<std::uint64_t>(std::round(slot10)) - 9;
    EXPECT_LE(first, 4u) << "audio starts after the start-up fill of ~40 ms";
    // One frame per slot from the first with audio to the stop, then the
    // drained backlog (40-80 ms), plus the priming frame.
    const std::uint64_t slotsBegun = (now - start) * 44100 / kSec / 1024 + 1;
    const std::uint64_t drained = frames.size() - 1 - (slotsBegun - first);
    EXPECT_GE(drained, 1u);
    EXPECT_LE(drained, 4u);
    const auto pcm = DecodeAdts(frames, "two_sources");
    ASSERT_EQ(pcm.size(), frames.size() * 1024 * 2);
    // The tones play at the devices' real rates: 440.44 Hz and 999 Hz.
    const std::size_t mid = pcm.size() / 4;
    const double a440 = ToneAmplitude(pcm, mid, 4410, 440.0 * 1.001);
    const double a1000 = ToneAmplitude(pcm, mid, 4410, 1000.0 * 0.999);
    const double a700 = ToneAmplitude(pcm, mid, 4410, 700.0);
    EXPECT_NEAR(a440, 4000.0, 400.0) << "each source at half level in the mix";
    EXPECT_NEAR(a1000, 4000.0, 400.0);
    EXPECT_LT(a700, 100.0);
}

TEST(AudioEncodingWorker, ThreadRunsOnTheEngineClockAndEncodesEverythingCapturedBeforeTheStop) {
    CAudioProcess proc;
    CCollectSink sink;
    ASSERT_EQ(proc.Init(44100, 2, &sink), 0);
    const std::uint64_t startNs = GetTickNs();
    ASSERT_EQ(proc.StartAudioEncoding(), 0);
    EXPECT_EQ(proc.StartAudioEncoding(), -1) << "a worker runs once";

    // A real-time capture thread: 10 ms blocks of a sine at +0.1 %.
    std::atomic<bool> stop{false};
    std::atomic<std::uint64_t> pushed{0};
    std::atomic<std::uint64_t> lastPushNs{0};
    std::thread capture([&] {
        ToneShape tone;
        tone.markerAmp = 0.0;
        CSimCapture sim(true, 0.001, tone, GetTickNs(), 7);
        while (!stop.load()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            const std::uint64_t now = GetTickNs();
            sim.PushDue(proc, now);
            lastPushNs.store(now);
            pushed.store(sim.FramesDelivered() - sim.FirstBlockFrames());
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    // What was pushed by the stop (a loaded machine may have held the
    // capture thread back for a while before it).
    const std::uint64_t pushedAtStop = pushed.load();
    const std::uint64_t lastPushAtStopNs = lastPushNs.load();
    const std::uint64_t stopNs = GetTickNs();
    EXPECT_EQ(proc.StopAudioEncoding(), 0);
    stop.store(true);
    capture.join();

    const auto frames = sink.Frames();
    ASSERT_GT(frames.size(), 40u);
    // The stamps increase; a capture delayed by more than three slots, as on
    // a loaded machine, may leave a slot without a frame or restart the source.
    for (std::size_t k = 1; k < frames.size(); ++k) ASSERT_GT(frames[k].timestampMs, frames[k - 1].timestampMs);
    // Stamps are engine-clock milliseconds, not counted from zero.
    EXPECT_NEAR(static_cast<double>(frames[0].timestampMs), static_cast<double>(startNs / kMs), 500.0);
    // Everything pushed before the stop is in the output (after the priming frame).
    EXPECT_GE((frames.size() - 1) * 1024, pushedAtStop);
    // The last frames carry the audio captured up to the last push before
    // the stop, stamped with its capture time (the double stamps its blocks
    // 20 ms before their read; the last block's 10 ms end in the last frame).
    EXPECT_LE(frames.back().timestampMs, stopNs / kMs + 200);
    EXPECT_GE(frames.back().timestampMs + 20 + 10 + 24, lastPushAtStopNs / kMs);
}

TEST(AudioEncodingWorker, WithNeitherSourceDeliveringNoFramesArePushed) {
    CAudioProcess proc;
    CCollectSink sink;
    ASSERT_EQ(proc.Init(44100, 2, &sink), 0);
    ASSERT_EQ(proc.StartAudioEncoding(), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_EQ(proc.StopAudioEncoding(), 0);
    EXPECT_EQ(proc.StopAudioEncoding(), 0) << "a second stop returns at once";
    EXPECT_TRUE(sink.Frames().empty());
}

TEST(AudioEncodingWorker, StopWithoutStartAndDestructionWhileRunningAreSafe) {
    CCollectSink sink;
    {
        CAudioProcess proc;
        EXPECT_EQ(proc.StopAudioEncoding(), 0);
    }
    {
        CAudioProcess proc;
        ASSERT_EQ(proc.Init(44100, 2, &sink), 0);
        ASSERT_EQ(proc.StartAudioEncoding(), 0);
        PushSine(proc, true, GetTickNs(), 441, 300.0);
        // Destroyed without a stop: the worker is stopped first.
    }
    SUCCEED();
}

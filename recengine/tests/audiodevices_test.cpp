// The audio device layer against a private PulseAudio daemon: listing and
// defaults, change notifications on the Init thread, microphone capture and
// loopback with their formats and time stamps, devices and servers that go
// away, and a machine without a sound server.
#include <gtest/gtest.h>
#include <poll.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "audiodevicecapture.h"
#include "audiodeviceenum.h"
#include "basekit/logwrapper.h"

#include "../../basekit/tests/logcapture.h"
#include "basekit/messagequeue.h"
#include "basekit/tickcount.h"
#include "resamplerproxy.h"
#include "support/pulseplayer.h"
#include "support/pulseserver.h"

namespace {

using namespace std::chrono_literals;
constexpr double kPi = 3.14159265358979323846;

using CLogLines = CLogCapture;

class CChangeCounter : public IDeviceChangedSink {
public:
    void OnDeviceChanged() override {
        ++m_nCount;
        if (std::this_thread::get_id() != m_owner) ++m_nForeign;
    }
    int m_nCount = 0;
    int m_nForeign = 0;
    std::thread::id m_owner = std::this_thread::get_id();
};

// Keeps every block's description and the left channel of its samples.
class CBlockCollector : public IAudioDeviceCaptureSink {
public:
    struct Block {
        std::uint32_t frames, channels, sampleRate, deviceSampleRate;
        std::uint64_t timestampNs, captureTimeNs;
        bool bIsInputDevice;
        std::size_t firstSample;  // index into m_left
        bool bSidesEqual;
    };
    void OnAudioCaptured(CAudioDeviceCapture* source, CapturedAudioBlock* b) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_sources.push_back(source);
        const auto* s = reinterpret_cast<const std::int16_t*>(b->data);
        Block block{b->frames, b->channels, b->sampleRate, b->deviceSampleRate, b->timestampNs,
                    b->captureTimeNs, b->bIsInputDevice, m_left.size(), true};
        for (std::uint32_t i = 0; i < b->frames; ++i) {
            m_left.push_back(s[i * b->channels]);
            if (b->channels == 2 && s[i * 2] != s[i * 2 + 1]) block.bSidesEqual = false;
        }
        EXPECT_EQ(b->byteLength, b->frames * b->channels * 2);
        m_blocks.push_back(block);
    }
    std::size_t BlockCount() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_blocks.size();
    }
    std::vector<Block> Blocks() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_blocks;
    }
    std::vector<std::int16_t> Left() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_left;
    }
    bool AllFrom(CAudioDeviceCapture* source) {
        std::lock_guard<std::mutex> lock(m_mutex);
        return std::all_of(m_sources.begin(), m_sources.end(), [&](auto* s) { return s == source; });
    }

private:
    std::mutex m_mutex;
    std::vector<Block> m_blocks;
    std::vector<std::int16_t> m_left;
    std::vector<CAudioDeviceCapture*> m_sources;
};

// Upward zero crossings per second over `samples` at `rate`.
double ToneFrequency(const std::vector<std::int16_t>& samples, std::size_t from, std::size_t to, double rate) {
    int crossings = 0;
    std::size_t first = 0, last = 0;
    for (std::size_t i = from + 1; i < to; ++i) {
        if (samples[i - 1] < 0 && samples[i] >= 0) {
            if (crossings == 0) first = i;
            last = i;
            ++crossings;
        }
    }
    return crossings > 1 ? (crossings - 1) * rate / double(last - first) : 0.0;
}

std::vector<std::int16_t> StereoTone(double hz, unsigned rate, double seconds, double amplitude) {
    const auto frames = static_cast<std::size_t>(rate * seconds);
    std::vector<std::int16_t> pcm(frames * 2);
    for (std::size_t i = 0; i < frames; ++i) {
        auto v = static_cast<std::int16_t>(std::lround(amplitude * std::sin(2 * kPi * hz * double(i) / rate)));
        pcm[2 * i] = pcm[2 * i + 1] = v;
    }
    return pcm;
}

template <class Pred>
bool WaitFor(Pred pred, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

// Pumps this thread's queue until `pred` or the time-out.
template <class Pred>
bool PumpUntil(Pred pred, std::chrono::milliseconds timeout) {
    CMessageQueue* q = CMessageQueue::ForCurrentThread();
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        q->WaitAndPump(static_cast<int>(std::min<long long>(left.count(), 50)));
    }
    return true;
}

void PumpFor(std::chrono::milliseconds duration) {
    PumpUntil([] { return false; }, duration);
}

bool HavePulseAudio() {
    return std::system("command -v pulseaudio >/dev/null 2>&1 && command -v pactl >/dev/null 2>&1") == 0;
}

class AudioDevices : public ::testing::Test {
protected:
    void SetUp() override {
        if (!HavePulseAudio()) GTEST_SKIP() << "pulseaudio is not installed";
        m_server.AddNullSink({"spk_a", "Speaker A", 44100, 2});
        m_server.AddNullSink({"spk_b", "Speaker B", 48000, 2});
        m_server.AddSineSource({"mic_a", "Mic A", 440, 48000});
        m_server.AddSineSource({"mic_b", "Mic B", 1000, 44100});
        m_server.SetDefaultSink("spk_b");
        m_server.SetDefaultSource("mic_b");
        std::string error;
        ASSERT_TRUE(m_server.Start(&error)) << error;
    }

    CPulseServer m_server;
    CLogLines m_log;
};

std::string DefaultId(const DeviceEntryMap& devices) {
    std::string id;
    int defaults = 0;
    for (const auto& [index, entry] : devices) {
        if (entry.isDefault) {
            id = entry.id;
            ++defaults;
        }
    }
    return defaults == 1 ? id : "<" + std::to_string(defaults) + " defaults>";
}

}  // namespace

TEST_F(AudioDevices, ListsSourcesAndSinksWithTheServerDefaults) {
    CAudioDeviceEnum devices;
    CChangeCounter changes;
    ASSERT_TRUE(devices.Init(&changes));
    EXPECT_EQ(devices.GetInputDeviceNum(), 2);  // the sinks' monitors are not inputs
    EXPECT_EQ(devices.GetOutputDeviceNum(), 2);
    EXPECT_GE(m_log.Count("Entry (Input)", CLogWrapper::LOG_INFO), 1);
    EXPECT_GE(m_log.Count(" --- device num=2", CLogWrapper::LOG_INFO), 1);

    DeviceEntryMap inputs, outputs;
    inputs[7] = DeviceEntry{};  // the list clears the caller's map
    ASSERT_TRUE(devices.GetInputDeviceList(inputs));
    ASSERT_EQ(inputs.size(), 2u);
    EXPECT_STREQ(inputs[0].id, "mic_a");
    EXPECT_STREQ(inputs[0].name, "Mic A");
    EXPECT_STREQ(inputs[1].id, "mic_b");
    EXPECT_STREQ(inputs[1].name, "Mic B");
    EXPECT_EQ(DefaultId(inputs), "mic_b");

    ASSERT_TRUE(devices.GetOutputDeviceList(outputs));
    ASSERT_EQ(outputs.size(), 2u);
    EXPECT_STREQ(outputs[0].id, "spk_a");
    EXPECT_STREQ(outputs[1].name, "Speaker B");
    EXPECT_EQ(DefaultId(outputs), "spk_b");

    char id[128];
    ASSERT_TRUE(devices.GetDeviceIdByName(id, true, "Mic B"));
    EXPECT_STREQ(id, "mic_b");
    ASSERT_TRUE(devices.GetDeviceIdByName(id, false, "Speaker A"));
    EXPECT_STREQ(id, "spk_a");
    EXPECT_FALSE(devices.GetDeviceIdByName(id, true, "Speaker A"));
    EXPECT_FALSE(devices.GetDeviceIdByName(id, true, "Mic"));

    // A default that is not an input (a monitor): the first input stands in.
    ASSERT_TRUE(m_server.Pactl({"set-default-source", "spk_a.monitor"}));
    ASSERT_TRUE(devices.GetInputDeviceList(inputs));
    EXPECT_EQ(DefaultId(inputs), "mic_a");
}

TEST_F(AudioDevices, LongNamesAreCutDuplicatesGoToTheLowerIndexAndNoInputFailsTheList) {
    CAudioDeviceEnum devices;
    ASSERT_TRUE(devices.Init(nullptr));
    // 126 ASCII bytes, then a two-byte character that does not fit in 127.
    const std::string longName = std::string(126, 'n') + "\xC3\xA9" + std::string(72, 'x');
    int longIdx = m_server.LoadSineSource({"mic_long", longName, 300, 16000});
    int twin1 = m_server.LoadSineSource({"twin_1", "Twin", 500, 16000});
    int twin2 = m_server.LoadSineSource({"twin_2", "Twin", 600, 16000});
    ASSERT_GE(longIdx, 0);
    ASSERT_GE(twin2, 0);

    DeviceEntryMap inputs;
    ASSERT_TRUE(devices.GetInputDeviceList(inputs));
    ASSERT_EQ(inputs.size(), 5u);
    EXPECT_EQ(std::string(inputs[2].name), std::string(126, 'n'));
    char id[128];
    EXPECT_FALSE(devices.GetDeviceIdByName(id, true, longName.c_str()));
    ASSERT_TRUE(devices.GetDeviceIdByName(id, true, std::string(126, 'n').c_str()));
    EXPECT_STREQ(id, "mic_long");
    ASSERT_TRUE(devices.GetDeviceIdByName(id, true, "Twin"));
    EXPECT_STREQ(id, "twin_1");

    // Without any input the count is 0 and the list fails at the default.
    for (int idx : {longIdx, twin1, twin2}) ASSERT_TRUE(m_server.UnloadModule(idx));
    ASSERT_TRUE(m_server.Pactl({"unload-module", "module-sine-source"}));
    EXPECT_EQ(devices.GetInputDeviceNum(), 0);
    EXPECT_FALSE(devices.GetInputDeviceList(inputs));
    EXPECT_TRUE(inputs.empty());
    EXPECT_GE(m_log.Count(" --- GetDefaultAudioEndpoint fail, errorcode=", CLogWrapper::LOG_ERROR), 1);
    EXPECT_FALSE(devices.GetDeviceIdByName(id, true, "Mic A"));
}

TEST_F(AudioDevices, DeviceChangesReachTheInitThreadOncePerEvent) {
    auto devices = std::make_unique<CAudioDeviceEnum>();
    CChangeCounter changes;
    ASSERT_TRUE(devices->Init(&changes));
    ASSERT_EQ(devices->GetInputDeviceNum(), 2);  // connected
    PumpFor(300ms);
    EXPECT_EQ(changes.m_nCount, 0);

    // Nothing runs until this thread pumps.
    int source = m_server.LoadSineSource({"mic_new", "New Mic", 700, 48000});
    ASSERT_GE(source, 0);
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(changes.m_nCount, 0);
    EXPECT_TRUE(PumpUntil([&] { return changes.m_nCount == 1; }, 3000ms));
    PumpFor(300ms);
    EXPECT_EQ(changes.m_nCount, 1);

    ASSERT_TRUE(m_server.UnloadModule(source));
    EXPECT_TRUE(PumpUntil([&] { return changes.m_nCount == 2; }, 3000ms));
    // A sink with its monitor is one device: one notification each way.
    int sink = m_server.LoadNullSink({"spk_new", "New Speaker", 44100, 2});
    ASSERT_GE(sink, 0);
    EXPECT_TRUE(PumpUntil([&] { return changes.m_nCount == 3; }, 3000ms));
    ASSERT_TRUE(m_server.UnloadModule(sink));
    EXPECT_TRUE(PumpUntil([&] { return changes.m_nCount == 4; }, 3000ms));
    PumpFor(300ms);
    EXPECT_EQ(changes.m_nCount, 4);
    EXPECT_EQ(changes.m_nForeign, 0);
    EXPECT_GE(m_log.Count("CNotifyTarget::OnDeviceChange"), 4);

    // A notification still queued when the enumerator goes is dropped.
    source = m_server.LoadSineSource({"mic_late", "Late Mic", 700, 48000});
    ASSERT_GE(source, 0);
    pollfd pfd{CMessageQueue::ForCurrentThread()->GetFd(), POLLIN, 0};
    EXPECT_EQ(poll(&pfd, 1, 3000), 1);
    devices.reset();
    PumpFor(200ms);
    EXPECT_EQ(changes.m_nCount, 4);
}

TEST_F(AudioDevices, MicrophoneOfA48kMonoSourceArrivesAs44kStereoWithTimestampsThatFollowTheData) {
    // A real-time 48000 Hz mono microphone for the timing, and the sine
    // source (which posts 2-second bursts) for the format and the tone.
    CPulseServer::SineMicrophoneModules paced = m_server.LoadSineMicrophone({"pmic", "Paced Mic", 440, 48000, 1});
    ASSERT_TRUE(paced.ok());
    CResamplerProxy resampler, sineResampler;
    CBlockCollector blocks, sineBlocks;
    CAudioDeviceCapture capture, sineCapture;
    ASSERT_EQ(capture.Init(&blocks, &resampler), 0);
    ASSERT_EQ(sineCapture.Init(&sineBlocks, &sineResampler), 0);
    const std::uint64_t before = GetTickNs();
    ASSERT_EQ(capture.StartCapture(true, "Paced Mic", "pmic"), 0);
    ASSERT_EQ(sineCapture.StartCapture(true, "Mic A", "mic_a"), 0);
    EXPECT_TRUE(capture.IsCapturing());
    EXPECT_TRUE(capture.IsInputDevice());
    EXPECT_EQ(capture.GetDeviceSampleRate(), 48000u);
    EXPECT_EQ(capture.GetDeviceChannels(), 1u);
    EXPECT_EQ(sineCapture.GetDeviceSampleRate(), 48000u);
    EXPECT_EQ(sineCapture.GetDeviceChannels(), 1u);
    // A freshly loaded null sink first renders one long block: wait until
    // the sound flows at the pace asked for.
    ASSERT_TRUE(WaitFor([&] { return blocks.BlockCount() > 0 && sineBlocks.BlockCount() > 0; }, 5000ms));
    std::this_thread::sleep_for(2500ms);
    EXPECT_EQ(capture.StopCapture(), 0);
    EXPECT_EQ(sineCapture.StopCapture(), 0);
    EXPECT_FALSE(capture.IsCapturing());
    const std::uint64_t after = GetTickNs();

    for (CBlockCollector* collected : {&blocks, &sineBlocks}) {
        std::vector<CBlockCollector::Block> got = collected->Blocks();
        ASSERT_FALSE(got.empty());
        std::uint64_t frames = 0;
        for (const auto& b : got) {
            ASSERT_EQ(b.sampleRate, 44100u);
            ASSERT_EQ(b.channels, 2u);
            ASSERT_EQ(b.deviceSampleRate, 48000u);
            ASSERT_TRUE(b.bIsInputDevice);
            ASSERT_TRUE(b.bSidesEqual);
            ASSERT_GT(b.frames, 0u);
            frames += b.frames;
        }
        EXPECT_GT(frames, 44100u);
        std::vector<std::int16_t> left = collected->Left();
        EXPECT_NEAR(ToneFrequency(left, 4410, left.size(), 44100), 440.0, 2.0);
    }
    EXPECT_TRUE(blocks.AllFrom(&capture));
    EXPECT_TRUE(sineBlocks.AllFrom(&sineCapture));

    // Timing: 10 ms blocks whose times follow their frames.
    std::vector<CBlockCollector::Block> got = blocks.Blocks();
    ASSERT_GT(got.size(), 150u);
    std::uint64_t frames = 0;
    double worstStep = 0, worstLatency = 0;
    for (std::size_t k = 0; k < got.size(); ++k) {
        const auto& b = got[k];
        ASSERT_LE(b.timestampNs, b.captureTimeNs);
        ASSERT_GE(b.timestampNs, before - 200'000'000ULL);
        ASSERT_LE(b.captureTimeNs, after);
        worstLatency = std::max(worstLatency, double(b.captureTimeNs - b.timestampNs) / 1e6);
        if (k > 0) {
            // Each block starts where the previous one's frames end.
            const auto& p = got[k - 1];
            double step = double(std::int64_t(b.timestampNs - p.timestampNs)) / 1e6 - p.frames * 1000.0 / 44100;
            worstStep = std::max(worstStep, std::abs(step));
        }
        if (k + 1 < got.size()) frames += b.frames;
    }
    const double spanMs = double(got.back().timestampNs - got.front().timestampNs) / 1e6;
    std::printf("microphone: %zu blocks of about %.1f ms, worst step error %.2f ms, span error %.2f ms over %.0f ms, "
                "latency up to %.1f ms\n",
                got.size(), frames * 1000.0 / 44100 / double(got.size() - 1), worstStep,
                spanMs - frames * 1000.0 / 44100, spanMs, worstLatency);
    EXPECT_LT(worstStep, 5.0);
    // The test microphone's null sink renders up to one block (10 ms) ahead,
    // more so on a busy machine; the chain may settle on that earlier edge.
    EXPECT_NEAR(spanMs, frames * 1000.0 / 44100, 12.0);
    EXPECT_LT(worstLatency, 300.0);
    EXPECT_NEAR(double(frames), 2.5 * 44100, 0.15 * 44100);

    EXPECT_EQ(m_log.Count("Thread Working now"), 2);
    EXPECT_EQ(m_log.Count("Thread, bIsInputDevice= true"), 2);
    EXPECT_EQ(m_log.Count("Thread go stop"), 2);
    EXPECT_GE(m_log.Count("capture rate= 48000, channels= 1"), 2);
}

TEST_F(AudioDevices, PauseDrainsWithoutDeliveringAndResumeDeliversAgain) {
    // A 44100 Hz mono microphone: stereo comes from the conversion.
    ASSERT_TRUE(m_server.LoadSineMicrophone({"pmic44", "Paced Mic 44", 1000, 44100, 1}).ok());
    CResamplerProxy resampler;
    CBlockCollector blocks;
    CAudioDeviceCapture capture;
    ASSERT_EQ(capture.Init(&blocks, &resampler), 0);
    ASSERT_EQ(capture.StartCapture(true, "Paced Mic 44", "pmic44"), 0);
    EXPECT_EQ(capture.GetDeviceSampleRate(), 44100u);
    EXPECT_EQ(capture.GetDeviceChannels(), 1u);
    ASSERT_TRUE(WaitFor([&] { return blocks.BlockCount() > 10; }, 5000ms));
    EXPECT_EQ(capture.PauseOrResumeCapture(true), 0);
    EXPECT_EQ(m_log.Count("Entry, bIsPause= 1"), 1);
    std::this_thread::sleep_for(100ms);
    const std::size_t paused = blocks.BlockCount();
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(blocks.BlockCount(), paused);
    EXPECT_TRUE(capture.IsCapturing());
    EXPECT_EQ(capture.PauseOrResumeCapture(false), 0);
    EXPECT_TRUE(WaitFor([&] { return blocks.BlockCount() > paused + 10; }, 3000ms));
    EXPECT_EQ(capture.StopCapture(), 0);

    // What was paused is left out: the first block after the pause is ~0.5 s later.
    std::vector<CBlockCollector::Block> got = blocks.Blocks();
    ASSERT_GT(got.size(), paused + 1);
    double gapMs = double(got[paused].timestampNs - got[paused - 1].timestampNs) / 1e6;
    EXPECT_GT(gapMs, 400.0);
    std::vector<std::int16_t> left = blocks.Left();
    EXPECT_NEAR(ToneFrequency(left, got[paused].firstSample, left.size(), 44100), 1000.0, 5.0);
}

TEST_F(AudioDevices, LoopbackRecordsWhatTheSinkPlaysAtTheTimeItPlays) {
    CResamplerProxy resampler;
    CBlockCollector blocks;
    CAudioDeviceCapture capture;
    ASSERT_EQ(capture.Init(&blocks, &resampler), 0);
    ASSERT_EQ(capture.StartCapture(false, "Speaker A", "spk_a"), 0);
    EXPECT_FALSE(capture.IsInputDevice());
    // The sink runs at the engine format: its monitor passes through.
    EXPECT_EQ(capture.GetDeviceSampleRate(), 44100u);
    EXPECT_EQ(capture.GetDeviceChannels(), 2u);

    CPulsePlayer::Result tone = CPulsePlayer::Play("spk_a", StereoTone(1000, 44100, 1.0, 8000), 44100, 2);
    ASSERT_TRUE(tone.ok) << tone.error;
    // A click: 5 ms at full level after silence.
    std::vector<std::int16_t> click(44100 / 2 * 2, 0);
    for (int i = 0; i < 220; ++i) click[2 * i] = click[2 * i + 1] = (i % 2) ? 20000 : -20000;
    CPulsePlayer::Result clicked = CPulsePlayer::Play("spk_a", click, 44100, 2);
    ASSERT_TRUE(clicked.ok) << clicked.error;
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(capture.StopCapture(), 0);
    EXPECT_EQ(m_log.Count("Thread, bIsInputDevice= false"), 1);

    std::vector<CBlockCollector::Block> got = blocks.Blocks();
    std::vector<std::int16_t> left = blocks.Left();
    ASSERT_FALSE(got.empty());
    for (const auto& b : got) {
        ASSERT_FALSE(b.bIsInputDevice);
        ASSERT_EQ(b.sampleRate, 44100u);
        ASSERT_EQ(b.deviceSampleRate, 44100u);
        // Loopback: the time its first frame plays, on the engine clock: before
        // the read, or after it by what the sink has mixed ahead (a player with
        // a large buffer lets a null sink mix far ahead).
        ASSERT_LT(std::max(b.timestampNs, b.captureTimeNs) - std::min(b.timestampNs, b.captureTimeNs), 2000000000ULL);
    }
    // The tone: where the sound is, it is 1000 Hz.
    auto loud = std::find_if(left.begin(), left.end(), [](std::int16_t v) { return std::abs(v) > 4000; });
    ASSERT_NE(loud, left.end());
    const std::size_t toneStart = std::size_t(loud - left.begin());
    EXPECT_NEAR(ToneFrequency(left, toneStart + 441, toneStart + 40000, 44100), 1000.0, 3.0);

    // The click: find its first sample and the time its block gives it.
    auto clickAt = std::find_if(left.begin() + std::ptrdiff_t(toneStart + 44100), left.end(),
                                [](std::int16_t v) { return std::abs(v) > 15000; });
    ASSERT_NE(clickAt, left.end());
    const std::size_t clickIndex = std::size_t(clickAt - left.begin());
    auto block = std::find_if(got.rbegin(), got.rend(), [&](const auto& b) { return b.firstSample <= clickIndex; });
    ASSERT_NE(block, got.rend());
    const double heardMs = double(block->timestampNs) / 1e6 + double(clickIndex - block->firstSample) * 1000.0 / 44100;
    const double playedMs = double(clicked.firstFrameNs) / 1e6;  // the click opens the buffer
    const double offsetMs = heardMs - playedMs;
    std::printf("loopback: click played at %.1f ms, stamped at %.1f ms: offset %+.1f ms\n", playedMs, heardMs,
                offsetMs);
    EXPECT_LT(std::abs(offsetMs), 60.0);
}

TEST_F(AudioDevices, ASourceThatGoesAwayEndsOnlyItsCapture) {
    CPulseServer::SineMicrophoneModules usb = m_server.LoadSineMicrophone({"mic_usb", "USB Mic", 440, 48000, 2});
    ASSERT_TRUE(usb.ok());
    CResamplerProxy micResampler, loopResampler;
    CBlockCollector micBlocks, loopBlocks;
    CAudioDeviceCapture mic, loop;
    ASSERT_EQ(mic.Init(&micBlocks, &micResampler), 0);
    ASSERT_EQ(loop.Init(&loopBlocks, &loopResampler), 0);
    ASSERT_EQ(mic.StartCapture(true, "USB Mic", "mic_usb"), 0);
    ASSERT_EQ(loop.StartCapture(false, "Speaker B", "spk_b"), 0);
    ASSERT_TRUE(WaitFor([&] { return micBlocks.BlockCount() > 5 && loopBlocks.BlockCount() > 5; }, 5000ms));

    ASSERT_TRUE(m_server.UnloadModule(usb.source));
    EXPECT_TRUE(WaitFor([&] { return !mic.IsCapturing(); }, 3000ms));
    EXPECT_GE(m_log.Count(" --- capture thread ends, result=", CLogWrapper::LOG_ERROR), 1);
    // The other capture goes on.
    const std::size_t loopBefore = loopBlocks.BlockCount();
    EXPECT_TRUE(WaitFor([&] { return loopBlocks.BlockCount() > loopBefore + 10; }, 3000ms));
    EXPECT_TRUE(loop.IsCapturing());

    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(mic.StopCapture(), 0);
    EXPECT_EQ(loop.StopCapture(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 1s);
    EXPECT_FALSE(loop.IsCapturing());
}

TEST_F(AudioDevices, AServerThatDiesEndsCapturesAndComesBackToTheNextListing) {
    CAudioDeviceEnum devices;
    CChangeCounter changes;
    ASSERT_TRUE(devices.Init(&changes));
    ASSERT_EQ(devices.GetOutputDeviceNum(), 2);
    CResamplerProxy resampler;
    CBlockCollector blocks;
    CAudioDeviceCapture capture;
    ASSERT_EQ(capture.Init(&blocks, &resampler), 0);
    ASSERT_EQ(capture.StartCapture(true, "Mic A", "mic_a"), 0);
    ASSERT_TRUE(WaitFor([&] { return blocks.BlockCount() > 5; }, 3000ms));

    m_server.Kill();
    EXPECT_TRUE(WaitFor([&] { return !capture.IsCapturing(); }, 3000ms));
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(capture.StopCapture(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 1s);
    // The device set changed: one notification.
    EXPECT_TRUE(PumpUntil([&] { return changes.m_nCount == 1; }, 3000ms));
    EXPECT_EQ(devices.GetInputDeviceNum(), -2);
    DeviceEntryMap inputs;
    EXPECT_FALSE(devices.GetInputDeviceList(inputs));

    std::string error;
    ASSERT_TRUE(m_server.Start(&error)) << error;
    EXPECT_EQ(devices.GetInputDeviceNum(), 2);
    ASSERT_TRUE(devices.GetInputDeviceList(inputs));
    EXPECT_EQ(DefaultId(inputs), "mic_b");
    EXPECT_TRUE(PumpUntil([&] { return changes.m_nCount == 2; }, 3000ms));
    PumpFor(300ms);
    EXPECT_EQ(changes.m_nCount, 2);
    EXPECT_EQ(changes.m_nForeign, 0);
}

TEST_F(AudioDevices, StartFailuresGiveTheirCodesAndMessages) {
    CResamplerProxy resampler;
    CBlockCollector blocks;
    {
        CAudioDeviceCapture capture;
        EXPECT_EQ(capture.StartCapture(true, "Mic A", "mic_a"), -1);  // no sink yet
        EXPECT_EQ(m_log.Count(" --- NULL != m_pSink || NULL != m_hThread", CLogWrapper::LOG_ERROR), 1);
        EXPECT_EQ(capture.Init(&blocks, nullptr), -2);
        EXPECT_EQ(m_log.Count(" --- NULL == pResample", CLogWrapper::LOG_ERROR), 1);
        ASSERT_EQ(capture.Init(&blocks, &resampler), 0);
        EXPECT_EQ(capture.Init(&blocks, &resampler), -1);
        EXPECT_EQ(capture.StartCapture(true, nullptr, "mic_a"), -2);
        EXPECT_EQ(m_log.Count(" --- 0 > iBufferLen (1)", CLogWrapper::LOG_ERROR), 1);
        EXPECT_EQ(capture.StartCapture(true, "Mic A", ""), -2);
        EXPECT_EQ(m_log.Count(" --- 0 >= iBufferLen (2)", CLogWrapper::LOG_ERROR), 1);
        EXPECT_EQ(capture.StartCapture(true, "Nobody", "no_such_source"), -4);
        EXPECT_EQ(m_log.Count(" --- enumerator->GetDevice fail, res=", CLogWrapper::LOG_ERROR), 1);
        EXPECT_FALSE(capture.IsCapturing());
        EXPECT_EQ(capture.StopCapture(), 0);
    }
    {
        // A source is no loopback endpoint; an object starts once.
        CAudioDeviceCapture capture;
        ASSERT_EQ(capture.Init(&blocks, &resampler), 0);
        EXPECT_EQ(capture.StartCapture(false, "Mic A", "mic_a"), -4);
        CAudioDeviceCapture again;
        ASSERT_EQ(again.Init(&blocks, &resampler), 0);
        ASSERT_EQ(again.StartCapture(false, "Speaker B", "spk_b"), 0);
        EXPECT_EQ(again.StartCapture(false, "Speaker B", "spk_b"), -1);
        EXPECT_TRUE(again.IsCapturing());
        EXPECT_EQ(again.StopCapture(), 0);
        EXPECT_EQ(again.StopCapture(), 0);
    }
    // The enumerator before Init, and Init twice.
    CAudioDeviceEnum devices;
    EXPECT_EQ(devices.GetInputDeviceNum(), -1);
    EXPECT_EQ(m_log.Count(" --- WTF!!!! NULL == m_mmEnumerator", CLogWrapper::LOG_ERROR), 1);
    DeviceEntryMap map;
    EXPECT_FALSE(devices.GetOutputDeviceList(map));
    EXPECT_TRUE(devices.Init(nullptr));
    EXPECT_TRUE(devices.Init(nullptr));
    EXPECT_EQ(m_log.Count(" --- NULL != m_mmEnumerator", CLogWrapper::LOG_ERROR), 1);
    EXPECT_EQ(devices.GetOutputDeviceNum(), 2);
}

// Device clocks against CLOCK_MONOTONIC over TOLVANE_MEASURE_CLOCK_S seconds
// (a measurement, not a check; skipped unless asked for).
TEST_F(AudioDevices, MeasureDeviceClocks) {
    const char* seconds = std::getenv("TOLVANE_MEASURE_CLOCK_S");
    if (!seconds) GTEST_SKIP() << "set TOLVANE_MEASURE_CLOCK_S to measure";
    ASSERT_TRUE(m_server.LoadSineMicrophone({"pmic", "Paced Mic", 440, 48000, 1}).ok());
    CResamplerProxy micResampler, loopResampler;
    CBlockCollector micBlocks, loopBlocks;
    CAudioDeviceCapture mic, loop;
    ASSERT_EQ(mic.Init(&micBlocks, &micResampler), 0);
    ASSERT_EQ(loop.Init(&loopBlocks, &loopResampler), 0);
    ASSERT_EQ(mic.StartCapture(true, "Paced Mic", "pmic"), 0);
    ASSERT_EQ(loop.StartCapture(false, "Speaker A", "spk_a"), 0);
    std::this_thread::sleep_for(std::chrono::seconds(std::atoi(seconds)));
    mic.StopCapture();
    loop.StopCapture();
    for (auto* collected : {&micBlocks, &loopBlocks}) {
        std::vector<CBlockCollector::Block> got = collected->Blocks();
        ASSERT_GT(got.size(), 100u);
        // Least squares of the block time against the frames before it.
        double n = 0, sx = 0, sy = 0, sxx = 0, sxy = 0, frames = 0;
        std::vector<std::pair<double, double>> points;
        for (std::size_t k = 10; k < got.size(); ++k) {
            double x = frames / 44100.0;
            double y = double(got[k].timestampNs - got[10].timestampNs) / 1e9;
            points.emplace_back(x, y);
            n += 1;
            sx += x;
            sy += y;
            sxx += x * x;
            sxy += x * y;
            frames += got[k].frames;
        }
        double slope = (n * sxy - sx * sy) / (n * sxx - sx * sx);
        double intercept = (sy - slope * sx) / n;
        std::vector<double> residuals;
        for (auto [x, y] : points) residuals.push_back(std::abs(y - (intercept + slope * x)) * 1000);
        std::sort(residuals.begin(), residuals.end());
        // slope = engine seconds per device second: the device rate is 44100 / slope.
        std::printf("%s: %.0f frames over %.1f s of block times: %.2f frames per second (%+.1f ppm); "
                    "distance of block times from the fitted line: median %.2f ms, 99 %% %.2f ms, max %.2f ms\n",
                    collected == &micBlocks ? "microphone on a 48000 Hz null sink" : "null sink monitor (44100 Hz)",
                    frames, points.back().second, 44100.0 / slope, (1.0 / slope - 1.0) * 1e6,
                    residuals[residuals.size() / 2], residuals[residuals.size() * 99 / 100], residuals.back());
    }
}

// A machine without a sound server: the enumerator starts, lists nothing,
// captures fail with the server's code, and a server that appears later is
// found by the next listing.
TEST(AudioDevicesWithoutServer, InitSucceedsListingsAndCapturesFailUntilAServerComes) {
    if (!HavePulseAudio()) GTEST_SKIP() << "pulseaudio is not installed";
    CLogLines log;
    CPulseServer server;  // not started: clients point at a socket nobody serves
    server.ExportEnvironment();
    server.AddSineSource({"late_mic", "Late Mic", 440, 48000});

    CAudioDeviceEnum devices;
    CChangeCounter changes;
    ASSERT_TRUE(devices.Init(&changes));
    EXPECT_EQ(log.Count(" --- instance CLSID_MMDeviceEnumerator fail errorcode="), 0);
    EXPECT_EQ(devices.GetInputDeviceNum(), -2);
    EXPECT_EQ(devices.GetOutputDeviceNum(), -2);
    DeviceEntryMap map;
    map[0] = DeviceEntry{};
    EXPECT_FALSE(devices.GetInputDeviceList(map));
    EXPECT_TRUE(map.empty());
    EXPECT_FALSE(devices.GetOutputDeviceList(map));
    EXPECT_GE(log.Count(" --- EnumAudioEndpoints fail, errorcode=", CLogWrapper::LOG_ERROR), 4);
    char id[128];
    EXPECT_FALSE(devices.GetDeviceIdByName(id, true, "Late Mic"));

    CResamplerProxy resampler;
    CBlockCollector blocks;
    CAudioDeviceCapture capture;
    ASSERT_EQ(capture.Init(&blocks, &resampler), 0);
    EXPECT_EQ(capture.StartCapture(true, "Late Mic", "late_mic"), -3);
    EXPECT_EQ(log.Count(" --- MMDeviceEnumerator instance fail, res=", CLogWrapper::LOG_ERROR), 1);
    EXPECT_FALSE(capture.IsCapturing());
    EXPECT_EQ(capture.StopCapture(), 0);
    PumpFor(200ms);
    EXPECT_EQ(changes.m_nCount, 0);

    std::string error;
    ASSERT_TRUE(server.Start(&error)) << error;
    EXPECT_EQ(devices.GetInputDeviceNum(), 1);
    ASSERT_TRUE(devices.GetDeviceIdByName(id, true, "Late Mic"));
    EXPECT_STREQ(id, "late_mic");
    // The server's arrival is news for the sink, once.
    EXPECT_TRUE(PumpUntil([&] { return changes.m_nCount == 1; }, 3000ms));
    PumpFor(300ms);
    EXPECT_EQ(changes.m_nCount, 1);
}

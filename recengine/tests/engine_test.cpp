// The engine object with its real parts: argument checks and codes, the
// level table, device listing and selection, device-change notifications on
// the Init thread, recordings from a private PulseAudio daemon (microphone
// sine sources, loopback of a tone played into a null sink) checked with
// ffprobe, ffmpeg and flvmeta, pause, switching and losing a microphone, and
// a machine without a sound server.
#include <gtest/gtest.h>
#include <unistd.h>

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

#include "avorvixrecordimpl.h"
#include "basekit/datapackage.h"
#include "basekit/logwrapper.h"

#include "../../basekit/tests/logcapture.h"
#include "basekit/messagequeue.h"
#include "basekit/tickcount.h"
#include "recengine/orvixavrecord.h"
#include "support/lowlatencymonitor.h"
#include "support/mediaprobe.h"
#include "support/pulseplayer.h"
#include "support/pulseserver.h"

namespace {

using namespace std::chrono_literals;

constexpr int kWidth = 320;
constexpr int kHeight = 240;
constexpr double kMicAHz = 440;
constexpr double kMicBHz = 1250;
constexpr double kSpeakerHz = 3000;
constexpr double kTonePresent = 0.01;  // amplitude of full scale
constexpr double kToneAbsent = 0.002;

bool HavePulseAudio() { return std::system("command -v pulseaudio >/dev/null 2>&1") == 0; }
bool HaveMediaTools() {
    return std::system("command -v ffprobe >/dev/null && command -v ffmpeg >/dev/null && "
                       "command -v flvmeta >/dev/null") == 0;
}

using CLogLines = CLogCapture;

// What the engine reports.
class CTestSink : public IOrvixRecordSink {
public:
    int OnAudioLevel(int isInput, int level) override {
        ++m_anLevels[isInput ? 1 : 0];
        m_nMaxLevel = std::max(m_nMaxLevel.load(), level);
        return 0;
    }
    int OnRecordDuration(std::uint32_t seconds) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_Durations.push_back({GetTickMs(), seconds});
        return 0;
    }
    int OnAudioDeviceChanged() override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_ChangeThreads.push_back(std::this_thread::get_id());
        return 0;
    }
    int OnRecordError(int code) override {
        m_nError = code;
        return 0;
    }

    struct Report {
        std::uint64_t tickMs;
        std::uint32_t seconds;
    };
    std::vector<Report> Durations() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_Durations;
    }
    std::vector<std::thread::id> ChangeThreads() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_ChangeThreads;
    }

    std::atomic<int> m_anLevels[2] = {0, 0};
    std::atomic<int> m_nMaxLevel{0};
    std::atomic<int> m_nError{0};

private:
    std::mutex m_mutex;
    std::vector<Report> m_Durations;
    std::vector<std::thread::id> m_ChangeThreads;
};

struct EngineDeleter {
    void operator()(IOrvixAvRecordInterface* p) const { DestoryOrvixAvRecord(p); }
};
using EnginePtr = std::unique_ptr<IOrvixAvRecordInterface, EngineDeleter>;

EnginePtr NewEngine() { return EnginePtr(CreateOrvixAvRecord()); }

CAVOrvixRecordImpl* Impl(const EnginePtr& e) { return dynamic_cast<CAVOrvixRecordImpl*>(e.get()); }

// Pushes BGRA pictures at 15 per second on the engine clock from a thread of
// its own, as the capture component does.
class CPicturePusher {
public:
    explicit CPicturePusher(IOrvixAvRecordInterface* engine)
        : m_pEngine(engine), m_Thread([this] { Run(); }) {}
    ~CPicturePusher() { Stop(); }
    void Stop() {
        m_bStop = true;
        if (m_Thread.joinable()) m_Thread.join();
    }
    std::uint64_t Pushed() const { return m_nPushed; }
    void SetPaused(bool paused) { m_bPaused = paused; }
    // The time stamps of the pictures pushed so far, in order.
    std::vector<std::uint32_t> Stamps() {
        std::lock_guard<std::mutex> lock(m_StampLock);
        return m_Stamps;
    }
    // Waits until a picture stamped at or after tickMs (engine clock) was
    // pushed; false when that takes longer than timeout.
    bool WaitForStamp(std::uint64_t tickMs, std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (m_nLastStamp.load() < tickMs) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(5ms);
        }
        return true;
    }

private:
    void Run() {
        std::vector<std::uint8_t> pixels(kWidth * kHeight * 4);
        const std::uint64_t start = GetTickMs();
        for (std::uint64_t n = 0; !m_bStop; ++n) {
            const std::uint64_t due = start + n * 1000 / 15;
            while (GetTickMs() < due && !m_bStop) std::this_thread::sleep_for(2ms);
            if (m_bStop) break;
            if (m_bPaused) continue;
            std::fill(pixels.begin(), pixels.end(), static_cast<std::uint8_t>(n * 7));
            CDataPackage picture(pixels.size(), pixels.data(), CDataPackage::FLAG_WRAP, pixels.size());
            m_pEngine->PushVideoData(static_cast<std::uint32_t>(due), &picture);
            {
                std::lock_guard<std::mutex> lock(m_StampLock);
                m_Stamps.push_back(static_cast<std::uint32_t>(due));
            }
            ++m_nPushed;
            m_nLastStamp = due;
        }
    }

    IOrvixAvRecordInterface* m_pEngine;
    std::atomic<bool> m_bStop{false};
    std::atomic<bool> m_bPaused{false};
    std::atomic<std::uint64_t> m_nPushed{0};
    std::atomic<std::uint64_t> m_nLastStamp{0};
    std::mutex m_StampLock;
    std::vector<std::uint32_t> m_Stamps;  // under m_StampLock
    std::thread m_Thread;
};

// Plays a sine into a sink for `seconds` from a thread of its own.
class CTonePlayer {
public:
    CTonePlayer(const std::string& sink, double hz, double seconds)
        : m_Thread([sink, hz, seconds] {
              const unsigned rate = 44100;
              std::vector<std::int16_t> pcm(static_cast<std::size_t>(seconds * rate) * 2);
              for (std::size_t i = 0; i < pcm.size() / 2; ++i) {
                  const auto s = static_cast<std::int16_t>(12000 * std::sin(2 * M_PI * hz * i / rate));
                  pcm[2 * i] = pcm[2 * i + 1] = s;
              }
              CPulsePlayer::Play(sink, pcm, rate, 2, 100);
          }) {}
    ~CTonePlayer() { m_Thread.join(); }

private:
    std::thread m_Thread;
};

std::string TempPath(const std::string& name) {
    return "/tmp/tolvane-engine-" + std::to_string(getpid()) + "-" + name;
}

// TOLVANE_TEST_KEEP=1 keeps the recordings for a look.
void RemoveUnlessKept(const std::string& path) {
    const char* keep = std::getenv("TOLVANE_TEST_KEEP");
    if (!keep || !*keep || std::strcmp(keep, "0") == 0) std::remove(path.c_str());
}

AudioDeviceInfo DeviceById(const std::list<AudioDeviceInfo>& list, const std::string& id) {
    for (const auto& d : list)
        if (id == d.GuidName) return d;
    ADD_FAILURE() << "no device " << id;
    return {};
}

// The latest time stamp of the file's tags, in ms.
std::uint32_t LastTimestamp(const std::vector<CMediaProbe::FlvTag>& tags) {
    std::uint32_t last = 0;
    for (const auto& t : tags) last = std::max(last, t.timestamp);
    return last;
}

// The video tags' time stamps, without the sequence headers.
std::vector<std::uint32_t> PictureStamps(const std::vector<CMediaProbe::FlvTag>& tags) {
    std::vector<std::uint32_t> stamps;
    for (const auto& t : tags)
        if (t.type == 9 && t.second != 0) stamps.push_back(t.timestamp);
    return stamps;
}

// Checks every property a finished recording must have; `audio` tells
// whether it holds sound, `pauses` how many pauses were cut out of it.
void ExpectValidRecording(const std::string& path, bool audio, int pauses = 0) {
    auto streams = CMediaProbe::Streams(path);
    ASSERT_EQ(streams.size(), 2u) << path;
    const auto& v = streams[0].Get("codec_type") == "video" ? streams[0] : streams[1];
    const auto& a = streams[0].Get("codec_type") == "video" ? streams[1] : streams[0];
    EXPECT_EQ(v.Get("codec_name"), "h264");
    EXPECT_EQ(v.Get("width"), std::to_string(kWidth));
    EXPECT_EQ(v.Get("height"), std::to_string(kHeight));
    if (pauses == 0) {
        EXPECT_EQ(v.Get("r_frame_rate"), "15/1");
    } else {
        // Where a pause was cut out, the pictures on either side of the cut
        // lie anywhere from 0 to 2/15 s apart (wherever the pause began and
        // ended between two pictures), and ffprobe's guess of the frame rate
        // may follow that one interval (60/1, 181/12). Every other interval
        // is the picture interval, except that the first picture may be
        // moved up to the time line's start when the first sound came later.
        const std::vector<std::uint32_t> stamps = PictureStamps(CMediaProbe::Tags(path));
        int others = 0;
        std::string steps;
        for (std::size_t i = 1; i < stamps.size(); ++i) {
            const std::uint32_t step = stamps[i] - stamps[i - 1];
            if (step == 66 || step == 67 || (i == 1 && stamps[0] == 0 && step < 66)) continue;
            ++others;
            steps += " " + std::to_string(step) + " ms at " + std::to_string(stamps[i]);
        }
        EXPECT_LE(others, pauses) << "picture intervals:" << steps;
    }
    if (audio) {
        EXPECT_EQ(a.Get("codec_name"), "aac");
        EXPECT_EQ(a.Get("profile"), "LC");
        EXPECT_EQ(a.Get("sample_rate"), "44100");
        EXPECT_EQ(a.Get("channels"), "2");
    }
    EXPECT_EQ(CMediaProbe::DecodeErrors(path), "");
    int errors = -1;
    std::string report = CMediaProbe::FlvmetaCheck(path, errors);
    EXPECT_EQ(errors, 0) << report;
    // onMetaData carries the real duration: the last tag's time, whole seconds.
    auto tags = CMediaProbe::Tags(path);
    ASSERT_FALSE(tags.empty());
    const double last = LastTimestamp(tags) / 1000.0;
    EXPECT_NEAR(CMediaProbe::MetaDuration(path), std::floor(last), 1.0);
    EXPECT_GT(CMediaProbe::MetaDuration(path), 0.0);
}

// ---------------------------------------------------------------------------

TEST(EngineInterface, ArgumentChecksBusyCodesAndTheRegistry) {
    CLogLines log;
    CTestSink sink;
    EnginePtr engine = NewEngine();
    ASSERT_TRUE(engine);
    EXPECT_EQ(engine->Init(&sink, kWidth, kHeight, 24, 15), 1u);
    EXPECT_EQ(engine->Init(&sink, kWidth, kHeight, 12, 0), 1u);
    EXPECT_EQ(engine->Init(&sink, 0, kHeight, 12, 15), 1u);
    EXPECT_EQ(engine->Init(nullptr, kWidth, kHeight, 12, 15), 1u);
    EXPECT_EQ(engine->Init(&sink, kWidth, kHeight, -1, 15), 1u);
    // A refused Init leaves the engine free for a good one; a second one is busy.
    EXPECT_EQ(engine->Init(&sink, kWidth, kHeight, 12, 15), 0u);
    EXPECT_EQ(engine->Init(&sink, kWidth, kHeight, 12, 15), 2u);
    EXPECT_EQ(log.Count(" --- Busy now, m_pSink= Not null, m_bIsCapture: false", CLogWrapper::LOG_ERROR), 1);
    EXPECT_GE(log.Count("****************************************"), 2);

    // A video-only recording (no device chosen) started twice.
    const std::string path = TempPath("busy.flv");
    RecordParam param;
    param.strFilePath = path;
    EXPECT_EQ(engine->StartRecord(&param), 0u);
    EXPECT_EQ(engine->StartRecord(&param), 2u);
    EXPECT_EQ(log.Count("busying now!", CLogWrapper::LOG_ERROR), 1);
    EXPECT_EQ(engine->Init(&sink, kWidth, kHeight, 12, 15), 2u);
    EXPECT_EQ(engine->StopRecord(), 0u);
    // Stopping again finds every part stopped.
    EXPECT_EQ(engine->StopRecord(), 0u);

    // An engine that never got Init cannot record.
    EnginePtr bare = NewEngine();
    EXPECT_NE(bare->StartRecord(&param), 0u);
    // A path the muxer cannot create.
    EnginePtr badPath = NewEngine();
    ASSERT_EQ(badPath->Init(&sink, kWidth, kHeight, 12, 15), 0u);
    RecordParam bad;
    bad.strFilePath = "/nonexistent-folder/x.flv";
    EXPECT_EQ(badPath->StartRecord(&bad), 7u);

    // The registry knows only what it handed out; unknown and null pointers do nothing.
    auto* foreign = new CAVOrvixRecordImpl();
    EXPECT_EQ(DestoryOrvixAvRecord(foreign), 0);
    EXPECT_EQ(DestoryOrvixAvRecord(nullptr), 0);
    delete foreign;  // still ours: a destroy would have freed it twice
    IOrvixAvRecordInterface* once = CreateOrvixAvRecord();
    EXPECT_EQ(DestoryOrvixAvRecord(once), 0);
    EXPECT_EQ(DestoryOrvixAvRecord(once), 0);  // gone from the registry: nothing happens
    RemoveUnlessKept(path);
}

TEST(EngineInterface, LevelTableMapsThePeakInThousands) {
    auto level = [](std::vector<std::int16_t> samples) {
        CapturedAudioBlock block;
        block.data = reinterpret_cast<const std::uint8_t*>(samples.data());
        block.byteLength = static_cast<std::uint32_t>(samples.size() * 2);
        block.frames = block.byteLength / 4;
        return CAVOrvixRecordImpl::AudioLevelOf(&block);
    };
    EXPECT_EQ(level({0, 32767, -5}), 9);
    EXPECT_EQ(level({-32768, 0}), 9);
    EXPECT_EQ(level({5999, -100}), 4);
    EXPECT_EQ(level({6000}), 5);
    EXPECT_EQ(level({-999, 999}), 0);
    EXPECT_EQ(level({1000}), 1);
    EXPECT_EQ(level({4999}), 4);
    EXPECT_EQ(level({9999}), 5);
    EXPECT_EQ(level({10000}), 6);
    EXPECT_EQ(level({14999}), 6);
    EXPECT_EQ(level({15000}), 7);
    EXPECT_EQ(level({18999}), 7);
    EXPECT_EQ(level({19000}), 8);
    EXPECT_EQ(level({21999}), 8);
    EXPECT_EQ(level({22000}), 9);
    EXPECT_EQ(level({}), 0);
    EXPECT_EQ(CAVOrvixRecordImpl::AudioLevelOf(nullptr), 0);
}

TEST(EngineNoServer, InitSucceedsAndAVideoOnlyRecordingWorks) {
    if (!HaveMediaTools()) GTEST_SKIP() << "ffmpeg, ffprobe or flvmeta missing";
    const char* old = std::getenv("PULSE_SERVER");
    const std::string saved = old ? old : "";
    setenv("PULSE_SERVER", ("unix:/tmp/tolvane-no-server-" + std::to_string(getpid())).c_str(), 1);
    {
        CTestSink sink;
        EnginePtr engine = NewEngine();
        ASSERT_EQ(engine->Init(&sink, kWidth, kHeight, 12, 15), 0u);
        std::list<AudioDeviceInfo> devices;
        EXPECT_EQ(engine->GetDeviceList(&devices), 0u);
        EXPECT_TRUE(devices.empty());
        // A name nobody knows resolves to an empty ID: no capture starts.
        AudioDeviceInfo mic;
        mic.DevicesName = "Some Microphone";
        mic.m_bCapture = 1;
        std::list<AudioDeviceInfo> choice{mic};
        EXPECT_EQ(engine->SetCurrentAudioDevice(&choice), 0u);
        EXPECT_STREQ(Impl(engine)->GetInputDevice().GuidName, "");
        const std::string path = TempPath("noserver.flv");
        RecordParam param;
        param.strFilePath = path;
        ASSERT_EQ(engine->StartRecord(&param), 0u);
        {
            CPicturePusher pusher(engine.get());
            std::this_thread::sleep_for(2500ms);
        }
        EXPECT_EQ(engine->StopRecord(), 0u);
        // Encoded pictures pace the duration reports.
        auto reports = sink.Durations();
        ASSERT_GE(reports.size(), 2u);
        EXPECT_EQ(reports.front().seconds, 0u);
        EXPECT_GE(reports.back().seconds, 1u);
        auto streams = CMediaProbe::Streams(path);
        ASSERT_GE(streams.size(), 1u);
        EXPECT_EQ(streams[0].Get("codec_name"), "h264");
        EXPECT_EQ(CMediaProbe::DecodeErrors(path), "");
        RemoveUnlessKept(path);
    }
    if (old) {
        setenv("PULSE_SERVER", saved.c_str(), 1);
    } else {
        unsetenv("PULSE_SERVER");
    }
}

// ---------------------------------------------------------------------------
// With a private sound server: two sine microphones (mic_a 440 Hz, the
// default, and mic_b 1250 Hz) and two null sinks (spk_a, the default, and spk_b).

class EngineWithServer : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!HavePulseAudio()) return;
        s_pServer = new CPulseServer;
        s_pServer->AddSineSource({"mic_a", "Microphone A", static_cast<unsigned>(kMicAHz), 48000});
        s_pServer->AddSineSource({"mic_b", "Microphone B", static_cast<unsigned>(kMicBHz), 48000});
        s_pServer->AddNullSink({"spk_a", "Speaker A", 44100, 2});
        s_pServer->AddNullSink({"spk_b", "Speaker B", 48000, 2});
        s_pServer->SetDefaultSource("mic_a");
        s_pServer->SetDefaultSink("spk_a");
        std::string error;
        if (!s_pServer->Start(&error)) {
            s_strStartError = error;
            delete s_pServer;
            s_pServer = nullptr;
            return;
        }
        // Both null sinks at low latency, as real sound cards are, from well
        // before the first recording.
        s_pKeepA = new CLowLatencyMonitor("spk_a");
        s_pKeepB = new CLowLatencyMonitor("spk_b");
        std::this_thread::sleep_for(2500ms);
    }
    static void TearDownTestSuite() {
        delete s_pKeepA;
        delete s_pKeepB;
        s_pKeepA = s_pKeepB = nullptr;
        delete s_pServer;
        s_pServer = nullptr;
    }
    void SetUp() override {
        if (!HavePulseAudio()) GTEST_SKIP() << "pulseaudio is not installed";
        if (!HaveMediaTools()) GTEST_SKIP() << "ffmpeg, ffprobe or flvmeta missing";
        ASSERT_NE(s_pServer, nullptr) << s_strStartError;
        s_pServer->ExportEnvironment();
    }

    // An initialised engine with the devices named by ID chosen.
    EnginePtr Prepared(CTestSink& sink, const std::vector<std::string>& ids) {
        EnginePtr engine = NewEngine();
        EXPECT_EQ(engine->Init(&sink, kWidth, kHeight, 12, 15), 0u);
        std::list<AudioDeviceInfo> all;
        engine->GetDeviceList(&all);
        std::list<AudioDeviceInfo> chosen;
        for (const auto& id : ids) chosen.push_back(DeviceById(all, id));
        engine->SetCurrentAudioDevice(&chosen);
        return engine;
    }

    static CPulseServer* s_pServer;
    static CLowLatencyMonitor* s_pKeepA;
    static CLowLatencyMonitor* s_pKeepB;
    static std::string s_strStartError;
};
CPulseServer* EngineWithServer::s_pServer = nullptr;
CLowLatencyMonitor* EngineWithServer::s_pKeepA = nullptr;
CLowLatencyMonitor* EngineWithServer::s_pKeepB = nullptr;
std::string EngineWithServer::s_strStartError;

TEST_F(EngineWithServer, ListsDevicesWithDefaultsAndChoosesByName) {
    CTestSink sink;
    EnginePtr engine = NewEngine();
    ASSERT_EQ(engine->Init(&sink, kWidth, kHeight, 12, 15), 0u);
    std::list<AudioDeviceInfo> devices;
    EXPECT_EQ(engine->GetDeviceList(&devices), 0u);
    std::vector<std::string> inputs, outputs, defaults;
    for (const auto& d : devices) {
        (d.m_bCapture ? inputs : outputs).push_back(d.GuidName);
        if (d.m_bDefault) defaults.push_back(d.GuidName);
    }
    // Inputs first, no monitor sources among them; one default of each kind.
    EXPECT_EQ(inputs, (std::vector<std::string>{"mic_a", "mic_b"}));
    EXPECT_EQ(outputs, (std::vector<std::string>{"spk_a", "spk_b"}));
    EXPECT_EQ(defaults, (std::vector<std::string>{"mic_a", "spk_a"}));
    EXPECT_EQ(devices.front().m_bCapture, 1);
    EXPECT_EQ(DeviceById(devices, "mic_b").DevicesName, "Microphone B");

    // The first choice resolves by friendly name (the caller's IDs are not read).
    AudioDeviceInfo mic;
    mic.DevicesName = "Microphone B";
    mic.m_bCapture = 1;
    AudioDeviceInfo speaker;
    speaker.DevicesName = "Speaker A";
    speaker.m_bCapture = 0;
    std::list<AudioDeviceInfo> choice{mic, speaker};
    engine->SetCurrentAudioDevice(&choice);
    EXPECT_STREQ(Impl(engine)->GetInputDevice().GuidName, "mic_b");
    EXPECT_STREQ(Impl(engine)->GetOutputDevice().GuidName, "spk_a");
    // Before a recording an empty list changes nothing.
    std::list<AudioDeviceInfo> none;
    engine->SetCurrentAudioDevice(&none);
    EXPECT_STREQ(Impl(engine)->GetInputDevice().GuidName, "mic_b");
}

TEST_F(EngineWithServer, DeviceChangesReachTheInitThread) {
    CTestSink sink;
    EnginePtr engine = NewEngine();
    ASSERT_EQ(engine->Init(&sink, kWidth, kHeight, 12, 15), 0u);
    CMessageQueue* queue = CMessageQueue::ForCurrentThread();
    ASSERT_NE(queue, nullptr);
    auto pumpUntil = [&](std::size_t count) {
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (sink.ChangeThreads().size() < count && std::chrono::steady_clock::now() < deadline)
            queue->WaitAndPump(50);
        // A little longer, to see that one event gives one notification.
        const auto settle = std::chrono::steady_clock::now() + 400ms;
        while (std::chrono::steady_clock::now() < settle) queue->WaitAndPump(50);
    };
    const int module = s_pServer->LoadSineSource({"mic_new", "Microphone New", 700, 48000});
    ASSERT_GE(module, 0);
    pumpUntil(1);
    EXPECT_EQ(sink.ChangeThreads().size(), 1u);
    ASSERT_TRUE(s_pServer->UnloadModule(module));
    pumpUntil(2);
    auto threads = sink.ChangeThreads();
    EXPECT_EQ(threads.size(), 2u);
    for (auto id : threads) EXPECT_EQ(id, std::this_thread::get_id());
}

TEST_F(EngineWithServer, RecordsMicrophoneAndLoopbackMixedWithAnAudioDump) {
    CTestSink sink;
    EnginePtr engine = Prepared(sink, {"mic_a", "spk_a"});
    const std::string path = TempPath("both.flv");
    const std::string dump = TempPath("both.AAC");
    RecordParam param;
    param.strFilePath = path;
    param.bDumpAudio = 1;
    param.strDumpAudioFileName = dump;
    ASSERT_EQ(engine->StartRecord(&param), 0u);
    std::uint64_t pushed = 0;
    {
        CPicturePusher pusher(engine.get());
        CTonePlayer tone("spk_a", kSpeakerHz, 4.0);
        std::this_thread::sleep_for(4500ms);
        pusher.Stop();
        pushed = pusher.Pushed();
    }
    EXPECT_EQ(engine->StopRecord(), 0u);
    EXPECT_EQ(sink.m_nError.load(), 0);
    EXPECT_GT(sink.m_anLevels[1].load(), 0);
    EXPECT_GT(sink.m_anLevels[0].load(), 0);
    EXPECT_GT(sink.m_nMaxLevel.load(), 0);

    ExpectValidRecording(path, true);
    // Every picture pushed became a video tag (plus the sequence header).
    auto tags = CMediaProbe::Tags(path);
    const auto videoTags = std::count_if(tags.begin(), tags.end(), [](const auto& t) { return t.type == 9; });
    EXPECT_EQ(static_cast<std::uint64_t>(videoTags), pushed + 1);

    auto pcm = CMediaProbe::DecodeAudio(path);
    ASSERT_GT(pcm.size(), 44100u * 3);
    // Where the tone plays (about 0.5 s to 3.5 s) both frequencies are there.
    const double mic = CMediaProbe::ToneLevel(pcm, 44100, 44100 * 3, kMicAHz);
    const double speaker = CMediaProbe::ToneLevel(pcm, 44100, 44100 * 3, kSpeakerHz);
    const double other = CMediaProbe::ToneLevel(pcm, 44100, 44100 * 3, kMicBHz);
    std::printf("mixed: %.0f Hz %.4f, %.0f Hz %.4f, %.0f Hz %.4f\n", kMicAHz, mic, kSpeakerHz, speaker, kMicBHz,
                other);
    EXPECT_GT(mic, kTonePresent);
    EXPECT_GT(speaker, kTonePresent);
    EXPECT_LT(other, kToneAbsent);

    // The dump holds the same AAC as ADTS.
    auto dumpStreams = CMediaProbe::Streams(dump);
    ASSERT_EQ(dumpStreams.size(), 1u);
    EXPECT_EQ(dumpStreams[0].Get("codec_name"), "aac");
    EXPECT_EQ(dumpStreams[0].Get("sample_rate"), "44100");
    EXPECT_EQ(dumpStreams[0].Get("channels"), "2");
    EXPECT_EQ(CMediaProbe::Run("ffprobe -v error -show_entries format=format_name -of csv=p=0 " +
                               CMediaProbe::Quote(dump)),
              "aac\n");
    const long audioTags = std::count_if(tags.begin(), tags.end(), [](const auto& t) { return t.type == 8; });
    EXPECT_EQ(CMediaProbe::CountPackets(dump, "a"), audioTags - 1);
    EXPECT_EQ(CMediaProbe::DecodeErrors(dump), "");
    RemoveUnlessKept(path);
    RemoveUnlessKept(dump);
}

TEST_F(EngineWithServer, MicrophoneOnlyHoldsOnlyItsTone) {
    CTestSink sink;
    EnginePtr engine = Prepared(sink, {"mic_b"});
    const std::string path = TempPath("mic.flv");
    RecordParam param;
    param.strFilePath = path;
    ASSERT_EQ(engine->StartRecord(&param), 0u);
    {
        CPicturePusher pusher(engine.get());
        CTonePlayer tone("spk_a", kSpeakerHz, 3.0);  // played, but not recorded
        std::this_thread::sleep_for(3500ms);
    }
    EXPECT_EQ(engine->StopRecord(), 0u);
    EXPECT_EQ(sink.m_anLevels[0].load(), 0);
    ExpectValidRecording(path, true);
    auto pcm = CMediaProbe::DecodeAudio(path);
    ASSERT_GT(pcm.size(), 44100u * 2);
    const double mic = CMediaProbe::ToneLevel(pcm, 44100 / 2, 44100 * 5 / 2, kMicBHz);
    const double speaker = CMediaProbe::ToneLevel(pcm, 44100 / 2, 44100 * 5 / 2, kSpeakerHz);
    const double micA = CMediaProbe::ToneLevel(pcm, 44100 / 2, 44100 * 5 / 2, kMicAHz);
    std::printf("microphone only: %.0f Hz %.4f, %.0f Hz %.4f, %.0f Hz %.4f\n", kMicBHz, mic, kSpeakerHz, speaker,
                kMicAHz, micA);
    EXPECT_GT(mic, kTonePresent);
    EXPECT_LT(speaker, kToneAbsent);
    EXPECT_LT(micA, kToneAbsent);
    RemoveUnlessKept(path);
}

TEST_F(EngineWithServer, PauseIsLeftOutOfDurationMetadataAndTimeline) {
    CTestSink sink;
    EnginePtr engine = Prepared(sink, {"mic_a"});
    const std::string path = TempPath("pause.flv");
    RecordParam param;
    param.strFilePath = path;
    ASSERT_EQ(engine->StartRecord(&param), 0u);
    {
        CPicturePusher pusher(engine.get());
        std::this_thread::sleep_for(3000ms);
        pusher.SetPaused(true);  // the recorder stops its canvas while paused
        EXPECT_EQ(engine->PauseRecord(), 0u);
        std::this_thread::sleep_for(3000ms);
        EXPECT_EQ(engine->ResumeRecord(), 0u);
        pusher.SetPaused(false);
        std::this_thread::sleep_for(4100ms);
    }
    EXPECT_EQ(engine->StopRecord(), 0u);
    auto reports = sink.Durations();
    ASSERT_FALSE(reports.empty());
    EXPECT_GE(reports.back().seconds, 6u);
    EXPECT_LE(reports.back().seconds, 7u);
    // The reported seconds never go back, also not across the pause.
    for (std::size_t i = 1; i < reports.size(); ++i) EXPECT_GE(reports[i].seconds, reports[i - 1].seconds);

    ExpectValidRecording(path, true, 1);
    auto tags = CMediaProbe::Tags(path);
    ASSERT_FALSE(tags.empty());
    std::printf("pause: metadata %.1f s, last tag %u ms, last report %u s\n", CMediaProbe::MetaDuration(path),
                LastTimestamp(tags), reports.back().seconds);
    // About 7.1 s of pictures (10.1 s less the 3 s pause); sound captured
    // before the first picture may start the time line a little earlier
    // (a slow sanitizer build starts the pictures late).
    const CMediaProbe::TimeRange pictures = CMediaProbe::PictureTimes(tags);
    ASSERT_LT(pictures.first, pictures.last);
    EXPECT_NEAR(pictures.last - pictures.first, 7100 - 67, 450);
    EXPECT_LE(LastTimestamp(tags), 7100u + 700u);
    EXPECT_GE(CMediaProbe::MetaDuration(path), 6.0);
    EXPECT_LE(CMediaProbe::MetaDuration(path), 8.0);
    RemoveUnlessKept(path);
}

// A caller that goes on pushing pictures while paused: those pictures are
// left out and the video time stamps after the cut-out pause stay in order.
// The recording waits for the pictures rather than for the clock, and the
// pause is measured on the engine clock around the two calls, so that the
// expectations follow what happened (a slow start, late wake-ups) and hold
// on a loaded machine.
TEST_F(EngineWithServer, PicturesPushedWhilePausedAreLeftOutAndTimeStampsStayInOrder) {
    CTestSink sink;
    EnginePtr engine = Prepared(sink, {"mic_a"});
    const std::string path = TempPath("pausepush.flv");
    RecordParam param;
    param.strFilePath = path;
    ASSERT_EQ(engine->StartRecord(&param), 0u);
    constexpr std::uint64_t kStretchMs = 2000;  // pictures before, during and after the pause
    std::uint64_t pauseCalled = 0, pauseReturned = 0, resumeCalled = 0, resumeReturned = 0;
    std::vector<std::uint32_t> pushed;
    {
        const std::uint64_t start = GetTickMs();
        CPicturePusher pusher(engine.get());
        ASSERT_TRUE(pusher.WaitForStamp(start + kStretchMs, 60s));
        pauseCalled = GetTickMs();
        EXPECT_EQ(engine->PauseRecord(), 0u);
        pauseReturned = GetTickMs();
        ASSERT_TRUE(pusher.WaitForStamp(pauseReturned + kStretchMs, 60s));
        resumeCalled = GetTickMs();
        EXPECT_EQ(engine->ResumeRecord(), 0u);
        resumeReturned = GetTickMs();
        ASSERT_TRUE(pusher.WaitForStamp(resumeReturned + kStretchMs, 60s));
        pusher.Stop();
        pushed = pusher.Stamps();
    }
    EXPECT_EQ(engine->StopRecord(), 0u);
    const CVideoEncodingWorker::PictureStats stats = Impl(engine)->GetPictureStats();
    ExpectValidRecording(path, true, 1);
    const std::vector<std::uint32_t> video = PictureStamps(CMediaProbe::Tags(path));
    for (std::size_t i = 1; i < video.size(); ++i) EXPECT_GT(video[i], video[i - 1]) << "picture " << i;

    // Every picture pushed outside the pause is in the file, those stamped
    // inside it are not: the engine's pause began and ended within the calls.
    const double frameMs = 1000.0 / 15;
    ASSERT_EQ(video.size() + stats.nLeftOut, pushed.size());
    EXPECT_GE(double(stats.nLeftOut), double(resumeCalled - pauseReturned) / frameMs - 1);
    EXPECT_LE(double(stats.nLeftOut), double(resumeReturned - pauseCalled) / frameMs + 1);

    // None of the pause is in the time line: from the last picture pushed
    // before the pause to the last one, the file advances by their distance
    // less the time paused, which lies between the calls' inner and outer
    // bounds.
    const auto before = static_cast<std::size_t>(
        std::lower_bound(pushed.begin(), pushed.end(), static_cast<std::uint32_t>(pauseCalled)) - pushed.begin());
    ASSERT_GE(before, 2u);
    const std::int64_t pushedSpan = std::int64_t{pushed.back()} - pushed[before - 1];
    const std::int64_t fileSpan = std::int64_t{video.back()} - video[before - 1];
    std::printf("paused pushes: %zu pictures, %llu left out, pause %llu..%llu ms, file span %lld of %lld ms\n",
                pushed.size(), static_cast<unsigned long long>(stats.nLeftOut),
                static_cast<unsigned long long>(resumeCalled - pauseReturned),
                static_cast<unsigned long long>(resumeReturned - pauseCalled), static_cast<long long>(fileSpan),
                static_cast<long long>(pushedSpan));
    EXPECT_GE(fileSpan, pushedSpan - std::int64_t(resumeReturned - pauseCalled));
    EXPECT_LE(fileSpan, pushedSpan - std::int64_t(resumeCalled - pauseReturned));
    RemoveUnlessKept(path);
}

TEST_F(EngineWithServer, SwitchingTheMicrophoneReplacesOnlyThatCapture) {
    CTestSink sink;
    EnginePtr engine = Prepared(sink, {"mic_a", "spk_a"});
    const std::string path = TempPath("switch.flv");
    RecordParam param;
    param.strFilePath = path;
    ASSERT_EQ(engine->StartRecord(&param), 0u);
    {
        CPicturePusher pusher(engine.get());
        CTonePlayer tone("spk_a", kSpeakerHz, 6.0);
        std::this_thread::sleep_for(3000ms);
        // The caller passes the records it listed; the same speaker ID restarts nothing.
        std::list<AudioDeviceInfo> all;
        engine->GetDeviceList(&all);
        std::list<AudioDeviceInfo> chosen{DeviceById(all, "mic_b"), DeviceById(all, "spk_a")};
        EXPECT_EQ(engine->SetCurrentAudioDevice(&chosen), 0u);
        EXPECT_STREQ(Impl(engine)->GetInputDevice().GuidName, "mic_b");
        EXPECT_TRUE(Impl(engine)->IsDeviceCapturing(true));
        EXPECT_TRUE(Impl(engine)->IsDeviceCapturing(false));
        std::this_thread::sleep_for(3500ms);
    }
    EXPECT_EQ(engine->StopRecord(), 0u);
    ExpectValidRecording(path, true);
    auto pcm = CMediaProbe::DecodeAudio(path);
    ASSERT_GT(pcm.size(), 44100u * 6);
    const std::size_t s = 44100;
    const double beforeA = CMediaProbe::ToneLevel(pcm, s / 2, s * 5 / 2, kMicAHz);
    const double beforeB = CMediaProbe::ToneLevel(pcm, s / 2, s * 5 / 2, kMicBHz);
    const double afterA = CMediaProbe::ToneLevel(pcm, s * 4, s * 6, kMicAHz);
    const double afterB = CMediaProbe::ToneLevel(pcm, s * 4, s * 6, kMicBHz);
    std::printf("switch: before %.4f / %.4f, after %.4f / %.4f\n", beforeA, beforeB, afterA, afterB);
    EXPECT_GT(beforeA, kTonePresent);
    EXPECT_LT(beforeB, kToneAbsent);
    EXPECT_GT(afterB, kTonePresent);
    EXPECT_LT(afterA, kToneAbsent);
    // The loopback ran on without a break: its tone is in every half second.
    for (std::size_t t = s / 2; t + s / 2 <= s * 6; t += s / 2)
        EXPECT_GT(CMediaProbe::ToneLevel(pcm, t, t + s / 2, kSpeakerHz), kTonePresent) << "at " << t / double(s);
    RemoveUnlessKept(path);
}

TEST_F(EngineWithServer, AMicrophoneThatGoesAwayEndsOnlyItsCapture) {
    const int module = s_pServer->LoadSineSource({"mic_tmp", "Microphone Temporary", 700, 48000});
    ASSERT_GE(module, 0);
    CTestSink sink;
    EnginePtr engine = Prepared(sink, {"mic_tmp", "spk_a"});
    const std::string path = TempPath("gone.flv");
    RecordParam param;
    param.strFilePath = path;
    ASSERT_EQ(engine->StartRecord(&param), 0u);
    std::uint32_t secondsAtLoss = 0;
    {
        CPicturePusher pusher(engine.get());
        CTonePlayer tone("spk_a", kSpeakerHz, 6.0);
        std::this_thread::sleep_for(2500ms);
        ASSERT_TRUE(s_pServer->UnloadModule(module));
        secondsAtLoss = sink.Durations().empty() ? 0 : sink.Durations().back().seconds;
        // At least 3.5 s more (the checks below read 4-5 s into the file);
        // a loaded machine (ThreadSanitizer beside other tests) may need
        // longer to notice the loss and to fall back to the pictures' pace,
        // so wait for both to have happened, within a bound.
        std::this_thread::sleep_for(3500ms);
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (std::chrono::steady_clock::now() < deadline &&
               (Impl(engine)->IsDeviceCapturing(true) || sink.Durations().empty() ||
                sink.Durations().back().seconds < secondsAtLoss + 2))
            std::this_thread::sleep_for(50ms);
        EXPECT_FALSE(Impl(engine)->IsDeviceCapturing(true));
        EXPECT_TRUE(Impl(engine)->IsDeviceCapturing(false));
    }
    // The duration goes on being reported without the microphone.
    auto reports = sink.Durations();
    ASSERT_FALSE(reports.empty());
    EXPECT_GE(reports.back().seconds, secondsAtLoss + 2);
    EXPECT_EQ(engine->StopRecord(), 0u);
    ExpectValidRecording(path, true);
    auto pcm = CMediaProbe::DecodeAudio(path);
    const std::size_t s = 44100;
    ASSERT_GT(pcm.size(), s * 5);
    EXPECT_GT(CMediaProbe::ToneLevel(pcm, s / 2, s * 2, 700), kTonePresent);
    EXPECT_LT(CMediaProbe::ToneLevel(pcm, s * 4, s * 5, 700), kToneAbsent);
    EXPECT_GT(CMediaProbe::ToneLevel(pcm, s * 4, s * 5, kSpeakerHz), kTonePresent);
    RemoveUnlessKept(path);
}

TEST_F(EngineWithServer, AnEmptyListDuringARecordingDropsBothSources) {
    CTestSink sink;
    EnginePtr engine = Prepared(sink, {"mic_a", "spk_a"});
    const std::string path = TempPath("drop.flv");
    RecordParam param;
    param.strFilePath = path;
    ASSERT_EQ(engine->StartRecord(&param), 0u);
    CPicturePusher pusher(engine.get());
    std::this_thread::sleep_for(1000ms);
    EXPECT_TRUE(Impl(engine)->IsDeviceCapturing(true));
    EXPECT_TRUE(Impl(engine)->IsDeviceCapturing(false));
    std::list<AudioDeviceInfo> none;
    engine->SetCurrentAudioDevice(&none);
    EXPECT_FALSE(Impl(engine)->IsDeviceCapturing(true));
    EXPECT_FALSE(Impl(engine)->IsDeviceCapturing(false));
    EXPECT_STREQ(Impl(engine)->GetInputDevice().GuidName, "");
    EXPECT_EQ(Impl(engine)->GetOutputDevice().DevicesName, "");
    // Adding the microphone back by ID keeps the loopback choice as it is (none).
    std::list<AudioDeviceInfo> all;
    engine->GetDeviceList(&all);
    std::list<AudioDeviceInfo> mic{DeviceById(all, "mic_b")};
    engine->SetCurrentAudioDevice(&mic);
    EXPECT_TRUE(Impl(engine)->IsDeviceCapturing(true));
    EXPECT_FALSE(Impl(engine)->IsDeviceCapturing(false));
    // Adding the speaker while the microphone runs keeps the microphone.
    std::list<AudioDeviceInfo> both{DeviceById(all, "mic_b"), DeviceById(all, "spk_b")};
    engine->SetCurrentAudioDevice(&both);
    EXPECT_TRUE(Impl(engine)->IsDeviceCapturing(true));
    EXPECT_TRUE(Impl(engine)->IsDeviceCapturing(false));
    EXPECT_STREQ(Impl(engine)->GetOutputDevice().GuidName, "spk_b");
    std::this_thread::sleep_for(1000ms);
    pusher.Stop();
    EXPECT_EQ(engine->StopRecord(), 0u);
    // After the stop both IDs are empty; the names stay.
    EXPECT_STREQ(Impl(engine)->GetInputDevice().GuidName, "");
    EXPECT_EQ(Impl(engine)->GetInputDevice().DevicesName, "Microphone B");
    ExpectValidRecording(path, true);
    RemoveUnlessKept(path);
}

}  // namespace

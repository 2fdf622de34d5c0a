// tolvane-rec: its classes (command line, picture grid, status line, device
// choice, test pattern) and the built program against a private PulseAudio
// daemon: listing, errors and exit codes, a recording stopped by SIGINT with
// a pause by SIGUSR1 and an audio dump, the default output folder, a file
// size limit that makes the writer fail, and the A/V sync of a flash in the
// picture and a click played into the loopback sink at the same instant.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <algorithm>
#include <list>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "basekit/tickcount.h"
#include "devicechooser.h"
#include "frameclock.h"
#include "recoptions.h"
#include "statusline.h"
#include "support/lowlatencymonitor.h"
#include "support/mediaprobe.h"
#include "support/pulseplayer.h"
#include "support/pulseserver.h"
#include "testpatternsource.h"

namespace {

using namespace std::chrono_literals;

// The largest A/V error a recording may have. Under ThreadSanitizer, with
// other tests beside it, the server once delivered the loopback sound about
// 100 ms late for a whole run (the loopback is stamped when it is read);
// that build checks races, the others hold the real limit.
#if defined(__SANITIZE_THREAD__)
constexpr double kMaxAvOffsetMs = 150.0;
#else
constexpr double kMaxAvOffsetMs = 60.0;
#endif

std::string ToolPath() {
    char self[PATH_MAX] = {};
    ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    std::string dir = n > 0 ? std::string(self, static_cast<std::size_t>(n)) : std::string();
    dir = dir.substr(0, dir.find_last_of('/'));
    return dir + "/tolvane-rec";
}

bool HavePulseAudio() { return std::system("command -v pulseaudio >/dev/null 2>&1") == 0; }
bool HaveMediaTools() {
    return std::system("command -v ffprobe >/dev/null && command -v ffmpeg >/dev/null && "
                       "command -v flvmeta >/dev/null") == 0;
}

std::string TempDir(const std::string& name) {
    std::string dir = "/tmp/tolvane-rec-test-" + std::to_string(getpid()) + "-" + name;
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir;
}

// One run of the program: its standard output line by line, its standard
// error as a whole and its exit status.
struct CToolSetup {
    std::vector<std::pair<std::string, std::string>> env;  // set ("" value: unset)
    rlim_t fileSizeLimit = RLIM_INFINITY;
};

class CToolRun {
public:
    using Setup = CToolSetup;

    explicit CToolRun(const std::vector<std::string>& args, const Setup& setup = Setup()) {
        m_strErrPath = "/tmp/tolvane-rec-test-" + std::to_string(getpid()) + "-stderr-" +
                       std::to_string(s_nRuns++);
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) return;
        std::vector<std::string> argv{ToolPath()};
        argv.insert(argv.end(), args.begin(), args.end());
        m_pid = fork();
        if (m_pid == 0) {
            dup2(out[1], 1);
            int err = open(m_strErrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(err, 2);
            int in = open("/dev/null", O_RDONLY);
            dup2(in, 0);
            for (const auto& [name, value] : setup.env) {
                if (value.empty()) {
                    unsetenv(name.c_str());
                } else {
                    setenv(name.c_str(), value.c_str(), 1);
                }
            }
            if (setup.fileSizeLimit != RLIM_INFINITY) {
                rlimit limit{setup.fileSizeLimit, setup.fileSizeLimit};
                setrlimit(RLIMIT_FSIZE, &limit);
                signal(SIGXFSZ, SIG_IGN);  // kept across exec: writes fail with EFBIG instead
            }
            std::vector<char*> cargv;
            for (auto& a : argv) cargv.push_back(a.data());
            cargv.push_back(nullptr);
            execv(cargv[0], cargv.data());
            _exit(127);
        }
        close(out[1]);
        m_nOut = out[0];
    }
    ~CToolRun() {
        if (m_pid > 0 && m_nStatus == INT_MIN) {
            kill(m_pid, SIGKILL);
            Wait();
        }
        if (m_nOut >= 0) close(m_nOut);
        std::remove(m_strErrPath.c_str());
    }
    CToolRun(const CToolRun&) = delete;
    CToolRun& operator=(const CToolRun&) = delete;

    // The next line of standard output; false at its end or after `timeoutMs`.
    bool ReadLine(std::string& line, int timeoutMs = 10000) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            auto nl = m_strPending.find('\n');
            if (nl != std::string::npos) {
                line = m_strPending.substr(0, nl);
                m_strPending.erase(0, nl + 1);
                m_strOut += line + "\n";
                return true;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now()).count();
            if (left <= 0 || m_nOut < 0) return false;
            pollfd fd{m_nOut, POLLIN, 0};
            if (poll(&fd, 1, static_cast<int>(left)) <= 0) continue;
            char buf[4096];
            ssize_t n = read(m_nOut, buf, sizeof(buf));
            if (n <= 0) {
                close(m_nOut);
                m_nOut = -1;
                if (m_strPending.empty()) return false;
                m_strPending += "\n";
                continue;
            }
            m_strPending.append(buf, static_cast<std::size_t>(n));
        }
    }
    // Waits for a line starting with `prefix`; its rest.
    bool WaitFor(const std::string& prefix, std::string& rest, int timeoutMs = 10000) {
        std::string line;
        while (ReadLine(line, timeoutMs)) {
            if (line.compare(0, prefix.size(), prefix) == 0) {
                rest = line.substr(prefix.size());
                return true;
            }
        }
        return false;
    }
    void Signal(int sig) {
        if (m_pid > 0) kill(m_pid, sig);
    }
    // Reads the rest of the output and waits for the exit status (-1 for a
    // program that did not exit normally, e.g. killed after `timeoutMs`).
    int Wait(int timeoutMs = 30000) {
        if (m_nStatus != INT_MIN) return m_nStatus;
        std::string line;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (m_nOut >= 0 && std::chrono::steady_clock::now() < deadline) ReadLine(line, 200);
        int status = 0;
        for (;;) {
            pid_t r = waitpid(m_pid, &status, WNOHANG);
            if (r == m_pid) break;
            if (std::chrono::steady_clock::now() >= deadline) {
                kill(m_pid, SIGKILL);
                waitpid(m_pid, &status, 0);
                break;
            }
            std::this_thread::sleep_for(20ms);
        }
        m_nStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return m_nStatus;
    }
    const std::string& Output() const { return m_strOut; }
    std::string Errors() const {
        std::ifstream in(m_strErrPath);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

private:
    static inline int s_nRuns = 0;
    pid_t m_pid = -1;
    int m_nOut = -1;
    int m_nStatus = INT_MIN;
    std::string m_strPending;
    std::string m_strOut;
    std::string m_strErrPath;
};

// ---------------------------------------------------------------------------
// The program's classes.

bool ParseArgs(CRecOptions& o, std::vector<std::string> args, std::string& error) {
    std::vector<char*> argv{const_cast<char*>("tolvane-rec")};
    for (auto& a : args) argv.push_back(a.data());
    return o.Parse(static_cast<int>(argv.size()), argv.data(), error);
}

TEST(TolvaneRecClasses, CommandLine) {
    CRecOptions o;
    std::string error;
    ASSERT_TRUE(ParseArgs(o, {"-o", "/x/y.flv", "-t", "12", "--mic", "Mic A", "--speaker", "none", "--size",
                              "1000x500", "--dump-audio", "--source", "test", "--flash-at", "2000,4000"},
                          error))
        << error;
    EXPECT_EQ(o.m_strOutput, "/x/y.flv");
    EXPECT_EQ(o.m_nSeconds, 12);
    EXPECT_EQ(o.m_nMic, CRecOptions::kNamed);
    EXPECT_EQ(o.m_strMic, "Mic A");
    EXPECT_EQ(o.m_nSpeaker, CRecOptions::kNone);
    EXPECT_EQ(o.m_nWidth, 992);  // multiples of 16, rounded down
    EXPECT_EQ(o.m_nHeight, 496);
    EXPECT_TRUE(o.m_bSizeRounded);
    EXPECT_TRUE(o.m_bDumpAudio);
    EXPECT_EQ(o.m_FlashAtMs, (std::vector<std::uint32_t>{2000, 4000}));

    CRecOptions d;
    ASSERT_TRUE(ParseArgs(d, {}, error));
    EXPECT_EQ(d.m_nMic, CRecOptions::kDefault);
    EXPECT_EQ(d.m_nSpeaker, CRecOptions::kDefault);
    EXPECT_EQ(d.m_nWidth, 1280);
    EXPECT_EQ(d.m_nHeight, 720);
    EXPECT_EQ(d.m_nSeconds, -1);

    for (std::vector<std::string> bad : std::vector<std::vector<std::string>>{
             {"-t"}, {"-t", "0"}, {"-t", "3x"}, {"--size", "1280"}, {"--size", "8x8"}, {"--source", "window"},
             {"--flash-at", "1,,2"}, {"--mic", ""}, {"--bogus"}, {"-o", ""}}) {
        CRecOptions b;
        std::string e;
        EXPECT_FALSE(ParseArgs(b, bad, e)) << bad[0];
        EXPECT_FALSE(e.empty());
    }

    std::tm t{};
    t.tm_year = 2026 - 1900;
    t.tm_mon = 0;
    t.tm_mday = 2;
    t.tm_hour = 3;
    t.tm_min = 4;
    t.tm_sec = 5;
    t.tm_isdst = -1;
    EXPECT_EQ(CRecOptions::DefaultOutputPath("/d", std::mktime(&t)), "/d/20260102030405.flv");
    EXPECT_EQ(CRecOptions::DefaultOutputPath("/d/", std::mktime(&t)), "/d/20260102030405.flv");
    EXPECT_EQ(CRecOptions::DumpPathFor("/a/b.flv"), "/a/b.AAC");
    EXPECT_EQ(CRecOptions::DumpPathFor("/a/b.mp4"), "/a/b.mp4.AAC");
}

// Without --source the screen is recorded where there is a display;
// --flash-at and a given source keep the test pattern.
TEST(TolvaneRecClasses, TheScreenIsTheDefaultSourceWhereThereIsADisplay) {
    std::string error;
    for (const auto& [args, display, expected] :
         std::vector<std::tuple<std::vector<std::string>, bool, std::string>>{
             {{}, true, "screen"}, {{}, false, "test"}, {{"--flash-at", "1000"}, true, "test"},
             {{"--source", "test"}, true, "test"}, {{"--source", "screen"}, false, "screen"}}) {
        CRecOptions o;
        ASSERT_TRUE(ParseArgs(o, args, error)) << error;
        o.ChooseDefaultSource(display);
        EXPECT_EQ(o.m_strSource, expected) << args.size() << " " << display;
    }
}

TEST(TolvaneRecClasses, PictureGridSkipsLatePicturesWithoutDrift) {
    CFrameClock clock(1000, 15);
    std::uint64_t index = 0;
    std::uint64_t skipped = 0;
    EXPECT_FALSE(clock.Take(999, index, skipped));
    ASSERT_TRUE(clock.Take(1000, index, skipped));
    EXPECT_EQ(index, 0u);
    EXPECT_FALSE(clock.Take(1065, index, skipped));  // picture 1 is due at 1066.67 -> 1066
    EXPECT_EQ(clock.NextDueMs(), 1066u);
    ASSERT_TRUE(clock.Take(1066, index, skipped));
    EXPECT_EQ(index, 1u);
    EXPECT_EQ(skipped, 0u);
    // 250 ms late: pictures 2 and 3 are passed over, 4 (1266) is taken once.
    ASSERT_TRUE(clock.Take(1300, index, skipped));
    EXPECT_EQ(index, 4u);
    EXPECT_EQ(skipped, 2u);
    EXPECT_FALSE(clock.Take(1300, index, skipped));
    // After an hour the grid is where it started: 15 x 3600 pictures later.
    EXPECT_EQ(clock.TimeOf(15 * 3600), 1000u + 3600 * 1000);
    clock.SkipTo(5000);  // a pause
    ASSERT_TRUE(clock.Take(5010, index, skipped));
    EXPECT_EQ(skipped, 0u);
    EXPECT_EQ(clock.TimeOf(index), 5000u);
    // A resume between two grid points: the next picture is the one after it.
    clock.ResumeAt(6010);  // pictures at 6000 and 6066
    EXPECT_EQ(clock.NextDueMs(), 6066u);
    clock.ResumeAt(6066);  // exactly on a grid point: that one
    EXPECT_EQ(clock.NextDueMs(), 6066u);
}

TEST(TolvaneRecClasses, StatusLineTestPatternAndDeviceChoice) {
    CStatusLine::State s;
    s.seconds = 3725;
    s.micLevel = 3;
    s.speakerLevel = -1;
    EXPECT_EQ(CStatusLine::Format(s), "01:02:05  mic [###......] 3  speaker off");
    s.paused = true;
    EXPECT_NE(CStatusLine::Format(s).find("paused"), std::string::npos);

    // Plain lines when not on a terminal: one per clock change, not per level change.
    std::FILE* f = std::tmpfile();
    {
        CStatusLine line(f, false);
        CStatusLine::State a;
        a.micLevel = 1;
        line.Update(a);
        a.micLevel = 7;
        line.Update(a);
        a.seconds = 1;
        line.Update(a);
    }
    std::rewind(f);
    char buf[512] = {};
    const std::size_t n = std::fread(buf, 1, sizeof(buf) - 1, f);
    std::fclose(f);
    EXPECT_EQ(std::string(buf, n), "00:00:00  mic [#........] 1  speaker off\n00:00:01  mic [#######..] 7  speaker off\n");

    CTestPatternSource pattern(64, 48);
    const auto& first = pattern.Render(0, false);
    ASSERT_EQ(first.size(), 64u * 48 * 4);
    const std::vector<std::uint8_t> frame0 = first;
    const std::vector<std::uint8_t> frame1 = pattern.Render(1, false);
    EXPECT_NE(frame0, frame1);  // it moves and counts
    const auto& white = pattern.Render(2, true);
    EXPECT_TRUE(std::all_of(white.begin(), white.end(), [](std::uint8_t b) { return b == 255; }));

    std::list<AudioDeviceInfo> devices;
    auto add = [&](const char* id, const char* name, int capture, int def) {
        AudioDeviceInfo d;
        std::strcpy(d.GuidName, id);
        d.DevicesName = name;
        d.m_bCapture = capture;
        d.m_bDefault = def;
        devices.push_back(d);
    };
    add("mic_1", "Same Name", 1, 0);
    add("mic_2", "Same Name", 1, 1);
    add("spk_1", "mic_1", 0, 1);  // a speaker named like a microphone's ID
    CDeviceChooser chooser(devices);
    EXPECT_STREQ(chooser.Find(true, CRecOptions::kDefault, "")->GuidName, "mic_2");
    EXPECT_STREQ(chooser.Find(true, CRecOptions::kNamed, "mic_1")->GuidName, "mic_1");
    EXPECT_STREQ(chooser.Find(true, CRecOptions::kNamed, "Same Name")->GuidName, "mic_1");
    EXPECT_STREQ(chooser.Find(false, CRecOptions::kNamed, "mic_1")->GuidName, "spk_1");
    EXPECT_EQ(chooser.Find(true, CRecOptions::kNamed, "nothing"), nullptr);
    EXPECT_EQ(chooser.Find(true, CRecOptions::kNone, ""), nullptr);
    EXPECT_NE(chooser.Describe().find("  * mic_2  \"Same Name\""), std::string::npos);
}

// ---------------------------------------------------------------------------
// The program against a private sound server: mic_a (sine 440 Hz, default)
// and the null sink spk_a (default).

class TolvaneRec : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!HavePulseAudio()) return;
        s_pServer = new CPulseServer;
        s_pServer->AddSineSource({"mic_a", "Microphone A", 440, 48000});
        s_pServer->AddNullSink({"spk_a", "Speaker A", 44100, 2});
        s_pServer->SetDefaultSource("mic_a");
        s_pServer->SetDefaultSink("spk_a");
        std::string error;
        if (!s_pServer->Start(&error)) {
            s_strStartError = error;
            delete s_pServer;
            s_pServer = nullptr;
        }
    }
    static void TearDownTestSuite() {
        delete s_pServer;
        s_pServer = nullptr;
    }
    void SetUp() override {
        if (!HavePulseAudio()) GTEST_SKIP() << "pulseaudio is not installed";
        if (!HaveMediaTools()) GTEST_SKIP() << "ffmpeg, ffprobe or flvmeta missing";
        ASSERT_NE(s_pServer, nullptr) << s_strStartError;
        s_pServer->ExportEnvironment();
        ASSERT_EQ(access(ToolPath().c_str(), X_OK), 0) << ToolPath();
        m_strDir = TempDir(::testing::UnitTest::GetInstance()->current_test_info()->name());
    }
    void TearDown() override {
        const char* keep = std::getenv("TOLVANE_TEST_KEEP");
        if (!m_strDir.empty() && !(keep && *keep && std::strcmp(keep, "0") != 0))
            std::filesystem::remove_all(m_strDir);
    }

    static CPulseServer* s_pServer;
    static std::string s_strStartError;
    std::string m_strDir;
};
CPulseServer* TolvaneRec::s_pServer = nullptr;
std::string TolvaneRec::s_strStartError;

TEST_F(TolvaneRec, ListsDevicesAndRefusesWhatItCannotDo) {
    {
        CToolRun run({"--list-devices"});
        EXPECT_EQ(run.Wait(), 0);
        EXPECT_NE(run.Output().find("  * mic_a  \"Microphone A\""), std::string::npos) << run.Output();
        EXPECT_NE(run.Output().find("  * spk_a  \"Speaker A\""), std::string::npos) << run.Output();
    }
    {
        CToolRun run({"--bogus"});
        EXPECT_EQ(run.Wait(), 1);
        EXPECT_NE(run.Errors().find("unknown argument '--bogus'"), std::string::npos) << run.Errors();
    }
    {
        CToolRun run({"--source", "test", "-t", "2", "--mic", "no-such-mic", "-o", m_strDir + "/x.flv"});
        EXPECT_EQ(run.Wait(), 2);
        EXPECT_NE(run.Errors().find("unknown microphone 'no-such-mic'"), std::string::npos) << run.Errors();
        EXPECT_FALSE(std::filesystem::exists(m_strDir + "/x.flv"));
    }
    {
        CToolRun run({"--source", "test", "-t", "2", "--speaker", "Nobody's Speaker", "--mic", "none"});
        EXPECT_EQ(run.Wait(), 2);
        EXPECT_NE(run.Errors().find("unknown speaker"), std::string::npos) << run.Errors();
    }
    {
        CToolRun run({"--source", "test", "-t", "2", "-o", m_strDir + "/missing-folder/x.flv"});
        EXPECT_EQ(run.Wait(), 2);
        EXPECT_NE(run.Errors().find("cannot write " + m_strDir + "/missing-folder/x.flv"), std::string::npos)
            << run.Errors();
    }
}

TEST_F(TolvaneRec, RecordsUntilSigintWithAPauseAndAnAudioDump) {
    const std::string path = m_strDir + "/rec.flv";
    CToolRun run({"--source", "test", "-o", path, "--size", "330x250", "--mic", "Microphone A", "--speaker", "spk_a", "--dump-audio"});
    std::string tick;
    ASSERT_TRUE(run.WaitFor("start tick ", tick)) << run.Output() << run.Errors();
    std::this_thread::sleep_for(1500ms);
    run.Signal(SIGUSR1);
    std::this_thread::sleep_for(1500ms);
    run.Signal(SIGUSR1);
    std::this_thread::sleep_for(2000ms);
    run.Signal(SIGINT);
    ASSERT_EQ(run.Wait(), 0) << run.Output() << run.Errors();
    const std::string& out = run.Output();
    EXPECT_NE(out.find("picture size rounded down to multiples of 16: 320x240"), std::string::npos) << out;
    EXPECT_NE(out.find("microphone: mic_a \"Microphone A\""), std::string::npos) << out;
    EXPECT_NE(out.find("speaker: spk_a \"Speaker A\""), std::string::npos) << out;
    EXPECT_NE(out.find("paused"), std::string::npos);
    EXPECT_NE(out.find("resumed"), std::string::npos);
    EXPECT_NE(out.find("output: " + path), std::string::npos) << out;
    EXPECT_NE(out.find("audio dump: " + m_strDir + "/rec.AAC"), std::string::npos) << out;
    EXPECT_NE(out.find("00:00:02  mic ["), std::string::npos) << out;
    double recorded = 0;
    unsigned long long bytes = 0, pictures = 0;
    const auto at = out.find("recorded ");
    ASSERT_NE(at, std::string::npos);
    ASSERT_EQ(std::sscanf(out.c_str() + at, "recorded %lf s, %llu bytes, %llu pictures", &recorded, &bytes, &pictures),
              3);
    EXPECT_NEAR(recorded, 3.5, 0.4);
    EXPECT_EQ(bytes, std::filesystem::file_size(path));
    EXPECT_NEAR(static_cast<double>(pictures), 3.5 * 15, 6);

    auto streams = CMediaProbe::Streams(path);
    ASSERT_EQ(streams.size(), 2u);
    for (const auto& s : streams) {
        if (s.Get("codec_type") == "video") {
            EXPECT_EQ(s.Get("width"), "320");
            EXPECT_EQ(s.Get("height"), "240");
        } else {
            EXPECT_EQ(s.Get("codec_name"), "aac");
        }
    }
    EXPECT_EQ(CMediaProbe::DecodeErrors(path), "");
    // The pause is not in the time line; onMetaData has the last tag's time
    // in whole seconds, rounded (the sine source delivers in 2 s bursts, so
    // its sound may end up to 2 s after the pictures).
    const auto tags = CMediaProbe::Tags(path);
    std::uint32_t last = 0;
    for (const auto& t : tags) last = std::max(last, t.timestamp);
    const CMediaProbe::TimeRange video = CMediaProbe::PictureTimes(tags);
    // The pictures span the recorded time the tool reports (the pause left
    // out) less one frame period. Sound captured before the first picture
    // may start the time line, so the span is measured from that picture.
    ASSERT_LT(video.first, video.last);
    EXPECT_NEAR(video.last - video.first, recorded * 1000 - 1000.0 / 15, 200);
    EXPECT_EQ(CMediaProbe::MetaDuration(path), std::round(last / 1000.0));
    EXPECT_EQ(CMediaProbe::CountPackets(path, "v"), static_cast<long>(pictures));
    auto dump = CMediaProbe::Streams(m_strDir + "/rec.AAC");
    ASSERT_EQ(dump.size(), 1u);
    EXPECT_EQ(dump[0].Get("codec_name"), "aac");
}

TEST_F(TolvaneRec, WritesIntoTheDocumentsFolderByDefault) {
    const std::string home = m_strDir + "/home";
    std::filesystem::create_directories(home + "/.config");
    std::filesystem::create_directories(home + "/Papers");
    std::ofstream(home + "/.config/user-dirs.dirs") << "XDG_DOCUMENTS_DIR=\"$HOME/Papers\"\n";
    CToolRun::Setup setup;
    setup.env = {{"HOME", home}, {"XDG_CONFIG_HOME", ""}};
    CToolRun run({"--source", "test", "-t", "1", "--mic", "none", "--speaker", "none", "--size", "160x120"}, setup);
    ASSERT_EQ(run.Wait(), 0) << run.Errors();
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(home + "/Papers")) names.push_back(e.path().filename());
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(names[0].size(), std::string("20260102030405.flv").size());
    EXPECT_EQ(names[0].substr(14), ".flv");
    EXPECT_NE(run.Output().find("output: " + home + "/Papers/" + names[0]), std::string::npos) << run.Output();

    // Without a documents folder of its own: $HOME/Documents.
    std::filesystem::remove(home + "/.config/user-dirs.dirs");
    std::filesystem::create_directories(home + "/Documents");
    CToolRun second({"--source", "test", "-t", "1", "--mic", "none", "--speaker", "none", "--size", "160x120"}, setup);
    ASSERT_EQ(second.Wait(), 0) << second.Errors();
    EXPECT_NE(second.Output().find("output: " + home + "/Documents/"), std::string::npos) << second.Output();
}

// Recordings killed at random moments, while they run and while SIGINT has
// them finish the file, are made whole by `flvtool repair`: the duration
// follows the last complete tag, and ffprobe, ffmpeg and flvmeta find
// nothing wrong. The next run into the folder names the left-over file.
TEST_F(TolvaneRec, KilledRecordingsAreRepairedFromTheirLastCompleteTag) {
    const std::string flvtool = ToolPath().substr(0, ToolPath().rfind('/')) + "/flvtool";
    ASSERT_EQ(access(flvtool.c_str(), X_OK), 0) << flvtool;
    std::mt19937 random(std::random_device{}());
    for (int i = 0; i < 4; ++i) {
        const bool duringStop = i % 2 == 1;
        const std::string path = m_strDir + "/killed" + std::to_string(i) + ".flv";
        {
            CToolRun run({"-o", path, "--source", "test", "--mic", "Microphone A", "--speaker", "spk_a"});
            std::string tick;
            ASSERT_TRUE(run.WaitFor("start tick ", tick)) << run.Output() << run.Errors();
            std::this_thread::sleep_for(std::chrono::milliseconds(1000 + random() % 2500));
            if (duringStop) {
                run.Signal(SIGINT);
                std::this_thread::sleep_for(std::chrono::milliseconds(random() % 150));
            }
            run.Signal(SIGKILL);
            run.Wait();
        }
        const bool unfinished = std::filesystem::exists(path + ".unfinished");
        if (!duringStop) {
            EXPECT_TRUE(unfinished) << "run " << i;
        }
        if (unfinished && i == 0) {
            CToolRun next({"-o", m_strDir + "/next.flv", "--source", "test", "--mic", "none", "--speaker", "none",
                           "-t", "1"});
            EXPECT_EQ(next.Wait(), 0) << next.Errors();
            EXPECT_NE(next.Errors().find("repair it with: flvtool repair '" + path + "'"), std::string::npos)
                << next.Errors();
        }
        const double before = CMediaProbe::MetaDuration(path);
        int status = 0;
        const std::string report = CMediaProbe::Run(CMediaProbe::Quote(flvtool) + " repair " + CMediaProbe::Quote(path), &status);
        ASSERT_EQ(status, 0) << "run " << i << ": " << report;
        EXPECT_FALSE(std::filesystem::exists(path + ".unfinished"));

        // The time line's end, and the first and the last sound or picture
        // in file order.
        std::uint32_t last = 0;
        std::uint32_t firstInFile = 0;
        std::uint32_t lastInFile = 0;
        bool any = false;
        for (const auto& t : CMediaProbe::Tags(path)) {
            if (t.type == 18) continue;
            last = std::max(last, t.timestamp);
            if (!any) firstInFile = t.timestamp;
            lastInFile = t.timestamp;
            any = true;
        }
        ASSERT_GT(last, 500u) << "run " << i;
        // The repair writes the exact time, unless the file holds the whole
        // seconds of a finish already (the tool finished it before the kill,
        // perhaps without getting to remove its marker): those stay.
        const double expected = std::fabs(before - last / 1000.0) <= 0.5 ? before : last / 1000.0;
        EXPECT_NEAR(CMediaProbe::MetaDuration(path), expected, 0.0015)
            << "run " << i << ": " << report << " (before: " << before << ")";
        if (!duringStop) {
            EXPECT_EQ(before, 0.0) << "run " << i;  // the engine fills it in only when it finishes
        }
        const double probed =
            std::atof(CMediaProbe::Run("ffprobe -v error -show_entries format=duration -of csv=p=0 " +
                                       CMediaProbe::Quote(path)).c_str());
        EXPECT_NEAR(probed, expected, 0.1) << "run " << i;
        EXPECT_EQ(CMediaProbe::DecodeErrors(path), "") << "run " << i;
        int errors = -1;
        const std::string check = CMediaProbe::FlvmetaCheck(path, errors);
        EXPECT_EQ(errors, 0) << check;
        // flvmeta measures the duration from the first to the last tag in
        // file order and warns when the file's differs by 1 s or more. A
        // stream that ran later than the muxer's interleave wait keeps its
        // own time stamps, so when the kill came during such a lag the tags
        // written last are older than the time line's end, and flvmeta's
        // figure falls short by that much (0.162 s against 1.349 s when the
        // sound ran 1.2 s late): the duration stays the time line's end.
        const double fileOrderSpan = (double(lastInFile) - double(firstInFile)) / 1000.0;
        if (std::fabs(CMediaProbe::MetaDuration(path) - fileOrderSpan) < 0.9) {
            EXPECT_EQ(check.find("duration"), std::string::npos) << check;
        } else {
            EXPECT_LT(lastInFile, last) << "run " << i;
            std::printf("run %d: the last tag in the file is at %u ms, the time line ends at %u ms\n", i,
                        lastInFile, last);
        }
    }
}

TEST_F(TolvaneRec, AFileSizeLimitEndsTheRecordingWithAWriteError) {
    const std::string path = m_strDir + "/limited.flv";
    CToolRun::Setup setup;
    setup.fileSizeLimit = 60000;
    CToolRun run({"--source", "test", "-t", "20", "-o", path, "--mic", "none", "--speaker", "spk_a", "--size", "640x480"}, setup);
    const auto started = std::chrono::steady_clock::now();
    const int status = run.Wait();
    const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    EXPECT_EQ(status, 3) << run.Output() << run.Errors();
    EXPECT_LT(seconds, 15.0);  // it stopped at the error, not at -t
    const std::string errors = run.Errors();
    EXPECT_TRUE(errors.find("0x8000000D") != std::string::npos || errors.find("0x8000000B") != std::string::npos)
        << errors;
    EXPECT_NE(errors.find("the file did not grow"), std::string::npos) << errors;
    // The engine was stopped and destroyed: the summary came after it.
    EXPECT_NE(run.Output().find("output: " + path), std::string::npos) << run.Output();
    EXPECT_LE(std::filesystem::file_size(path), 60000u);
}

// A/V sync: the test pattern flashes white at 2, 4 and 6 s, and a click is
// played into the loopback sink at the same engine-clock instants. In the
// file, each click must sit where its flash is (within 60 ms).
TEST_F(TolvaneRec, AFlashAndAClickAtTheSameInstantLineUpInTheFile) {
    // The null sink at low latency, as a real sound card is (see CLowLatencyMonitor).
    CLowLatencyMonitor keepAlive("spk_a");
    std::this_thread::sleep_for(2500ms);
    const std::string path = m_strDir + "/sync.flv";
    const std::vector<int> flashAt{2000, 4000, 6000};
    CToolRun run({"-t", "8", "-o", path, "--mic", "none", "--speaker", "spk_a", "--size", "320x240", "--flash-at",
                  "2000,4000,6000"});
    std::string tick;
    ASSERT_TRUE(run.WaitFor("start tick ", tick)) << run.Output() << run.Errors();
    const double startMs = std::strtod(tick.c_str(), nullptr);

    // The player starts its buffer about lead-in + stream latency from now;
    // it reports when the first frame really played, which places the clicks.
    const unsigned rate = 44100;
    const unsigned leadInMs = 300;
    const double firstGuessMs = GetTickMs() + leadInMs + 20.0;
    std::vector<double> clickOffsetMs;
    for (int f : flashAt) clickOffsetMs.push_back(startMs + f - firstGuessMs);
    ASSERT_GT(clickOffsetMs.front(), 100.0);
    std::vector<std::int16_t> pcm(static_cast<std::size_t>((clickOffsetMs.back() + 500) * rate / 1000) * 2, 0);
    for (double off : clickOffsetMs) {
        const auto begin = static_cast<std::size_t>(off * rate / 1000);
        for (std::size_t i = 0; i < rate / 100; ++i) {  // 10 ms of a full-scale 2205 Hz square wave
            const std::int16_t v = (i / 10) % 2 ? -32000 : 32000;
            pcm[2 * (begin + i)] = pcm[2 * (begin + i) + 1] = v;
        }
    }
    CPulsePlayer::Result played = CPulsePlayer::Play("spk_a", pcm, rate, 2, leadInMs);
    ASSERT_TRUE(played.ok) << played.error;
    ASSERT_EQ(run.Wait(), 0) << run.Output() << run.Errors();

    std::vector<double> flashTicks;
    std::istringstream lines(run.Output());
    for (std::string line; std::getline(lines, line);)
        if (line.rfind("flash at tick ", 0) == 0) flashTicks.push_back(std::strtod(line.c_str() + 14, nullptr));
    ASSERT_EQ(flashTicks.size(), flashAt.size()) << run.Output();

    std::vector<double> flashes;  // file times of the white pictures
    for (const auto& f : CMediaProbe::FrameLuma(path))
        if (f.luma > 128) flashes.push_back(f.pts);
    const auto audio = CMediaProbe::DecodeAudio(path);
    const auto clicks = CMediaProbe::ClickOnsets(audio, 0.3, 500);
    ASSERT_EQ(flashes.size(), flashAt.size());
    ASSERT_EQ(clicks.size(), flashAt.size());
    double worst = 0;
    for (std::size_t k = 0; k < flashAt.size(); ++k) {
        const double clickTick = played.firstFrameNs / 1e6 + clickOffsetMs[k];
        // Where the click is in the file relative to the flash, less where it
        // was played relative to the flash: the error of the recording.
        const double offset = (clicks[k] - flashes[k]) * 1000 - (clickTick - flashTicks[k]);
        std::printf("flash %zu: played %+.1f ms from the flash; in the file sound - picture = %+.1f ms\n", k,
                    clickTick - flashTicks[k], offset);
        EXPECT_LT(std::fabs(offset), kMaxAvOffsetMs);
        worst = std::max(worst, std::fabs(offset));
    }
    ::testing::Test::RecordProperty("worst_av_offset_ms", static_cast<int>(std::lround(worst)));
}

}  // namespace

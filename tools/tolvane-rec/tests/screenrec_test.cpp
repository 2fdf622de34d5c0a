// tolvane-rec --source screen: the command line of the screen source, and the
// built program recording known pictures of a private Xvfb with a private
// PulseAudio daemon's microphone and loopback (the full screen, a rectangle
// with a pause, refused displays and rectangles, an X server that goes away
// during the recording); the files are checked with ffprobe and decoded with
// ffmpeg.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "recoptions.h"
#include "support/mediaprobe.h"
#include "support/pulseserver.h"
#include "testscreen.h"
#include "testvideoproducer.h"
#include "waylandstack.h"
#include "xvfbserver.h"

namespace {
// Share of the pictures due that must reach the file. Under ThreadSanitizer
// grabbing and encoding run many times slower and most slots are skipped as
// late; that run is about races, not throughput.
#if defined(__SANITIZE_THREAD__)
constexpr double kMinPictureShare = 0.1;
#else
constexpr double kMinPictureShare = 0.85;
#endif
}  // namespace

namespace {

using namespace std::chrono_literals;

std::string ToolPath() {
    char self[PATH_MAX] = {};
    const ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    std::string dir = n > 0 ? std::string(self, static_cast<std::size_t>(n)) : std::string();
    return dir.substr(0, dir.find_last_of('/')) + "/tolvane-rec";
}

bool Have(const char* program) {
    return std::system((std::string("command -v ") + program + " >/dev/null 2>&1").c_str()) == 0;
}

bool Parse(CRecOptions& options, std::vector<std::string> args, std::string& error) {
    std::vector<char*> argv{const_cast<char*>("tolvane-rec")};
    for (auto& a : args) argv.push_back(a.data());
    return options.Parse(static_cast<int>(argv.size()), argv.data(), error);
}

TEST(TolvaneRecScreenOptions, SourceRectangleAndPictureSize) {
    std::string error;
    CRecOptions full;
    ASSERT_TRUE(Parse(full, {"--source", "screen"}, error)) << error;
    EXPECT_EQ(full.m_strSource, "screen");
    EXPECT_FALSE(full.m_bScreenRect);
    EXPECT_FALSE(full.m_bSizeGiven);

    CRecOptions rect;
    ASSERT_TRUE(Parse(rect, {"--source", "screen:10,0,1000,500", "--size", "640x360"}, error)) << error;
    EXPECT_TRUE(rect.m_bScreenRect);
    EXPECT_EQ(rect.m_nScreenX, 10);
    EXPECT_EQ(rect.m_nScreenY, 0);
    EXPECT_EQ(rect.m_nScreenWidth, 1000);
    EXPECT_EQ(rect.m_nScreenHeight, 500);
    EXPECT_TRUE(rect.m_bSizeGiven);

    for (const char* bad : {"screen:", "screen:1,2,3", "screen:1,2,3,4,5", "screen:-1,0,100,100", "screen:0,0,15,100",
                            "screen:0,0,100,100x", "screen:,,,", "window", "Screen"}) {
        CRecOptions o;
        std::string e;
        EXPECT_FALSE(Parse(o, {"--source", bad}, e)) << bad;
        EXPECT_FALSE(e.empty());
    }

    int w = 0, h = 0;
    ASSERT_TRUE(CRecOptions::ScreenPictureSize(false, 1920, 1080, w, h));
    EXPECT_EQ(w, 1280);  // the full screen always gives 1280x720
    EXPECT_EQ(h, 720);
    ASSERT_TRUE(CRecOptions::ScreenPictureSize(true, 1001, 767, w, h));
    EXPECT_EQ(w, 992);
    EXPECT_EQ(h, 752);
    EXPECT_FALSE(CRecOptions::ScreenPictureSize(true, 15, 100, w, h));
}

// One run of the program with its output in a file.
class CRun {
public:
    CRun(const std::vector<std::string>& args, const std::string& outPath) : m_strOut(outPath) {
        m_pid = fork();
        if (m_pid == 0) {
            const int fd = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(fd, 1);
            dup2(fd, 2);
            const int in = open("/dev/null", O_RDONLY);
            dup2(in, 0);
            std::vector<std::string> argv{ToolPath()};
            argv.insert(argv.end(), args.begin(), args.end());
            std::vector<char*> c;
            for (auto& a : argv) c.push_back(a.data());
            c.push_back(nullptr);
            execv(c[0], c.data());
            _exit(127);
        }
    }
    ~CRun() {
        if (m_pid > 0 && m_nStatus == INT_MIN) {
            kill(m_pid, SIGKILL);
            Wait();
        }
    }
    void Signal(int sig) { kill(m_pid, sig); }
    int Wait(std::chrono::milliseconds limit = 40s) {
        if (m_nStatus != INT_MIN) return m_nStatus;
        const auto deadline = std::chrono::steady_clock::now() + limit;
        int status = 0;
        while (waitpid(m_pid, &status, WNOHANG) != m_pid) {
            if (std::chrono::steady_clock::now() > deadline) {
                kill(m_pid, SIGKILL);
                waitpid(m_pid, &status, 0);
                break;
            }
            std::this_thread::sleep_for(20ms);
        }
        m_nStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return m_nStatus;
    }
    std::string Output() const {
        std::ifstream in(m_strOut);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

private:
    pid_t m_pid = -1;
    int m_nStatus = INT_MIN;
    std::string m_strOut;
};

struct Rgb {
    int r = 0, g = 0, b = 0;
};

// A decoded picture of the file, at `seconds`, as RGB.
class CDecodedPicture {
public:
    CDecodedPicture(const std::string& path, double seconds, int width, int height) : m_nWidth(width) {
        m_bytes = CMediaProbe::Run("ffmpeg -v error -ss " + std::to_string(seconds) + " -i " + CMediaProbe::Quote(path) +
                                   " -frames:v 1 -f rawvideo -pix_fmt rgb24 - 2>/dev/null");
        m_bOk = m_bytes.size() == static_cast<std::size_t>(width) * height * 3;
    }
    bool Ok() const { return m_bOk; }
    Rgb At(int x, int y) const {
        const auto* p = reinterpret_cast<const unsigned char*>(m_bytes.data()) + (static_cast<std::size_t>(y) * m_nWidth + x) * 3;
        return {p[0], p[1], p[2]};
    }

private:
    int m_nWidth;
    std::string m_bytes;
    bool m_bOk = false;
};

void ExpectColour(const CDecodedPicture& picture, int x, int y, std::uint32_t rgb, const char* what) {
    const Rgb c = picture.At(x, y);
    constexpr int kTolerance = 14;  // H.264 4:2:0 and the colour conversion
    EXPECT_NEAR(c.r, static_cast<int>(rgb >> 16), kTolerance) << what << " at " << x << "," << y;
    EXPECT_NEAR(c.g, static_cast<int>((rgb >> 8) & 0xFF), kTolerance) << what << " at " << x << "," << y;
    EXPECT_NEAR(c.b, static_cast<int>(rgb & 0xFF), kTolerance) << what << " at " << x << "," << y;
}

// A private 1600x900 Xvfb with four coloured quadrants and a private sound
// server with a sine microphone and a null sink, for the whole suite.
class TolvaneRecScreen : public ::testing::Test {
protected:
    static constexpr std::uint32_t kRed = 0xE02020, kGreen = 0x20C040, kBlue = 0x2040E0, kYellow = 0xF0E020;
    static constexpr std::uint32_t kGrey = 0x606060;

    static void SetUpTestSuite() {
        if (!Have("Xvfb") || !Have("pulseaudio") || !Have("ffprobe") || !Have("ffmpeg")) return;
        s_pX = new CXvfbServer;
        if (!s_pX->Start(1600, 900, 24)) return;
        setenv("DISPLAY", s_pX->GetDisplayName().c_str(), 1);
        CTestScreen screen(s_pX->GetDisplayName());
        screen.FillRect(0, 0, 800, 450, kRed);
        screen.FillRect(800, 0, 800, 450, kGreen);
        screen.FillRect(0, 450, 800, 450, kBlue);
        screen.FillRect(800, 450, 800, 450, kYellow);
        // A grey block that only the rectangle case covers in its middle.
        screen.FillRect(1000, 100, 200, 200, kGrey);
        screen.WarpPointer(1599, 899);
        s_pPulse = new CPulseServer;
        s_pPulse->AddSineMicrophone({"mic_a", "Microphone A", 440, 48000, 1});
        s_pPulse->AddNullSink({"spk_a", "Speaker A", 44100, 2});
        s_pPulse->SetDefaultSource("mic_a");
        s_pPulse->SetDefaultSink("spk_a");
        if (!s_pPulse->Start()) {
            delete s_pPulse;
            s_pPulse = nullptr;
        }
    }
    static void TearDownTestSuite() {
        delete s_pPulse;
        s_pPulse = nullptr;
        delete s_pX;
        s_pX = nullptr;
    }
    void SetUp() override {
        if (!Have("Xvfb") || !Have("pulseaudio") || !Have("ffprobe") || !Have("ffmpeg"))
            GTEST_SKIP() << "Xvfb, pulseaudio, ffprobe or ffmpeg missing";
        ASSERT_TRUE(s_pX && s_pX->IsRunning()) << "Xvfb did not start";
        ASSERT_NE(s_pPulse, nullptr) << "pulseaudio did not start";
        s_pPulse->ExportEnvironment();
        setenv("DISPLAY", s_pX->GetDisplayName().c_str(), 1);
        m_strDir = "/tmp/tolvane-screenrec-test-" + std::to_string(getpid()) + "-" +
                   ::testing::UnitTest::GetInstance()->current_test_info()->name();
        std::filesystem::remove_all(m_strDir);
        std::filesystem::create_directories(m_strDir);
    }
    void TearDown() override {
        if (!m_strDir.empty()) std::filesystem::remove_all(m_strDir);
    }

    // Checks the streams of a recording: H.264 at w x h, 15 fps, about 15
    // pictures per recorded second, AAC 44100 Hz stereo.
    void ExpectStreams(const std::string& path, int w, int h, double seconds) {
        bool video = false, audio = false;
        for (const auto& s : CMediaProbe::Streams(path)) {
            if (s.Get("codec_type") == "video") {
                video = true;
                EXPECT_EQ(s.Get("codec_name"), "h264");
                EXPECT_EQ(s.Get("width"), std::to_string(w));
                EXPECT_EQ(s.Get("height"), std::to_string(h));
                // The pictures carry their grab times, so ffprobe's rate is a
                // measured one: about 15, less the slots skipped as late.
                const std::string rate = s.Get("avg_frame_rate");
                const auto slash = rate.find('/');
                ASSERT_NE(slash, std::string::npos) << rate;
                const double fps = std::stod(rate.substr(0, slash)) / std::stod(rate.substr(slash + 1));
                EXPECT_LE(fps, 16.0) << rate;
                EXPECT_GE(fps, 15.0 * kMinPictureShare - 1.0) << rate;
            } else if (s.Get("codec_type") == "audio") {
                audio = true;
                EXPECT_EQ(s.Get("codec_name"), "aac");
                EXPECT_EQ(s.Get("sample_rate"), "44100");
                EXPECT_EQ(s.Get("channels"), "2");
            }
        }
        EXPECT_TRUE(video);
        EXPECT_TRUE(audio);
        const long pictures = CMediaProbe::CountPackets(path, "v");
        EXPECT_GE(pictures, static_cast<long>(15 * seconds * kMinPictureShare)) << "pictures";
        EXPECT_LE(pictures, static_cast<long>(15 * seconds + 3)) << "pictures";
        EXPECT_EQ(CMediaProbe::DecodeErrors(path), "");
    }

    static CXvfbServer* s_pX;
    static CPulseServer* s_pPulse;
    std::string m_strDir;
};
CXvfbServer* TolvaneRecScreen::s_pX = nullptr;
CPulseServer* TolvaneRecScreen::s_pPulse = nullptr;

TEST_F(TolvaneRecScreen, TheFullScreenIsScaledTo1280x720) {
    const std::string path = m_strDir + "/full.flv";
    CRun run({"--source", "screen", "-t", "3", "--mic", "mic_a", "--speaker", "spk_a", "-o", path}, m_strDir + "/out.txt");
    ASSERT_EQ(run.Wait(), 0) << run.Output();
    EXPECT_NE(run.Output().find("screen 0,0 1600x900 as 1280x720 pictures"), std::string::npos) << run.Output();
    ExpectStreams(path, 1280, 720, 3.0);
    const CDecodedPicture picture(path, 1.5, 1280, 720);
    ASSERT_TRUE(picture.Ok());
    // Quadrant centres, scaled by 0.8.
    ExpectColour(picture, 320, 180, kRed, "red");
    ExpectColour(picture, 960, 90, kGreen, "green");
    ExpectColour(picture, 320, 540, kBlue, "blue");
    ExpectColour(picture, 960, 540, kYellow, "yellow");
    ExpectColour(picture, 880, 160, kGrey, "grey");  // (1100, 200) on the screen
}

TEST_F(TolvaneRecScreen, ARectangleKeepsItsSizeRoundedDownAndPausesOnSigusr1) {
    // 648x488 at (700, 50): pictures of 640x480, the screen scaled slightly.
    const std::string path = m_strDir + "/rect.flv";
    CRun run({"--source", "screen:700,50,648,488", "-t", "5", "--mic", "mic_a", "--speaker", "spk_a", "-o", path},
             m_strDir + "/out.txt");
    std::this_thread::sleep_for(1500ms);
    run.Signal(SIGUSR1);  // pause for a second
    std::this_thread::sleep_for(1000ms);
    run.Signal(SIGUSR1);
    ASSERT_EQ(run.Wait(), 0) << run.Output();
    EXPECT_NE(run.Output().find("screen 700,50 648x488 as 640x480 pictures"), std::string::npos) << run.Output();
    EXPECT_NE(run.Output().find("paused"), std::string::npos);
    EXPECT_NE(run.Output().find("resumed"), std::string::npos);
    ExpectStreams(path, 640, 480, 4.0);
    const CDecodedPicture picture(path, 1.0, 640, 480);
    ASSERT_TRUE(picture.Ok());
    const double scale = 640.0 / 648.0;
    auto at = [&](int sx, int sy, std::uint32_t rgb, const char* what) {
        ExpectColour(picture, static_cast<int>((sx - 700) * scale), static_cast<int>((sy - 50) * 480.0 / 488.0), rgb, what);
    };
    at(740, 200, kRed, "red");
    at(1300, 80, kGreen, "green");
    at(1100, 200, kGrey, "grey");
    at(740, 500, kBlue, "blue");
    at(1300, 500, kYellow, "yellow");
}

TEST_F(TolvaneRecScreen, NoDisplayOrARectangleOffTheScreenIsRefused) {
    {
        setenv("DISPLAY", "", 1);
        CRun run({"--source", "screen", "-t", "1", "-o", m_strDir + "/a.flv"}, m_strDir + "/a.txt");
        EXPECT_EQ(run.Wait(), 2);
        EXPECT_NE(run.Output().find("$DISPLAY is not set"), std::string::npos) << run.Output();
    }
    {
        setenv("DISPLAY", ":98765", 1);
        CRun run({"--source", "screen", "-t", "1", "-o", m_strDir + "/b.flv"}, m_strDir + "/b.txt");
        EXPECT_EQ(run.Wait(), 2);
        EXPECT_NE(run.Output().find("cannot open the X display ':98765'"), std::string::npos) << run.Output();
    }
    setenv("DISPLAY", s_pX->GetDisplayName().c_str(), 1);
    {
        CRun run({"--source", "screen:1500,0,200,100", "-t", "1", "-o", m_strDir + "/c.flv"}, m_strDir + "/c.txt");
        EXPECT_EQ(run.Wait(), 2);
        EXPECT_NE(run.Output().find("is not inside the 1600x900 screen"), std::string::npos) << run.Output();
    }
    {
        CRun run({"--source", "screen", "--flash-at", "100", "-t", "1"}, m_strDir + "/d.txt");
        EXPECT_EQ(run.Wait(), 1);
    }
    EXPECT_FALSE(std::filesystem::exists(m_strDir + "/a.flv") || std::filesystem::exists(m_strDir + "/b.flv") ||
                 std::filesystem::exists(m_strDir + "/c.flv"));
}

// On a headless Wayland desktop whose portal turns the cast down (it is set
// to cast an output that does not exist), tolvane-rec --backend portal ends
// at once with exit 2 and a message.
TEST_F(TolvaneRecScreen, ARefusedScreenCastEndsWithExit2AndAMessage) {
    CWaylandStack stack;
    std::string why;
    if (!stack.StartPipeWire(why) || !stack.StartDesktop("NO-SUCH-OUTPUT", why))
        GTEST_SKIP() << "the headless Wayland desktop did not start: " << why;
    setenv("DISPLAY", stack.XDisplay().c_str(), 1);
    setenv("DBUS_SESSION_BUS_ADDRESS", stack.BusAddress().c_str(), 1);
    setenv("XDG_CONFIG_HOME", stack.ConfigHome().c_str(), 1);
    CRun run({"--backend", "portal", "--source", "screen", "-t", "3", "-o", m_strDir + "/a.flv"},
             m_strDir + "/a.txt");
    const int status = run.Wait(30s);
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
    unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(status, 2) << run.Output();
    EXPECT_NE(run.Output().find("screen-cast portal refused or failed"), std::string::npos) << run.Output();
    EXPECT_FALSE(std::filesystem::exists(m_strDir + "/a.flv")) << "a refused start leaves no file";
}

// The portal backend's stream half end to end: tolvane-rec --backend portal
// records a PipeWire video source of the test (its node named in
// TOLVANE_PIPEWIRE_NODE in place of a portal's answer; no compositor here can
// cast without a GPU) while the X display that measures the screen, an Xvfb
// of the same size, is plain grey: every colour in the file came through
// PipeWire.
class TolvaneRecPipeWire : public TolvaneRecScreen {
protected:
    static constexpr std::uint32_t kFirst[4] = {0xE02020, 0x20C040, 0x2040E0, 0xF0E020};
    static constexpr std::uint32_t kSecond[4] = {0xF0F0F0, 0x202020, 0xE020E0, 0x20E0E0};

    void SetUp() override {
        TolvaneRecScreen::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        std::string why;
        if (!m_stack.StartPipeWire(why)) GTEST_SKIP() << "no private PipeWire: " << why;
        ASSERT_TRUE(m_x.Start(1280, 720, 24));
        CTestScreen(m_x.GetDisplayName()).FillRect(0, 0, 1280, 720, kGrey);
        m_producer.SetQuadrants({kFirst[0], kFirst[1], kFirst[2], kFirst[3]});
        ASSERT_TRUE(m_producer.Start(m_stack.ConnectPipeWire(), 1280, 720, why)) << why;
        const std::string socket = m_stack.PipeWireSocket();
        setenv("DISPLAY", m_x.GetDisplayName().c_str(), 1);
        setenv("PIPEWIRE_RUNTIME_DIR", socket.substr(0, socket.rfind('/')).c_str(), 1);
        setenv("TOLVANE_PIPEWIRE_NODE", std::to_string(m_producer.NodeId()).c_str(), 1);
    }
    void TearDown() override {
        unsetenv("PIPEWIRE_RUNTIME_DIR");
        unsetenv("TOLVANE_PIPEWIRE_NODE");
        TolvaneRecScreen::TearDown();
    }
    // tolvane-rec --backend portal recording `source` for `seconds`, with the
    // suite's microphone and speaker, into path.
    std::unique_ptr<CRun> Record(const std::string& source, int seconds, const std::string& path) const {
        return std::make_unique<CRun>(std::vector<std::string>{"--backend", "portal", "--source", source, "-t",
                                                               std::to_string(seconds), "--mic", "mic_a", "--speaker",
                                                               "spk_a", "-o", path},
                                      m_strDir + "/out.txt");
    }
    // Waits until the run says it records (its clock starts there), then
    // `span` more; false when it never records.
    static bool RecordedFor(const CRun& run, std::chrono::milliseconds span) {
        const auto end = std::chrono::steady_clock::now() + 20s;
        while (run.Output().find("recording to") == std::string::npos) {
            if (std::chrono::steady_clock::now() > end) return false;
            std::this_thread::sleep_for(20ms);
        }
        std::this_thread::sleep_for(span);
        return true;
    }
    static void ExpectQuadrants(const CDecodedPicture& picture, const std::uint32_t (&rgb)[4], const char* when) {
        const int points[4][2] = {{320, 180}, {960, 180}, {320, 540}, {960, 540}};
        for (int q = 0; q < 4; ++q) ExpectColour(picture, points[q][0], points[q][1], rgb[q], when);
    }

    CWaylandStack m_stack;
    CXvfbServer m_x;
    CTestVideoProducer m_producer;
};

TEST_F(TolvaneRecPipeWire, TenSecondsHoldTheStreamsPicturesInOrderWithTheTone) {
    const std::string path = m_strDir + "/cast.flv";
    std::unique_ptr<CRun> recording = Record("screen", 10, path);
    CRun& run = *recording;
    ASSERT_TRUE(RecordedFor(run, 5s)) << run.Output();
    m_producer.SetQuadrants({kSecond[0], kSecond[1], kSecond[2], kSecond[3]});
    ASSERT_EQ(run.Wait(), 0) << run.Output();
    EXPECT_NE(run.Output().find("screen 0,0 1280x720 as 1280x720 pictures"), std::string::npos) << run.Output();
    ExpectStreams(path, 1280, 720, 10.0);
    const CDecodedPicture before(path, 2.5, 1280, 720);
    ASSERT_TRUE(before.Ok());
    ExpectQuadrants(before, kFirst, "first colours");
    const CDecodedPicture after(path, 8.5, 1280, 720);
    ASSERT_TRUE(after.Ok());
    ExpectQuadrants(after, kSecond, "changed colours");
    // Each picture later than the one before.
    std::uint32_t last = 0;
    int pictures = 0;
    for (const CMediaProbe::FlvTag& tag : CMediaProbe::Tags(path)) {
        if (tag.type != 9 || (tag.first & 0x0F) != 7 || tag.second != 1) continue;  // AVC pictures only
        if (pictures++ > 0) {
            EXPECT_GT(tag.timestamp, last) << "picture " << pictures;
        }
        last = tag.timestamp;
    }
    EXPECT_GE(pictures, static_cast<int>(150 * kMinPictureShare));
    const std::vector<std::int16_t> pcm = CMediaProbe::DecodeAudio(path);
    ASSERT_GT(pcm.size(), 44100u * 9);
    EXPECT_GT(CMediaProbe::ToneLevel(pcm, 44100, 44100 * 9, 440), 0.01) << "the microphone's tone";
}

// A rectangle around the middle is cut from the stream: its four corners hold
// the four quadrants, at the stream's own scale.
TEST_F(TolvaneRecPipeWire, ARectangleIsCutFromTheStream) {
    const std::string path = m_strDir + "/rect.flv";
    std::unique_ptr<CRun> recording = Record("screen:440,256,400,208", 3, path);
    CRun& run = *recording;
    ASSERT_EQ(run.Wait(), 0) << run.Output();
    EXPECT_NE(run.Output().find("screen 440,256 400x208 as 400x208 pictures"), std::string::npos) << run.Output();
    ExpectStreams(path, 400, 208, 3.0);
    const CDecodedPicture picture(path, 1.5, 400, 208);
    ASSERT_TRUE(picture.Ok());
    ExpectColour(picture, 20, 20, kFirst[0], "top left");
    ExpectColour(picture, 380, 20, kFirst[1], "top right");
    ExpectColour(picture, 20, 188, kFirst[2], "bottom left");
    ExpectColour(picture, 380, 188, kFirst[3], "bottom right");
}

TEST_F(TolvaneRecPipeWire, TheStreamEndingStopsTheRecordingWithAFinishedFile) {
    const std::string path = m_strDir + "/ended.flv";
    std::unique_ptr<CRun> recording = Record("screen", 20, path);
    ASSERT_TRUE(RecordedFor(*recording, 2s)) << recording->Output();
    m_producer.Stop();
    CRun& run = *recording;
    EXPECT_EQ(run.Wait(20s), 3) << run.Output();
    EXPECT_NE(run.Output().find("the screen-cast session ended"), std::string::npos) << run.Output();
    EXPECT_NE(run.Output().find("the file finished"), std::string::npos) << run.Output();
    const long pictures = CMediaProbe::CountPackets(path, "v");
    EXPECT_GE(pictures, static_cast<long>(30 * kMinPictureShare));
    EXPECT_LE(pictures, 75);
    EXPECT_EQ(CMediaProbe::DecodeErrors(path), "");
}

TEST_F(TolvaneRecPipeWire, ANodeThatIsNoNumberOrDoesNotAnswerIsRefused) {
    setenv("TOLVANE_PIPEWIRE_NODE", "12abc", 1);
    {
        CRun run({"--backend", "portal", "--source", "screen", "-t", "2", "-o", m_strDir + "/a.flv"}, m_strDir + "/a.txt");
        EXPECT_EQ(run.Wait(), 2) << run.Output();
        EXPECT_NE(run.Output().find("screen-cast portal refused or failed"), std::string::npos) << run.Output();
    }
    m_producer.Stop();  // its node goes away
    setenv("TOLVANE_PIPEWIRE_NODE", "999999", 1);
    {
        CRun run({"--backend", "portal", "--source", "screen", "-t", "2", "-o", m_strDir + "/b.flv"}, m_strDir + "/b.txt");
        EXPECT_EQ(run.Wait(), 2) << run.Output();
    }
    // Nothing was recorded: no file is left.
    EXPECT_FALSE(std::filesystem::exists(m_strDir + "/a.flv") || std::filesystem::exists(m_strDir + "/b.flv"));
}

TEST(TolvaneRecScreenOptions, BackendTakesX11OrPortal) {
    CRecOptions options;
    std::string error;
    ASSERT_TRUE(Parse(options, {"--backend", "portal"}, error)) << error;
    EXPECT_EQ(options.m_strBackend, "portal");
    CRecOptions other;
    EXPECT_FALSE(Parse(other, {"--backend", "wayland"}, error));
    EXPECT_NE(error.find("--backend takes x11 or portal"), std::string::npos) << error;
}

TEST_F(TolvaneRecScreen, AnXServerThatGoesAwayStopsTheRecordingWithAFinishedFile) {
#if defined(__SANITIZE_THREAD__)
    // Xlib's own locking after a lost connection is not ThreadSanitizer-clean.
    GTEST_SKIP() << "not under ThreadSanitizer";
#endif
    CXvfbServer doomed;
    ASSERT_TRUE(doomed.Start(640, 480, 24));
    setenv("DISPLAY", doomed.GetDisplayName().c_str(), 1);
    const std::string path = m_strDir + "/lost.flv";
    CRun run({"--source", "screen", "-t", "20", "--mic", "mic_a", "--speaker", "spk_a", "-o", path},
             m_strDir + "/out.txt");
    std::this_thread::sleep_for(2000ms);
    doomed.Signal(SIGKILL);
    EXPECT_EQ(run.Wait(20s), 3) << run.Output();
    EXPECT_NE(run.Output().find("the X display went away"), std::string::npos) << run.Output();
    const long pictures = CMediaProbe::CountPackets(path, "v");
    EXPECT_GE(pictures, 15);
    EXPECT_LE(pictures, 60);
    EXPECT_EQ(CMediaProbe::DecodeErrors(path), "");
}

}  // namespace

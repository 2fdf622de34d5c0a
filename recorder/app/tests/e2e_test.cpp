// The tolvane program end to end: a private Xvfb and PulseAudio daemon, the
// program started with its own settings folder, F9 pressed through XTest
// (xdotool), the finish prompt answered, and the recording checked with
// ffprobe / ffmpeg. Screenshots of the bar's looks go to the build folder.
#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <numbers>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>
#include <vector>

#include "languagetable.h"
#include "support/mediaprobe.h"
#include "support/pulseplayer.h"
#include "support/pulseserver.h"
#include "testscreen.h"
#include "xvfbserver.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const std::uint32_t kQuadrants[4] = {0xE02020, 0x20C040, 0x2040E0, 0xE0E020};

std::string run(const std::string& command) { return CMediaProbe::Run(command + " 2>/dev/null"); }

// A started tolvane; killed with the object when it is still running.
class CProgram {
public:
    bool start(const std::vector<std::string>& args, const std::vector<std::string>& env) {
        std::vector<std::string> all{TOLVANE_PROGRAM};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        std::vector<std::string> environment = env;
        for (char** e = environ; *e; ++e) environment.emplace_back(*e);
        std::vector<char*> envp;
        for (auto& e : environment) envp.push_back(e.data());
        envp.push_back(nullptr);
        return posix_spawn(&m_pid, TOLVANE_PROGRAM, nullptr, nullptr, argv.data(), envp.data()) == 0;
    }
    // The exit code, -1 when it did not end within the time.
    int wait(std::chrono::milliseconds timeout) {
        auto until = std::chrono::steady_clock::now() + timeout;
        while (m_pid > 0 && std::chrono::steady_clock::now() < until) {
            int status = 0;
            if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_pid = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(50ms);
        }
        return -1;
    }
    void signal(int number) {
        if (m_pid > 0) ::kill(m_pid, number);
    }
    ~CProgram() {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
    }

private:
    pid_t m_pid = -1;
};

class TolvaneE2E : public ::testing::Test {
public:
    static void SetUpTestSuite() {
        s_pX = std::make_unique<CXvfbServer>();
        ASSERT_TRUE(s_pX->Start(1280, 720, 24));
        setenv("DISPLAY", s_pX->GetDisplayName().c_str(), 1);
        s_pPulse = std::make_unique<CPulseServer>();
        s_pPulse->AddNullSink({"speaker", "Test Speaker"});
        CPulseServer::SineMicrophone mic;
        mic.name = "mic";
        mic.description = "Test Mic";
        mic.frequency = 440;
        s_pPulse->AddSineMicrophone(mic);
        s_pPulse->SetDefaultSink("speaker");
        s_pPulse->SetDefaultSource("mic");
        std::string error;
        ASSERT_TRUE(s_pPulse->Start(&error)) << error;
        CLanguageTable::instance().load(2, TOLVANE_LANGUAGE_XML);
        fs::create_directories(TOLVANE_SCREENSHOTS);
    }
    static void TearDownTestSuite() {
        s_pPulse.reset();
        s_pX.reset();
    }

protected:
    void SetUp() override {
        char pattern[] = "/tmp/tolvane-e2e-XXXXXX";
        m_folder = ::mkdtemp(pattern);
        m_config = m_folder + "/config";
        m_out = m_folder + "/out";
        fs::create_directories(m_config + "/orvix/Tolvane");
        std::ofstream(m_config + "/orvix/Tolvane/registry.ini")
            << "[SOFTWARE\\orvix\\Tolvane]\nTolvaneF9=dword:1\nTolvaneF10=dword:1\nApp_OutputFolder=sz:" << m_out
            << "\n";
    }
    void TearDown() override { fs::remove_all(m_folder); }

    void writeRegion(const char* rect) {
        std::ofstream(m_config + "/orvix/Tolvane/userconfig.ini")
            << "[LOCAL_CONFIG]\nRGN_POS_1.1=" << rect << "\nRECORD.TYPE=1\n";
    }
    std::vector<std::string> environment() const {
        return {"XDG_CONFIG_HOME=" + m_config, "LANG=en_US.UTF-8", "LC_ALL=en_US.UTF-8",
                "TOLVANE_LOG_FILE=" + m_folder + "/tolvane.log", "QT_QPA_PLATFORM=xcb"};
    }
    static std::string findWindow(const std::string& name) {
        std::string out = run("xdotool search --onlyvisible --name '^" + name + "$'");
        return out.substr(0, out.find('\n'));
    }
    static std::string waitWindow(const std::string& name, std::chrono::milliseconds timeout = 15s) {
        auto until = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < until) {
            std::string id = findWindow(name);
            if (!id.empty()) return id;
            std::this_thread::sleep_for(100ms);
        }
        return {};
    }
    static void screenshot(const std::string& name) {
        run("ffmpeg -y -v error -f x11grab -video_size 1280x720 -i " + s_pX->GetDisplayName() + " -frames:v 1 '" +
            std::string(TOLVANE_SCREENSHOTS) + "/" + name + ".png'");
    }
    static void paintQuadrants() {
        CTestScreen screen(s_pX->GetDisplayName());
        ASSERT_TRUE(screen.IsOpen());
        for (int i = 0; i < 4; ++i) screen.FillRect(i % 2 * 640, i / 2 * 360, 640, 360, kQuadrants[i]);
        screen.WarpPointer(1270, 700);
    }
    // Clicks the right-most button of a message box (Cancel of OK/Cancel,
    // OK of a box with one button).
    static void pressInBox(const std::string& window, int fromLeft = -1) {
        std::string info = run("xwininfo -id " + window);
        auto field = [&](const char* name) {
            auto at = info.find(name);
            return at == std::string::npos ? 0 : std::atoi(info.c_str() + at + std::strlen(name));
        };
        int x = field("Absolute upper-left X:") + (fromLeft >= 0 ? fromLeft : field("Width:") - 50);
        // The button row of a one-line box lies 64 pixels below its top
        // (the height the server reports can lag behind the box's layout).
        int y = field("Absolute upper-left Y:") + 64;
        run("xdotool mousemove " + std::to_string(x) + " " + std::to_string(y));
        std::this_thread::sleep_for(200ms);
        run("xdotool click 1");
    }
    // Answers the finish prompt with Cancel (no file manager).
    static bool dismissPrompt(const char* shotName) {
        std::string box = waitWindow(CLanguageTable::instance().lookup("ID_TEXT_TIPS"));
        if (box.empty()) return false;
        std::this_thread::sleep_for(300ms);
        if (shotName) screenshot(shotName);
        pressInBox(box);
        for (int i = 0; i < 50 && !findWindow(CLanguageTable::instance().lookup("ID_TEXT_TIPS")).empty(); ++i)
            std::this_thread::sleep_for(100ms);
        return true;
    }
    std::vector<std::string> recordings() const {
        std::vector<std::string> files;
        if (!fs::exists(m_out)) return files;
        for (const auto& entry : fs::directory_iterator(m_out))
            if (entry.path().extension() == ".flv") files.push_back(entry.path().string());
        return files;
    }
    // Mean RGB of a block of the picture at `second`.
    static std::vector<double> meanColour(const std::string& file, double second, int x, int y, int w, int h) {
        std::string raw = CMediaProbe::Run("ffmpeg -v error -ss " + std::to_string(second) + " -i '" + file +
                                           "' -frames:v 1 -vf crop=" + std::to_string(w) + ":" + std::to_string(h) +
                                           ":" + std::to_string(x) + ":" + std::to_string(y) +
                                           " -f rawvideo -pix_fmt rgb24 -");
        std::vector<double> mean(3, 0.0);
        if (raw.size() < static_cast<std::size_t>(w * h * 3)) return {};
        for (std::size_t i = 0; i < static_cast<std::size_t>(w * h); ++i)
            for (int c = 0; c < 3; ++c) mean[c] += static_cast<unsigned char>(raw[i * 3 + c]);
        for (double& m : mean) m /= w * h;
        return mean;
    }
    static void expectColour(const std::vector<double>& mean, std::uint32_t rgb, const std::string& where) {
        ASSERT_EQ(mean.size(), 3u) << where;
        const double want[3] = {double(rgb >> 16 & 255), double(rgb >> 8 & 255), double(rgb & 255)};
        for (int c = 0; c < 3; ++c) EXPECT_NEAR(mean[c], want[c], 30.0) << where << " channel " << c;
    }
    // Plays a tone into the default sink while the test runs.
    static std::thread playTone(unsigned hz, int seconds) {
        return std::thread([hz, seconds] {
            std::vector<std::int16_t> pcm(44100 * seconds * 2);
            for (std::size_t i = 0; i < pcm.size() / 2; ++i)
                pcm[i * 2] = pcm[i * 2 + 1] = static_cast<std::int16_t>(8000 * std::sin(2 * std::numbers::pi * hz * i / 44100.0));
            CPulsePlayer::Play("speaker", pcm, 44100, 2);
        });
    }

    std::string m_folder, m_config, m_out;
    static std::unique_ptr<CXvfbServer> s_pX;
    static std::unique_ptr<CPulseServer> s_pPulse;
};

std::unique_ptr<CXvfbServer> TolvaneE2E::s_pX;
std::unique_ptr<CPulseServer> TolvaneE2E::s_pPulse;

}  // namespace

TEST_F(TolvaneE2E, FullScreenRecordingWithHotkeysHoldsThePictureAndBothSounds) {
    CProgram program;
    ASSERT_TRUE(program.start({}, environment()));
    ASSERT_FALSE(waitWindow("Tolvane").empty()) << "the bar did not appear";
    std::this_thread::sleep_for(1500ms);
    screenshot("bar-ready");
    paintQuadrants();
    std::thread tone = playTone(880, 7);

    run("xdotool key F9");
    std::this_thread::sleep_for(2000ms);
    screenshot("bar-recording");
    run("xdotool key F10");
    std::this_thread::sleep_for(800ms);
    screenshot("bar-paused");
    run("xdotool key F10");
    std::this_thread::sleep_for(2500ms);
    run("xdotool key F9");
    EXPECT_TRUE(dismissPrompt("finish-prompt")) << "no finish prompt";
    tone.join();

    std::vector<std::string> files = recordings();
    ASSERT_EQ(files.size(), 1u);
    auto streams = CMediaProbe::Streams(files[0]);
    bool video = false, audio = false;
    for (const auto& s : streams) {
        if (s.Get("codec_type") == "video") {
            video = true;
            EXPECT_EQ(s.Get("codec_name"), "h264");
            EXPECT_EQ(s.Get("width"), "1280");
            EXPECT_EQ(s.Get("height"), "720");
        }
        if (s.Get("codec_type") == "audio") {
            audio = true;
            EXPECT_EQ(s.Get("codec_name"), "aac");
        }
    }
    EXPECT_TRUE(video && audio);
    EXPECT_GT(CMediaProbe::MetaDuration(files[0]), 2.0);
    // Quadrant centres, away from the bar at the top.
    for (int i = 0; i < 4; ++i)
        expectColour(meanColour(files[0], 2.5, i % 2 * 640 + 270, i / 2 * 360 + 130, 100, 100), kQuadrants[i],
                     "quadrant " + std::to_string(i));
    auto pcm = CMediaProbe::DecodeAudio(files[0]);
    ASSERT_GT(pcm.size(), 44100u * 2);
    EXPECT_GT(CMediaProbe::ToneLevel(pcm, 44100, 44100 * 2, 440), 0.01) << "microphone tone";
    EXPECT_GT(CMediaProbe::ToneLevel(pcm, 0, pcm.size(), 880), 0.003) << "speaker tone";

    // A second start finds the running bar, says so and ends with 0.
    CProgram second;
    ASSERT_TRUE(second.start({}, environment()));
    std::string box = waitWindow(CLanguageTable::instance().lookup("ID_TEXT_TIPS"));
    EXPECT_FALSE(box.empty()) << "no single-instance message";
    if (!box.empty()) {
        screenshot("single-instance");
        pressInBox(box, 197);
    }
    EXPECT_EQ(second.wait(10s), 0);

    program.signal(SIGTERM);
    EXPECT_EQ(program.wait(15s), 0);
}

TEST_F(TolvaneE2E, SigtermFinishesARunningRecording) {
    CProgram program;
    ASSERT_TRUE(program.start({"/rec", "1"}, environment()));
    std::this_thread::sleep_for(5000ms);
    program.signal(SIGTERM);
    EXPECT_EQ(program.wait(20s), 0);
    std::vector<std::string> files = recordings();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_GT(CMediaProbe::MetaDuration(files[0]), 1.0) << "the final onMetaData was written";
    int errors = -1;
    CMediaProbe::FlvmetaCheck(files[0], errors);
    EXPECT_EQ(errors, 0);
}

TEST_F(TolvaneE2E, RegionRecordingsFollowTheSizeRules) {
    struct Case {
        const char* rect;
        const char* width;
        const char* height;
        const char* shot;
    };
    for (const Case& c : {Case{"100,150,800,543", "688", "384", "region-indicator"},
                          Case{"100,150,821,555", "1280", "720", nullptr}}) {
        writeRegion(c.rect);
        fs::remove_all(m_out);
        CProgram program;
        ASSERT_TRUE(program.start({}, environment()));
        ASSERT_FALSE(waitWindow("Tolvane").empty());
        std::this_thread::sleep_for(1500ms);
        if (c.shot) screenshot(c.shot);
        run("xdotool key F9");
        std::this_thread::sleep_for(2500ms);
        if (c.shot) screenshot("region-recording");
        run("xdotool key F9");
        EXPECT_TRUE(dismissPrompt(nullptr));
        std::vector<std::string> files = recordings();
        ASSERT_EQ(files.size(), 1u) << c.rect;
        for (const auto& s : CMediaProbe::Streams(files[0])) {
            if (s.Get("codec_type") != "video") continue;
            EXPECT_EQ(s.Get("width"), c.width) << c.rect;
            EXPECT_EQ(s.Get("height"), c.height) << c.rect;
        }
        program.signal(SIGTERM);
        EXPECT_EQ(program.wait(15s), 0);
    }
}

TEST_F(TolvaneE2E, MenuAndDialogsScreenshots) {
    CProgram program;
    ASSERT_TRUE(program.start({}, environment()));
    ASSERT_FALSE(waitWindow("Tolvane").empty());
    std::this_thread::sleep_for(1500ms);
    // The bar: 375 wide, centred as if 420 wide, at y = 10.
    const int barX = (1280 - 420) / 2, barY = 10, barW = 375;
    run("xdotool mousemove " + std::to_string(barX + 40) + " " + std::to_string(barY + 20) + " click 3");
    std::this_thread::sleep_for(800ms);
    screenshot("menu");
    run("xdotool key Escape");
    std::this_thread::sleep_for(300ms);
    run("xdotool mousemove " + std::to_string(barX + barW - 144 + 16) + " " + std::to_string(barY + 20) + " click 1");
    std::string dialog = waitWindow(CLanguageTable::instance().lookup("ID_TEXT_SETTING"), 5s);
    std::this_thread::sleep_for(500ms);
    screenshot("dialog-settings");
    if (!dialog.empty()) run("xdotool windowfocus --sync " + dialog + " key Escape");
    std::this_thread::sleep_for(500ms);
    run("xdotool mousemove " + std::to_string(barX + barW - 184 + 16) + " " + std::to_string(barY + 20) + " click 1");
    dialog = waitWindow(CLanguageTable::instance().lookup("ID_TEXT_AUDIO_TITLE"), 5s);
    std::this_thread::sleep_for(500ms);
    screenshot("dialog-audio-device");
    if (!dialog.empty()) run("xdotool windowfocus --sync " + dialog + " key Escape");
    program.signal(SIGTERM);
    EXPECT_EQ(program.wait(15s), 0);
}

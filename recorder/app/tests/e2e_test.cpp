// The tolvane program end to end: a private Xvfb and PulseAudio daemon, the
// program started with its own settings folder, F9 pressed through XTest
// (xdotool), the finish prompt answered, and the recording checked with
// ffprobe / ffmpeg. Screenshots of the bar's looks go to the build folder.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <numbers>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <memory>
#include <thread>
#include <vector>

#include "languagetable.h"
#include "loopbackhttpserver.h"
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
    // env: NAME=value pairs that replace or add to this process's environment.
    // program: the executable (default: the build's tolvane).
    bool start(const std::vector<std::string>& args, const std::vector<std::string>& env,
               const std::string& program = TOLVANE_PROGRAM) {
        std::vector<std::string> all{program};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        std::vector<std::string> environment = env;
        for (char** e = environ; *e; ++e) {
            const std::string entry = *e;
            const std::string name = entry.substr(0, entry.find('=') + 1);
            bool replaced = false;
            for (const auto& own : env) replaced = replaced || own.compare(0, name.size(), name) == 0;
            if (!replaced) environment.push_back(entry);
        }
        std::vector<char*> envp;
        for (auto& e : environment) envp.push_back(e.data());
        envp.push_back(nullptr);
        // The program dies with the test (a time-out or a crash of the
        // test leaves no bar behind). Only async-signal-safe calls run
        // between fork and exec.
        const pid_t parent = getpid();
        const pid_t pid = fork();
        if (pid < 0) return false;
        if (pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (getppid() != parent) _exit(127);
            execve(argv[0], argv.data(), envp.data());
            _exit(127);
        }
        m_pid = pid;
        return true;
    }
    pid_t pid() const { return m_pid; }
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

using WindowList = std::vector<std::string>;

class TolvaneE2E : public ::testing::Test {
public:
    static void SetUpTestSuite() {
        // A home of its own: nothing of the user's settings, state or
        // runtime folders is read or written.
        char pattern[] = "/tmp/tolvane-e2e-home-XXXXXX";
        s_home = ::mkdtemp(pattern);
        fs::create_directories(s_home + "/state");
        fs::create_directories(s_home + "/runtime");
        fs::permissions(s_home + "/runtime", fs::perms::owner_all);
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
        showQuadrants();
    }
    static void TearDownTestSuite() {
        s_pPulse.reset();
        s_pX.reset();
        if (!s_home.empty()) fs::remove_all(s_home);
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
    void TearDown() override {
        if (HasFailure()) std::cerr << "program log:\n" << CMediaProbe::Run("cat " + m_folder + "/tolvane.log");
        fs::remove_all(m_folder);
    }

    void writeRegion(const char* rect) {
        std::ofstream(m_config + "/orvix/Tolvane/userconfig.ini")
            << "[LOCAL_CONFIG]\nRGN_POS_1.1=" << rect << "\nRECORD.TYPE=1\n"
            << "[USER_POS]\nX_POS=430\nY_POS=10\n";
    }
    std::vector<std::string> environment() const {
        return {"HOME=" + s_home,
                "XDG_CONFIG_HOME=" + m_config,
                "XDG_STATE_HOME=" + s_home + "/state",
                "XDG_RUNTIME_DIR=" + s_home + "/runtime",
                "LANG=en_US.UTF-8",
                "LC_ALL=en_US.UTF-8",
                "LC_MESSAGES=en_US.UTF-8",
                "TOLVANE_LOG_FILE=" + m_folder + "/tolvane.log",
                // No update check unless a test points it at its own server.
                "TOLVANE_UPDATE_URL=",
                "QT_QPA_PLATFORM=xcb"};
    }
    // The environment with one NAME=value replaced.
    std::vector<std::string> environmentWith(const std::string& entry) const {
        std::vector<std::string> env = environment();
        const std::string name = entry.substr(0, entry.find('=') + 1);
        for (std::string& e : env)
            if (e.compare(0, name.size(), name) == 0) e = entry;
        return env;
    }
    static std::string caption() { return CLanguageTable::instance().lookup("ID_TEXT_TIPS"); }
    // Visible windows of that name, oldest first.
    static WindowList windowsNamed(const std::string& name) {
        std::istringstream out(run("xdotool search --onlyvisible --name '^" + name + "$'"));
        WindowList ids;
        for (std::string id; std::getline(out, id);)
            if (!id.empty()) ids.push_back(id);
        return ids;
    }
    static std::string waitWindow(const std::string& name, std::chrono::milliseconds timeout = 15s) {
        return waitNewWindow(name, {}, timeout);
    }
    // A window of that name that is not in `known` (the bar and a message
    // box can have the same title).
    static std::string waitNewWindow(const std::string& name, const WindowList& known,
                                     std::chrono::milliseconds timeout = 15s) {
        auto until = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < until) {
            for (const std::string& id : windowsNamed(name))
                if (std::find(known.begin(), known.end(), id) == known.end()) return id;
            std::this_thread::sleep_for(100ms);
        }
        return {};
    }
    static bool waitGone(const std::string& window, std::chrono::milliseconds timeout = 5s) {
        auto until = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < until) {
            if (run("xwininfo -id " + window + " | grep -c IsViewable").rfind("1", 0) != 0) return true;
            std::this_thread::sleep_for(100ms);
        }
        return false;
    }
    // The program gives its dialogs the focus: waits for it and presses a
    // key (Return: the default button, Escape: cancel).
    static void answer(const std::string& window, const char* key) {
        const unsigned long want = std::strtoul(window.c_str(), nullptr, 10);
        bool focused = false;
        for (int i = 0; i < 50 && !focused; ++i) {
            focused = std::strtoul(run("xdotool getwindowfocus").c_str(), nullptr, 10) == want;
            if (!focused) std::this_thread::sleep_for(100ms);
        }
        EXPECT_TRUE(focused) << "the dialog did not get the focus";
        if (!focused) run("xdotool windowfocus --sync " + window);
        run(std::string("xdotool key ") + key);
        EXPECT_TRUE(waitGone(window)) << "the dialog did not close on " << key;
    }
    static void screenshot(const std::string& name) {
        run("ffmpeg -y -v error -f x11grab -video_size 1280x720 -i " + s_pX->GetDisplayName() + " -frames:v 1 '" +
            std::string(TOLVANE_SCREENSHOTS) + "/" + name + ".png'");
    }
    // The known picture as the root window's background, so that it stays
    // whole where windows close or move.
    static void showQuadrants() {
        CTestScreen screen(s_pX->GetDisplayName());
        ASSERT_TRUE(screen.IsOpen());
        Display* display = screen.GetDisplay();
        const Window root = DefaultRootWindow(display);
        ASSERT_EQ(DefaultDepth(display, DefaultScreen(display)), 24);
        Pixmap picture = XCreatePixmap(display, root, 1280, 720, 24);
        GC gc = XCreateGC(display, picture, 0, nullptr);
        for (int i = 0; i < 4; ++i) {
            XSetForeground(display, gc, kQuadrants[i]);
            XFillRectangle(display, picture, gc, i % 2 * 640, i / 2 * 360, 640, 360);
        }
        XSetWindowBackgroundPixmap(display, root, picture);
        XClearWindow(display, root);
        XFreeGC(display, gc);
        XFreePixmap(display, picture);
        screen.WarpPointer(1270, 700);
    }
    // Waits for the finish prompt after the F9 that stops, takes its
    // picture and answers it with Cancel (no file manager).
    static bool dismissPrompt(const WindowList& before, const char* shotName) {
        std::string box = waitNewWindow(caption(), before);
        if (box.empty()) return false;
        std::this_thread::sleep_for(300ms);
        if (shotName) screenshot(shotName);
        answer(box, "Escape");
        return true;
    }
    std::vector<std::string> recordings() const {
        std::vector<std::string> files;
        if (!fs::exists(m_out)) return files;
        for (const auto& entry : fs::directory_iterator(m_out))
            if (entry.path().extension() == ".flv") files.push_back(entry.path().string());
        return files;
    }
    // Starts the bar and waits until it is there.
    std::string startBar(CProgram& program, const std::vector<std::string>& args = {}) {
        if (!program.start(args, environment())) return {};
        std::string bar = waitWindow("Tolvane");
        std::this_thread::sleep_for(1500ms);
        return bar;
    }
    // SIGTERM ends the bar with 0.
    static void endBar(CProgram& program) {
        program.signal(SIGTERM);
        EXPECT_EQ(program.wait(20s), 0);
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
    static std::string s_home;
    static std::unique_ptr<CXvfbServer> s_pX;
    static std::unique_ptr<CPulseServer> s_pPulse;
};

std::string TolvaneE2E::s_home;
std::unique_ptr<CXvfbServer> TolvaneE2E::s_pX;
std::unique_ptr<CPulseServer> TolvaneE2E::s_pPulse;

}  // namespace

TEST_F(TolvaneE2E, FullScreenRecordingWithHotkeysHoldsThePictureAndBothSounds) {
    CProgram program;
    ASSERT_FALSE(startBar(program).empty()) << "the bar did not appear";
    screenshot("bar-ready");
    std::thread tone = playTone(880, 7);

    run("xdotool key F9");
    std::this_thread::sleep_for(2000ms);
    screenshot("bar-recording");
    run("xdotool key F10");
    std::this_thread::sleep_for(800ms);
    screenshot("bar-paused");
    run("xdotool key F10");
    std::this_thread::sleep_for(2500ms);
    const WindowList before = windowsNamed(caption());
    run("xdotool key F9");
    EXPECT_TRUE(dismissPrompt(before, "finish-prompt")) << "no finish prompt";
    tone.join();

    std::vector<std::string> files = recordings();
    ASSERT_EQ(files.size(), 1u);
    bool video = false, audio = false;
    for (const auto& s : CMediaProbe::Streams(files[0])) {
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
    // Quadrant centres, away from the bar at the top, early and late (half a
    // second before the last picture: how long the recording runs depends on
    // how fast the bar reacts to the keys).
    const std::uint32_t lastPictureMs = CMediaProbe::PictureTimes(CMediaProbe::Tags(files[0])).last;
    ASSERT_GT(lastPictureMs, 2000u);
    for (double second : {1.0, lastPictureMs / 1000.0 - 0.5})
        for (int i = 0; i < 4; ++i)
            expectColour(meanColour(files[0], second, i % 2 * 640 + 270, i / 2 * 360 + 130, 100, 100), kQuadrants[i],
                         "quadrant " + std::to_string(i) + " at " + std::to_string(second) + " s");
    auto pcm = CMediaProbe::DecodeAudio(files[0]);
    ASSERT_GT(pcm.size(), 44100u * 2);
    // The last second: the sound server may take a while to deliver the first blocks.
    EXPECT_GT(CMediaProbe::ToneLevel(pcm, pcm.size() - 44100, pcm.size(), 440), 0.01) << "microphone tone";
    EXPECT_GT(CMediaProbe::ToneLevel(pcm, 0, pcm.size(), 880), 0.003) << "speaker tone";
    endBar(program);
}

TEST_F(TolvaneE2E, SecondStartShowsTheMessageAndEndsWithZero) {
    CProgram program;
    const std::string bar = startBar(program);
    ASSERT_FALSE(bar.empty());
    const WindowList before = windowsNamed(caption());

    CProgram second;
    ASSERT_TRUE(second.start({}, environment()));
    std::string box = waitNewWindow(caption(), before);
    ASSERT_FALSE(box.empty()) << "no single-instance message";
    EXPECT_NE(run("xdotool getwindowpid " + box).find(std::to_string(second.pid())), std::string::npos)
        << "the message comes from the second start";
    std::this_thread::sleep_for(300ms);
    screenshot("single-instance");
    EXPECT_EQ(second.wait(300ms), -1) << "the second start waits for the message to be read";
    answer(box, "Return");
    EXPECT_EQ(second.wait(10s), 0);
    EXPECT_EQ(windowsNamed("Tolvane"), WindowList{bar}) << "only the first bar remains";
    endBar(program);
}

TEST_F(TolvaneE2E, SigtermFinishesARunningRecording) {
    CProgram program;
    ASSERT_TRUE(program.start({"/rec", "1"}, environment()));
    // Recording from the start: wait for the file, then record a while.
    for (int i = 0; i < 150 && recordings().empty(); ++i) std::this_thread::sleep_for(100ms);
    std::this_thread::sleep_for(3000ms);
    endBar(program);
    std::vector<std::string> files = recordings();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_GT(CMediaProbe::MetaDuration(files[0]), 1.0) << "the final onMetaData was written";
    int errors = -1;
    CMediaProbe::FlvmetaCheck(files[0], errors);
    EXPECT_EQ(errors, 0);
}

// 700 x 393 in 16:9 keeps its size, rounded down to 688 x 384; 721 wide
// records at 1280 x 720.
TEST_F(TolvaneE2E, RegionRecordingsFollowTheSizeRules) {
    struct Case {
        const char* rect;
        const char* width;
        const char* height;
        bool shots;
    };
    for (const Case& c : {Case{"100,150,800,543", "688", "384", true}, Case{"100,150,821,555", "1280", "720", false}}) {
        SCOPED_TRACE(c.rect);
        writeRegion(c.rect);
        fs::remove_all(m_out);
        CProgram program;
        ASSERT_FALSE(startBar(program).empty());
        if (c.shots) screenshot("region-indicator");
        run("xdotool key F9");
        std::this_thread::sleep_for(2500ms);
        if (c.shots) screenshot("region-recording");
        const WindowList before = windowsNamed(caption());
        run("xdotool key F9");
        EXPECT_TRUE(dismissPrompt(before, nullptr)) << "no finish prompt";
        std::vector<std::string> files = recordings();
        ASSERT_EQ(files.size(), 1u);
        bool video = false;
        for (const auto& s : CMediaProbe::Streams(files[0])) {
            if (s.Get("codec_type") != "video") continue;
            video = true;
            EXPECT_EQ(s.Get("width"), c.width);
            EXPECT_EQ(s.Get("height"), c.height);
        }
        EXPECT_TRUE(video);
        endBar(program);
    }
}

TEST_F(TolvaneE2E, MenuAndDialogsScreenshots) {
    CProgram program;
    ASSERT_FALSE(startBar(program).empty());
    // The bar: 375 wide, centred as if 420 wide, at y = 10.
    const int barX = (1280 - 420) / 2, barY = 10, barW = 375;
    run("xdotool mousemove " + std::to_string(barX + 40) + " " + std::to_string(barY + 20) + " click 3");
    std::this_thread::sleep_for(800ms);
    screenshot("menu");
    run("xdotool key Escape");
    std::this_thread::sleep_for(300ms);

    struct Dialog {
        int buttonRight;  // the button's left edge from the bar's right edge
        const char* titleKey;
        const char* shot;
    };
    for (const Dialog& d : {Dialog{144, "ID_TEXT_SETTING", "dialog-settings"},
                            Dialog{184, "ID_TEXT_AUDIO_TITLE", "dialog-audio-device"}}) {
        SCOPED_TRACE(d.shot);
        run("xdotool mousemove " + std::to_string(barX + barW - d.buttonRight + 16) + " " + std::to_string(barY + 20) +
            " click 1");
        std::string dialog = waitWindow(CLanguageTable::instance().lookup(d.titleKey), 5s);
        ASSERT_FALSE(dialog.empty());
        std::this_thread::sleep_for(500ms);
        screenshot(d.shot);
        answer(dialog, "Escape");
    }
    endBar(program);
}

// No sound server at all: F9 still records the picture, and stopping
// neither hangs nor loses the file.
TEST_F(TolvaneE2E, RecordingWithoutASoundServerStopsAndKeepsThePicture) {
    std::vector<std::string> env = environment();
    env.push_back("PULSE_SERVER=unix:" + m_folder + "/no-such-server");
    CProgram program;
    ASSERT_TRUE(program.start({}, env));
    ASSERT_FALSE(waitWindow("Tolvane").empty());
    std::this_thread::sleep_for(1500ms);
    run("xdotool key F9");
    std::this_thread::sleep_for(2500ms);
    const WindowList before = windowsNamed(caption());
    run("xdotool key F9");
    EXPECT_TRUE(dismissPrompt(before, nullptr)) << "no finish prompt: the stop hangs";
    endBar(program);
    std::vector<std::string> files = recordings();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_GT(CMediaProbe::MetaDuration(files[0]), 1.0);
    EXPECT_GT(CMediaProbe::CountPackets(files[0], "v"), 10);
}

// The sound server goes away in the middle of a recording: the stop still
// comes back and the file is finished.
TEST_F(TolvaneE2E, SoundServerLostDuringRecordingStopsCleanly) {
    CProgram program;
    ASSERT_FALSE(startBar(program).empty());
    run("xdotool key F9");
    std::this_thread::sleep_for(2000ms);
    s_pPulse->Kill();
    std::this_thread::sleep_for(1500ms);
    const WindowList before = windowsNamed(caption());
    run("xdotool key F9");
    // A lost device may also be reported as a recording error first.
    std::string box = waitNewWindow(caption(), before);
    ASSERT_FALSE(box.empty()) << "no message after the stop: the stop hangs";
    answer(box, "Escape");
    endBar(program);
    std::vector<std::string> files = recordings();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_GT(CMediaProbe::MetaDuration(files[0]), 1.0);
}

// The update server never answers: the bar still records with F9 while
// the check waits (timer 251 fires meanwhile). Then a server offering a
// newer version: the update dialog appears.
TEST_F(TolvaneE2E, UpdateCheckNeverHoldsTheBarAndOffersANewerVersion) {
    CLoopbackHttpServer server;
    ASSERT_TRUE(server.start());
    server.set("/stall.ini", {200, "", "", CLoopbackHttpServer::MODE_STALL});
    const std::string title = CLanguageTable::instance().lookup("ID_TEXT_UPDATE_TITLE");
    {
        CProgram program;
        const auto started = std::chrono::steady_clock::now();
        ASSERT_TRUE(program.start({}, environmentWith("TOLVANE_UPDATE_URL=" + server.url("/stall.ini"))));
        ASSERT_FALSE(waitWindow("Tolvane").empty());
        std::this_thread::sleep_until(started + 2500ms);
        EXPECT_EQ(server.requests("/stall.ini"), 1);
        run("xdotool key F9");
        for (int i = 0; i < 100 && recordings().empty(); ++i) std::this_thread::sleep_for(50ms);
        std::this_thread::sleep_for(1500ms);
        const WindowList before = windowsNamed(caption());
        run("xdotool key F9");
        EXPECT_TRUE(dismissPrompt(before, nullptr)) << "no finish prompt";
        // All of it while the transfer was still waiting for its 15 s limit.
        EXPECT_LT(std::chrono::steady_clock::now() - started, 12s);
        EXPECT_EQ(recordings().size(), 1u);
        EXPECT_TRUE(windowsNamed(title).empty());
        endBar(program);
    }
    server.set("/tolvane.ini", {200,
                                "[TOLVANE_US]\nversion=99.0.0.0\nurl=" + server.url("/dl/setup.bin") +
                                    "\nrerolve=Starts faster\nupdate=Region frame fixes\nadd=New hotkey settings\n",
                                "", {}});
    CProgram program;
    ASSERT_TRUE(program.start({}, environmentWith("TOLVANE_UPDATE_URL=" + server.url("/tolvane.ini"))));
    const std::string dialog = waitWindow(title, 20s);
    ASSERT_FALSE(dialog.empty()) << "no update dialog";
    std::this_thread::sleep_for(300ms);
    screenshot("update-offer");
    answer(dialog, "Escape");
    EXPECT_EQ(server.requests("/dl/setup.bin"), 0);
    endBar(program);
}

// The running program crashes during a recording: one dump beside the
// program that lldb reads, the crash-report tool started once, and the
// recording up to the crash decodes.
TEST_F(TolvaneE2E, CrashDuringARecordingLeavesADumpAndAPlayableFile) {
    const std::string folder = m_folder + "/program";
    fs::create_directories(folder);
    fs::copy_file(TOLVANE_PROGRAM, folder + "/tolvane");
    fs::copy_file(TOLVANE_LANGUAGE_XML, folder + "/language.xml");
    const std::string log = m_folder + "/tellmark.log";
    std::ofstream(folder + "/Tellmark.app") << "#!/bin/sh\nprintf '%s\\n' \"$*\" >> '" << log << "'\n";
    fs::permissions(folder + "/Tellmark.app", fs::perms::owner_all);

    CProgram program;
    ASSERT_TRUE(program.start({"/rec", "1"}, environment(), folder + "/tolvane"));
    for (int i = 0; i < 150 && recordings().empty(); ++i) std::this_thread::sleep_for(100ms);
    ASSERT_EQ(recordings().size(), 1u);
    std::this_thread::sleep_for(3000ms);
    program.signal(SIGSEGV);
    EXPECT_EQ(program.wait(20s), 128 + SIGSEGV);

    std::vector<std::string> dumps;
    for (const auto& entry : fs::directory_iterator(folder + "/tolvane.dmp")) dumps.push_back(entry.path().string());
    ASSERT_EQ(dumps.size(), 1u);
    for (int i = 0; i < 100 && !fs::exists(log); ++i) std::this_thread::sleep_for(50ms);
    std::this_thread::sleep_for(300ms);
    std::ifstream calls(log);
    std::vector<std::string> lines;
    for (std::string line; std::getline(calls, line);) lines.push_back(line);
    EXPECT_EQ(lines, std::vector<std::string>{"/with_send"});

    const std::string report = run("lldb --no-lldbinit --batch -o 'target create -c " + dumps[0] + " " + folder +
                                   "/tolvane' -o 'thread backtrace' -o 'image list'");
    EXPECT_NE(report.find("stop reason = signal SIGSEGV"), std::string::npos) << report;
    EXPECT_NE(report.find(folder + "/tolvane"), std::string::npos) << report;
    EXPECT_NE(report.find("libQt6Widgets"), std::string::npos) << report;
    EXPECT_NE(report.find("librecengine"), std::string::npos) << report;

    const std::string file = recordings().at(0);
    EXPECT_GT(CMediaProbe::CountPackets(file, "v"), 15);
    EXPECT_EQ(CMediaProbe::DecodeErrors(file), "");
}

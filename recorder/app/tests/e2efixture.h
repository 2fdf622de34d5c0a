// The fixture of the tolvane program's end-to-end tests: a private Xvfb
// showing a known picture and a private PulseAudio daemon for the whole
// suite, a settings folder and an output folder per test, the program
// started as a child that dies with the test, and helpers that find,
// answer and photograph its windows.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
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
#include "support/mediaprobe.h"
#include "support/pulseplayer.h"
#include "support/pulseserver.h"
#include "testscreen.h"
#include "xvfbserver.h"


extern char** environ;

namespace e2e {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

inline constexpr std::uint32_t kQuadrants[4] = {0xE02020, 0x20C040, 0x2040E0, 0xE0E020};

inline std::string run(const std::string& command) { return CMediaProbe::Run(command + " 2>/dev/null"); }

// A started tolvane (or another program); killed with the object when it is
// still running. With pipes, its standard input and output are the test's.
class CProgram {
public:
    // env: NAME=value pairs that replace or add to this process's environment.
    bool start(const std::vector<std::string>& args, const std::vector<std::string>& env,
               const char* program = TOLVANE_PROGRAM, bool pipes = false) {
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
        int in[2] = {-1, -1}, out[2] = {-1, -1};
        if (pipes && (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0)) return false;
        const pid_t parent = getpid();
        const pid_t pid = fork();
        if (pid < 0) return false;
        if (pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (getppid() != parent) _exit(127);
            if (pipes) {
                dup2(in[0], STDIN_FILENO);
                dup2(out[1], STDOUT_FILENO);
            }
            execve(program, argv.data(), envp.data());
            _exit(127);
        }
        if (pipes) {
            ::close(in[0]);
            ::close(out[1]);
            m_nInput = in[1];
            m_nOutput = out[0];
        }
        m_pid = pid;
        return true;
    }
    // A line to the program's standard input.
    void writeLine(const std::string& line) {
        const std::string text = line + "\n";
        if (m_nInput >= 0 && ::write(m_nInput, text.data(), text.size()) < 0) {
        }
    }
    void closeInput() {
        if (m_nInput >= 0) ::close(m_nInput);
        m_nInput = -1;
    }
    // The program's output up to and including `end` (a line: "\n"); what
    // came so far when it does not come in time.
    std::string readUntil(const std::string& end, std::chrono::milliseconds timeout = 10s) {
        const auto until = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            const std::size_t at = m_strOutput.find(end);
            if (at != std::string::npos) {
                std::string text = m_strOutput.substr(0, at + end.size());
                m_strOutput.erase(0, at + end.size());
                return text;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
            if (left.count() <= 0 || m_nOutput < 0) break;
            pollfd fd{m_nOutput, POLLIN, 0};
            if (::poll(&fd, 1, static_cast<int>(left.count())) <= 0) continue;
            char buffer[4096];
            const ssize_t got = ::read(m_nOutput, buffer, sizeof(buffer));
            if (got <= 0) break;
            m_strOutput.append(buffer, static_cast<std::size_t>(got));
        }
        std::string text;
        text.swap(m_strOutput);
        return text;
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
        closeInput();
        if (m_nOutput >= 0) ::close(m_nOutput);
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
    }

private:
    pid_t m_pid = -1;
    int m_nInput = -1;
    int m_nOutput = -1;
    std::string m_strOutput;
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
                "QT_QPA_PLATFORM=xcb",
                // An X11 desktop, also when the tests run from a Wayland one:
                // screen capture and hotkeys through the private X server.
                "XDG_SESSION_TYPE=x11"};
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

}  // namespace e2e

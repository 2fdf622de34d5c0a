// The crash handler in child processes that crash in each way: each leaves
// exactly one dump beside the program, starts the stand-in crash-report
// tool once with "/with_send" and ends with its signal. Every dump is read
// back by lldb, which must show the crashing thread's stack through the
// program's own functions and the module list.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "crashhandler.h"
#include "crashreporttool.h"
#include "support/mediaprobe.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::int64_t monotonicNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

std::string fileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

class CrashReports : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tolvane-crash-XXXXXX";
        m_dir = ::mkdtemp(pattern);
        // The program is copied so that its dump folder and the tool beside
        // it belong to this test.
        m_program = m_dir + "/crashcase";
        fs::copy_file(CRASHCASE_PROGRAM, m_program);
        m_log = m_dir + "/tellmark.log";
        m_tool = m_dir + "/Tellmark.app";
        std::ofstream(m_tool) << "#!/bin/sh\nprintf '%s\\n' \"$*\" >> '" << m_log << "'\n";
        fs::permissions(m_tool, fs::perms::owner_all);
    }
    void TearDown() override { fs::remove_all(m_dir); }

    struct Outcome {
        int termSignal = 0;
        double crashToExitMs = -1;
        std::string stdoutText, stderrText;
    };

    Outcome run(const std::vector<std::string>& args) {
        int out[2];
        EXPECT_EQ(::pipe(out), 0);
        const std::string errPath = m_dir + "/stderr.txt";
        std::vector<std::string> all{m_program};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        const std::string state = m_dir + "/state";
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            ::dup2(out[1], 1);
            const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            ::dup2(err, 2);
            ::close(out[0]);
            ::setenv("XDG_STATE_HOME", state.c_str(), 1);
            ::setenv("PULSE_SERVER", "unix:/nonexistent-tolvane-test", 1);
            ::setenv("TOLVANE_LOG_FILE", "", 1);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(out[1]);
        Outcome outcome;
        char buffer[256];
        for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) > 0;) outcome.stdoutText.append(buffer, n);
        ::close(out[0]);
        int status = 0;
        ::waitpid(pid, &status, 0);
        const std::int64_t ended = monotonicNs();
        if (WIFSIGNALED(status)) outcome.termSignal = WTERMSIG(status);
        const auto at = outcome.stdoutText.find("crashing ");
        if (at != std::string::npos)
            outcome.crashToExitMs = (ended - std::stoll(outcome.stdoutText.substr(at + 9))) / 1e6;
        outcome.stderrText = fileText(errPath);
        return outcome;
    }

    std::vector<std::string> dumps() const {
        std::vector<std::string> files;
        const std::string folder = m_program + ".dmp";
        if (fs::is_directory(folder))
            for (const auto& entry : fs::directory_iterator(folder))
                if (entry.path().extension() == ".dmp") files.push_back(entry.path().string());
        return files;
    }

    // The tool's calls, one line each, once the first has come and the
    // crashed process has been gone for a while.
    std::vector<std::string> toolCalls() const {
        const auto until = std::chrono::steady_clock::now() + 10s;
        while (!fs::exists(m_log) && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(20ms);
        std::this_thread::sleep_for(300ms);
        std::vector<std::string> lines;
        std::istringstream in(fileText(m_log));
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }

    // lldb's backtrace of the crashing thread and its module list.
    std::string lldbReport(const std::string& dump) const {
        return CMediaProbe::Run("lldb --no-lldbinit --batch -o 'target create -c " + dump + " " + m_program +
                                "' -o 'thread backtrace' -o 'image list' 2>&1");
    }

    // One crash: the signal, one dump lldb reads with the expected frames,
    // one call of the tool, the after-dump line.
    void expectReported(const std::vector<std::string>& args, int signal, const std::vector<std::string>& frames) {
        const Outcome outcome = run(args);
        EXPECT_EQ(outcome.termSignal, signal) << outcome.stderrText;
        const std::vector<std::string> files = dumps();
        ASSERT_EQ(files.size(), 1u);
        const auto size = fs::file_size(files[0]);
        std::cout << "crash " << args[0] << ": exit " << outcome.crashToExitMs << " ms after the crash, dump " << size
                  << " bytes" << std::endl;
        EXPECT_GT(size, 4096u);
        EXPECT_EQ(fileText(files[0]).substr(0, 4), "MDMP");
        const std::vector<std::string> calls = toolCalls();
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0], "/with_send");
        EXPECT_NE(outcome.stderrText.find("crash_report::afterDump, directory = " + m_tool), std::string::npos)
            << outcome.stderrText;

        const std::string report = lldbReport(files[0]);
        const std::size_t modules = report.find("image list");
        ASSERT_NE(modules, std::string::npos) << report;
        const std::string backtrace = report.substr(0, modules);
        for (const std::string& frame : frames)
            EXPECT_NE(backtrace.find(frame), std::string::npos) << "no frame " << frame << " in\n" << report;
        const std::string list = report.substr(modules);
        EXPECT_NE(list.find(m_program), std::string::npos) << report;
        EXPECT_NE(list.find("libc.so.6"), std::string::npos) << report;
        EXPECT_EQ(report.find("error:"), std::string::npos) << report;
    }

    std::string m_dir, m_program, m_tool, m_log;
};

TEST_F(CrashReports, NullWrite) { expectReported({"null"}, SIGSEGV, {"crashByNullWrite", "main"}); }

TEST_F(CrashReports, Abort) { expectReported({"abort"}, SIGABRT, {"abort", "crashByAbort", "main"}); }

// Needs the alternate signal stack: the thread's own stack is used up.
// The dump holds the top of the used-up stack: lldb unwinds several levels.
TEST_F(CrashReports, StackOverflow) {
    expectReported({"overflow"}, SIGSEGV, {"crashByRecursion(depth=", "crashcase.cpp"});
    const std::string report = lldbReport(dumps().at(0));
    std::size_t frames = 0;
    for (std::size_t at = 0; (at = report.find("crashByRecursion(depth=", at)) != std::string::npos; ++at) ++frames;
    EXPECT_GE(frames, 3u) << report;
}

TEST_F(CrashReports, SecondThread) {
    expectReported({"thread"}, SIGSEGV, {"crashByNullWrite", "crashOnSecondThread"});
}

// The engine's file up to the crash is an FLV that decodes.
TEST_F(CrashReports, DuringRecordingTheFileStaysPlayable) {
    const std::string flv = m_dir + "/recording.flv";
    expectReported({"recording", flv}, SIGSEGV, {"crashByNullWrite", "crashDuringRecording"});
    ASSERT_TRUE(fs::exists(flv));
    EXPECT_GT(CMediaProbe::CountPackets(flv, "v"), 10);
    EXPECT_EQ(CMediaProbe::DecodeErrors(flv), "");
}

TEST_F(CrashReports, WithoutTheToolTheDumpIsStillWritten) {
    fs::remove(m_tool);
    const Outcome outcome = run({"null"});
    EXPECT_EQ(outcome.termSignal, SIGSEGV);
    EXPECT_EQ(dumps().size(), 1u);
    EXPECT_EQ(outcome.stderrText.find("crash_report::afterDump"), std::string::npos);
    EXPECT_FALSE(fs::exists(m_log));
}

TEST_F(CrashReports, DumpFolderBesideTheProgramElseInTheStateFolder) {
    const Outcome outcome = run({"none"});
    EXPECT_EQ(outcome.stdoutText, m_program + ".dmp\n");
    EXPECT_TRUE(fs::is_directory(m_program + ".dmp"));

    // A program whose folder cannot take the dump folder (its "folder" is a
    // file): the per-user state folder.
    std::ofstream(m_dir + "/plainfile") << "x";
    const char* saved = std::getenv("XDG_STATE_HOME");
    const std::string previous = saved ? saved : "";
    ::setenv("XDG_STATE_HOME", (m_dir + "/state").c_str(), 1);
    EXPECT_EQ(CCrashHandler::chooseDumpFolder(m_dir + "/plainfile/tolvane"), m_dir + "/state/orvix/Tolvane/tolvane.dmp");
    EXPECT_TRUE(fs::is_directory(m_dir + "/state/orvix/Tolvane/tolvane.dmp"));
    if (saved) ::setenv("XDG_STATE_HOME", previous.c_str(), 1);
    else ::unsetenv("XDG_STATE_HOME");
    EXPECT_EQ(CCrashReportTool::toolPath("/opt/tolvane/bin/tolvane"), "/opt/tolvane/bin/Tellmark.app");
}

}  // namespace

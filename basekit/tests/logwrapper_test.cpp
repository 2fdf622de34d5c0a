#include "basekit/logwrapper.h"

#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cinttypes>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "logcapture.h"

extern char** environ;

namespace {

std::string HexPointer(const void* p) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%" PRIxPTR, reinterpret_cast<std::uintptr_t>(p));
    return buf;
}

int g_nEvaluations = 0;  // counts evaluations of a logged expression

int Evaluated() {
    return ++g_nEvaluations;
}

}  // namespace

// Named outside any namespace so that its qualified name is just the method.
class CLogProbe {
public:
    int LogThis() {
        UC_LOG_THIS(CLogWrapper::LOG_INFO, "value=" << 42 << ", text=" << std::string("x")); return __LINE__;
    }
    int AssertText() {
        UC_ASSERT_TEXT("m_pSink != nullptr"); return __LINE__;
    }
    bool operator<(int) const {
        UC_LOG(CLogWrapper::LOG_INFO, "less"); return true;
    }
    int AssertReturn(int value) {
        UC_ASSERTE_RETURN(value > 0, 10008);
        return 0;
    }
};

static int LogFree() {
    UC_LOG(CLogWrapper::LOG_WARNING, " --- failed, code=" << -5); return __LINE__;
}

TEST(LogWrapper, MacrosProduceTheLineForms) {
    CLogCapture capture;
    CLogProbe probe;
    int line = probe.LogThis();
    int freeLine = LogFree();
    int assertLine = probe.AssertText();
    EXPECT_EQ(probe.AssertReturn(1), 0);
    EXPECT_EQ(probe.AssertReturn(0), 10008);

    auto lines = capture.Lines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0].level, 2);
    EXPECT_EQ(lines[0].text, "[this=0x" + HexPointer(&probe) + "][CLogProbe::LogThis:" + std::to_string(line) +
                                 "][value=42, text=x]");
    EXPECT_EQ(lines[1].level, 1);
    EXPECT_EQ(lines[1].text, "[LogFree:" + std::to_string(freeLine) + "][ --- failed, code=-5]");
    EXPECT_EQ(lines[2].level, 0);
    EXPECT_EQ(lines[2].text, "[CLogProbe::AssertText:" + std::to_string(assertLine) + "][logwrapper_test.cpp:" +
                                 std::to_string(assertLine) + " Assert failed: m_pSink != nullptr]");
    EXPECT_EQ(lines[3].level, 0);
    EXPECT_NE(lines[3].text.find(" Assert failed: value > 0]"), std::string::npos) << lines[3].text;
    EXPECT_EQ(lines[3].text.rfind("[CLogProbe::AssertReturn:", 0), 0u) << lines[3].text;
}

// Operator functions keep their symbol in the logged name.
TEST(LogWrapper, OperatorFunctionsLogTheirQualifiedName) {
    struct CCallable {
        void operator()() { UC_LOG(CLogWrapper::LOG_INFO, "call"); }
    };
    CLogCapture capture;
    CLogProbe probe;
    (void)(probe < 1);
    CCallable()();
    auto lines = capture.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].text.rfind("[CLogProbe::operator<:", 0), 0u) << lines[0].text;
    EXPECT_NE(lines[1].text.find("CCallable::operator():"), std::string::npos) << lines[1].text;
}

TEST(LogWrapper, ThresholdDropsLinesBeforeTheyAreBuilt) {
    CLogCapture capture(CLogWrapper::LOG_WARNING);
    g_nEvaluations = 0;
    UC_LOG(CLogWrapper::LOG_INFO, "info " << Evaluated());
    UC_LOG(CLogWrapper::LOG_WARNING, "warning " << Evaluated());
    CLogWrapper::Instance()->WriteLog(CLogWrapper::LOG_INFO, 0, "direct info");
    CLogWrapper::Instance()->WriteLog(CLogWrapper::LOG_ERROR, 0, "direct error");
    EXPECT_EQ(g_nEvaluations, 1);
    auto lines = capture.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].text.find("[warning 1]"), std::string::npos);
    EXPECT_EQ(lines[1].text, "direct error");

    CLogWrapper::Instance()->SetLogLevel(7);
    EXPECT_EQ(CLogWrapper::Instance()->GetLogLevel(), CLogWrapper::LOG_INFO);
    CLogWrapper::Instance()->SetLogLevel(-3);
    EXPECT_EQ(CLogWrapper::Instance()->GetLogLevel(), CLogWrapper::LOG_ERROR);
}

TEST(LogWrapper, RecorderFormatsNumbersAndPointersAndCutsAt4096) {
    CLogWrapper::CRecorder r;
    r << INT_MIN << " " << UINT_MAX << " " << LLONG_MIN << " " << ULLONG_MAX << " " << static_cast<short>(-7) << " "
      << static_cast<const void*>(reinterpret_cast<void*>(0xABCDEF12)) << " " << static_cast<const char*>(nullptr);
    EXPECT_STREQ(r.c_str(), "-2147483648 4294967295 -9223372036854775808 18446744073709551615 -7 abcdef12 (null)");
    r.reset();
    EXPECT_EQ(r.size(), 0u);
    std::string big(5000, 'x');
    r << big << "tail";
    EXPECT_EQ(r.size(), 4095u);
    EXPECT_EQ(std::string(r.c_str()), big.substr(0, 4095));
}

TEST(LogWrapper, ConcurrentWritersDeliverWholeLines) {
    CLogCapture capture;
    constexpr int kThreads = 4, kLines = 500;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i) UC_LOG(CLogWrapper::LOG_INFO, "t" << t << " n" << i);
        });
    }
    for (auto& th : threads) th.join();
    std::set<std::string> seen;
    for (const auto& l : capture.Lines()) {
        auto pos = l.text.find("][t");
        ASSERT_NE(pos, std::string::npos) << l.text;
        seen.insert(l.text.substr(pos));
    }
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(kThreads * kLines));
}

// Runs in a child process started by LogWrapper.WritesTheFileNamedByTolvaneLogFile,
// because the logger reads its settings once per process.
TEST(LogWrapperChild, WritesLines) {
    const char* path = std::getenv("BASEKIT_LOG_CHILD");
    if (!path) GTEST_SKIP() << "only run as a child of WritesTheFileNamedByTolvaneLogFile";
    ASSERT_EQ(CLogWrapper::Instance()->GetLogFilePath(), path);
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 100; ++i) UC_LOG(CLogWrapper::LOG_ERROR, "file t" << t << " n" << i);
        });
    }
    for (auto& th : threads) th.join();
}

TEST(LogWrapper, WritesTheFileNamedByTolvaneLogFile) {
    char dir[] = "/tmp/basekit_log_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string path = std::string(dir) + "/test.log";

    std::vector<std::string> env = {"TOLVANE_LOG_FILE=" + path, "BASEKIT_LOG_CHILD=" + path, "TOLVANE_LOG_LEVEL=0"};
    for (char** e = environ; *e; ++e) {
        std::string entry = *e;
        if (entry.rfind("TOLVANE_LOG", 0) != 0 && entry.rfind("BASEKIT_LOG", 0) != 0) env.push_back(entry);
    }
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string exe = "/proc/self/exe", filter = "--gtest_filter=LogWrapperChild.WritesLines";
    char* argv[] = {exe.data(), filter.data(), nullptr};
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, exe.c_str(), nullptr, nullptr, argv, envp.data()), 0);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    std::ifstream in(path);
    std::set<std::string> seen;
    for (std::string line; std::getline(in, line);) {
        auto text = line.find("][file t");
        ASSERT_NE(text, std::string::npos) << line;
        EXPECT_EQ(line.back(), ']');
        seen.insert(line.substr(text));
    }
    EXPECT_EQ(seen.size(), 300u);
    std::remove(path.c_str());
    rmdir(dir);
}

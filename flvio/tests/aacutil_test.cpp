#include "flvio/aacutil.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "basekit/configreader.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<unsigned char>;

Bytes Config(const Bytes& adts, unsigned* lenOut = nullptr, int* rvOut = nullptr) {
    char out[8] = {0};
    unsigned len = 5;
    int rv = GetAACConfigureFromAdts(reinterpret_cast<const char*>(adts.data()),
                                     static_cast<unsigned>(adts.size()), out, &len);
    if (lenOut) *lenOut = len;
    if (rvOut) *rvOut = rv;
    return rv ? Bytes(out, out + len) : Bytes();
}

Bytes Adts(const Bytes& config, int objectType, unsigned payloadLen, int* lenOut = nullptr) {
    char out[7] = {0};
    int len = 7;
    if (!GetAdtsFromDecInfo(out, &len, config.data(), objectType, payloadLen)) return {};
    if (lenOut) *lenOut = len;
    return Bytes(out, out + 7);
}

TEST(AacUtil, ConfigurationFromAdts) {
    EXPECT_EQ((Bytes{0x12, 0x10}), Config({0xFF, 0xF1, 0x50, 0x80, 0x0D, 0x7F, 0xFC}));
    // ID bit set: explicit SBR extension at twice the rate (index 1, 88200 Hz).
    EXPECT_EQ((Bytes{0x12, 0x10, 0x56, 0xE5, 0x88}), Config({0xFF, 0xF9, 0x50, 0x80, 0x0D, 0x7F, 0xFC}));
    // 48000 Hz mono: doubled rate 96000 is index 0.
    EXPECT_EQ((Bytes{0x11, 0x88, 0x56, 0xE5, 0x80}), Config({0xFF, 0xF9, 0x4C, 0x40, 0, 0, 0}));
    // 7350 Hz has no doubled entry in the table: index 15.
    EXPECT_EQ((Bytes{0x16, 0x08, 0x56, 0xE5, 0xF8}), Config({0xFF, 0xF9, 0x70, 0x40, 0, 0, 0}));
    // Channel configuration 6 (5.1) at 44100 Hz.
    EXPECT_EQ((Bytes{0x12, 0x30}), Config({0xFF, 0xF1, 0x51, 0x80, 0, 0, 0}));

    unsigned len = 0;
    int rv = -1;
    EXPECT_EQ(Bytes(), Config({0xFF, 0xF1, 0x51, 0xC0, 0, 0, 0}, &len, &rv));  // channels 7
    EXPECT_EQ(0, rv);
    EXPECT_EQ(Bytes(), Config({0xFF, 0xF1, 0x74, 0x80, 0, 0, 0}, &len, &rv));  // index 13 (reserved)
    EXPECT_EQ(0, rv);

    const char adts[7] = {'\xFF', '\xF1', 0x50, '\x80', 0, 0, 0};
    char out[8];
    unsigned small = 4, enough = 5;
    EXPECT_EQ(0, GetAACConfigureFromAdts(adts, 7, out, &small));
    EXPECT_EQ(0, GetAACConfigureFromAdts(adts, 6, out, &enough));
    EXPECT_EQ(0, GetAACConfigureFromAdts(nullptr, 7, out, &enough));
    EXPECT_EQ(0, GetAACConfigureFromAdts(adts, 7, nullptr, &enough));
    EXPECT_EQ(0, GetAACConfigureFromAdts(adts, 7, out, nullptr));
    EXPECT_EQ(1, GetAACConfigureFromAdts(adts, 7, out, &enough));
    EXPECT_EQ(2u, enough);
}

TEST(AacUtil, AdtsFromConfiguration) {
    int len = 0;
    EXPECT_EQ((Bytes{0xFF, 0xF1, 0x50, 0x80, 0x0D, 0x7F, 0xFC}), Adts({0x12, 0x10}, 2, 100, &len));
    EXPECT_EQ(7, len);
    // Type 5: MPEG-2 header; channel configuration 2 gives 2 channels.
    EXPECT_EQ((Bytes{0xFF, 0xF9, 0x50, 0x80, 0x0D, 0x7F, 0xFC}), Adts({0x12, 0x10}, 5, 100, &len));
    // Type 5 with configuration 7 uses the table's 8 channels (bit 2 of 8 is 0).
    EXPECT_EQ((Bytes{0xFF, 0xF9, 0x50, 0x00, 0x0D, 0x7F, 0xFC}), Adts({0x12, 0x38}, 5, 100));
    // The largest frame ADTS can describe: 8191 bytes with the header.
    EXPECT_EQ((Bytes{0xFF, 0xF1, 0x50, 0x83, 0xFF, 0xFF, 0xFC}), Adts({0x12, 0x10}, 2, 8184));
    EXPECT_EQ(Bytes(), Adts({0x12, 0x10}, 2, 8185));
    EXPECT_EQ(Bytes(), Adts({0x12, 0x10}, 2, 0xFFFFFFF9u));

    char out[7];
    int small = 6, ok = 7;
    const unsigned char cfg[2] = {0x12, 0x10};
    EXPECT_EQ(0, GetAdtsFromDecInfo(out, &small, cfg, 2, 10));
    EXPECT_EQ(0, GetAdtsFromDecInfo(out, &ok, cfg, 1, 10));
    EXPECT_EQ(0, GetAdtsFromDecInfo(out, &ok, cfg, 29, 10));
    EXPECT_EQ(0, GetAdtsFromDecInfo(nullptr, &ok, cfg, 2, 10));
    EXPECT_EQ(0, GetAdtsFromDecInfo(out, nullptr, cfg, 2, 10));
    EXPECT_EQ(0, GetAdtsFromDecInfo(out, &ok, nullptr, 2, 10));
    // Type 2 leaves the length as the caller set it.
    int big = 9;
    EXPECT_EQ(1, GetAdtsFromDecInfo(out, &big, cfg, 2, 10));
    EXPECT_EQ(9, big);
}

TEST(AacUtil, AdtsConfigurationRoundTrip) {
    for (unsigned rate = 0; rate <= 12; ++rate) {
        for (unsigned channels = 1; channels <= 6; ++channels) {
            for (unsigned payload : {0u, 1u, 371u, 2047u, 8184u}) {
                unsigned frame = payload + 7;
                Bytes adts = {0xFF, 0xF1,
                              static_cast<unsigned char>(0x40 | (rate << 2) | (channels >> 2)),
                              static_cast<unsigned char>(((channels & 3) << 6) | (frame >> 11)),
                              static_cast<unsigned char>((frame >> 3) & 0xFF),
                              static_cast<unsigned char>(((frame & 7) << 5) | 0x1F), 0xFC};
                Bytes config = Config(adts);
                ASSERT_EQ(2u, config.size()) << rate << "/" << channels;
                EXPECT_EQ(adts, Adts(config, 2, payload)) << rate << "/" << channels << "/" << payload;
            }
        }
    }
}

// Runs `body` in a forked child with the given environment changes (empty
// value: unset) and returns what it printed. GetRPHome resolves once per
// process, so every variant needs a fresh one.
std::string InChild(const std::map<std::string, std::string>& env, const std::function<std::string()>& body) {
    int fds[2];
    if (pipe(fds) != 0) return "pipe failed";
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        for (const auto& [k, v] : env) {
            if (v.empty())
                unsetenv(k.c_str());
            else
                setenv(k.c_str(), v.c_str(), 1);
        }
        CConfigReader::Reload();
        std::string out = body();
        ssize_t n = write(fds[1], out.data(), out.size());
        _exit(n == static_cast<ssize_t>(out.size()) ? 0 : 1);
    }
    close(fds[1]);
    std::string out;
    char buf[512];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof(buf))) > 0) out.append(buf, static_cast<std::size_t>(n));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    return out;
}

class TempFolder {
public:
    TempFolder() {
        std::string pattern = (fs::temp_directory_path() / "aacutil_test_XXXXXX").string();
        m_path = mkdtemp(pattern.data()) ? pattern : std::string();
    }
    ~TempFolder() {
        std::error_code ec;
        fs::remove_all(m_path, ec);
    }
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
};

std::string RecordHome() { return GetRPHome(0); }
std::string CacheHome() { return GetRPHome(1); }

TEST(AacUtil, RecordHomeSources) {
    TempFolder tmp;
    std::string ini = tmp.Path() + "/tolvane.ini";
    std::ofstream(ini) << "[general]\nrecordpath=/data/records\n";
    std::string emptyIni = tmp.Path() + "/empty.ini";
    std::ofstream(emptyIni) << "[general]\nrecordpath=\n";
    std::string none = tmp.Path() + "/none.ini";

    EXPECT_EQ("/data/records/", InChild({{"TOLVANE_CONFIG", ini}, {"QX_RECORD_HOME", "/env/rec"}}, RecordHome));
    EXPECT_EQ("/env/rec/", InChild({{"TOLVANE_CONFIG", none}, {"QX_RECORD_HOME", "/env/rec"}}, RecordHome));
    EXPECT_EQ("/env/rec2/", InChild({{"TOLVANE_CONFIG", none}, {"QX_RECORD_HOME", "/env/rec2/"}}, RecordHome));
    // An empty configured value counts as missing.
    EXPECT_EQ("/env/rec/", InChild({{"TOLVANE_CONFIG", emptyIni}, {"QX_RECORD_HOME", "/env/rec"}}, RecordHome));
    EXPECT_EQ("/home/tester/", InChild({{"TOLVANE_CONFIG", none}, {"QX_RECORD_HOME", ""}, {"HOME", "/home/tester"}},
                                       RecordHome));
    // Resolved once: later changes do not matter, the text stays the same.
    EXPECT_EQ("same", InChild({{"TOLVANE_CONFIG", none}, {"QX_RECORD_HOME", "/a"}}, [] {
                  const char* first = GetRPHome(0);
                  setenv("QX_RECORD_HOME", "/b", 1);
                  const char* second = GetRPHome(0);
                  return std::string(first == second && std::string(second) == "/a/" ? "same" : "changed");
              }));
}

TEST(AacUtil, CacheHomeInProgramFolder) {
    std::string expect = std::string(CConfigReader::GetProcRunHome()) + "/cache/recordplay/";
    EXPECT_EQ(expect, InChild({{"QX_CACHE_HOME", "/env/cache"}}, CacheHome));
    EXPECT_TRUE(fs::is_directory(expect));
}

// Prints the cache home to the file named by $AACUTIL_CACHE_OUT; run by
// CacheHomeFallbacks from a copy of this program.
TEST(AacUtil, DISABLED_PrintCacheHome) {
    const char* out = getenv("AACUTIL_CACHE_OUT");
    ASSERT_NE(nullptr, out);
    std::ofstream(out) << GetRPHome(1);
}

TEST(AacUtil, CacheHomeFallbacksWhenProgramFolderIsNotWritable) {
    // A copy of this program in a folder where "cache" is a plain file, so
    // that the cache folders cannot be made beside the program.
    TempFolder tmp;
    std::string bin = tmp.Path() + "/bin";
    fs::create_directories(bin);
    std::error_code ec;
    fs::copy_file("/proc/self/exe", bin + "/flvio_tests", ec);
    ASSERT_FALSE(ec) << ec.message();
    fs::permissions(bin + "/flvio_tests", fs::perms::owner_all);
    std::ofstream(bin + "/cache") << "not a folder";
    std::string outFile = tmp.Path() + "/out.txt";

    auto run = [&](const std::map<std::string, std::string>& env) {
        // env takes its -u options before the assignments.
        std::string cmd = "env";
        for (const auto& [k, v] : env)
            if (v.empty()) cmd += " -u " + k;
        for (const auto& [k, v] : env)
            if (!v.empty()) cmd += " " + k + "='" + v + "'";
        cmd += " AACUTIL_CACHE_OUT='" + outFile + "' '" + bin +
               "/flvio_tests' --gtest_also_run_disabled_tests --gtest_filter=AacUtil.DISABLED_PrintCacheHome"
               " > /dev/null 2>&1";
        fs::remove(outFile);
        EXPECT_EQ(0, std::system(cmd.c_str()));
        std::ifstream in(outFile);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    };

    EXPECT_EQ("/env/cache/", run({{"QX_CACHE_HOME", "/env/cache"}}));
    std::string xdg = tmp.Path() + "/xdg";
    EXPECT_EQ(xdg + "/orvix/Tolvane/recordplay/", run({{"QX_CACHE_HOME", ""}, {"XDG_CACHE_HOME", xdg}}));
    EXPECT_TRUE(fs::is_directory(xdg + "/orvix/Tolvane/recordplay"));
    std::string home = tmp.Path() + "/home";
    fs::create_directories(home);
    EXPECT_EQ(home + "/.cache/orvix/Tolvane/recordplay/",
              run({{"QX_CACHE_HOME", ""}, {"XDG_CACHE_HOME", ""}, {"HOME", home}}));
    // Nothing can be created: the home folder itself.
    std::ofstream(tmp.Path() + "/blocked") << "file";
    std::string blocked = tmp.Path() + "/blocked";
    EXPECT_EQ(home + "/", run({{"QX_CACHE_HOME", ""}, {"XDG_CACHE_HOME", blocked}, {"HOME", home}}));
}

}  // namespace

#include "basekit/configreader.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

// Sets or unsets an environment variable for the life of the object.
class CScopedEnv {
public:
    CScopedEnv(const char* name, const char* value) : m_strName(name) {
        if (const char* old = std::getenv(name)) m_old = old;
        value ? setenv(name, value, 1) : unsetenv(name);
    }
    ~CScopedEnv() { m_old ? setenv(m_strName.c_str(), m_old->c_str(), 1) : unsetenv(m_strName.c_str()); }
    CScopedEnv(const CScopedEnv&) = delete;
    CScopedEnv& operator=(const CScopedEnv&) = delete;

private:
    std::string m_strName;
    std::optional<std::string> m_old;
};

class ConfigReaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        char path[] = "/tmp/basekit_ini_XXXXXX";
        int fd = mkstemp(path);
        ASSERT_GE(fd, 0);
        close(fd);
        m_strPath = path;
        m_env.emplace("TOLVANE_CONFIG", path);
        WriteIni(
            "\xEF\xBB\xBF; a comment\n"
            "[General]\r\n"
            "  RecordPath =  /home/u/rec dir  \r\n"
            "# recordpath=/commented\n"
            "empty=\n"
            "no equals sign\n"
            "[ other ]\n"
            "recordpath=/other\n"
            "key=a=b\n");
    }
    void TearDown() override {
        m_env.reset();
        std::remove(m_strPath.c_str());
        CConfigReader::Reload();
    }
    void WriteIni(const std::string& text) {
        std::ofstream(m_strPath, std::ios::binary) << text;
        CConfigReader::Reload();
    }
    std::string Get(const char* section, const char* key, int* found = nullptr, const char* def = "dflt") {
        char buf[256];
        std::memset(buf, 'X', sizeof buf);
        int rv = CConfigReader::GetStringParam(section, key, buf, sizeof buf, def);
        if (found) *found = rv;
        return buf;
    }

    std::string m_strPath;
    std::optional<CScopedEnv> m_env;
};

}  // namespace

TEST_F(ConfigReaderTest, FindsValuesCaseInsensitivelyAndTrimmed) {
    EXPECT_EQ(CConfigReader::GetConfigPath(), m_strPath);
    int found = 0;
    EXPECT_EQ(Get("general", "recordpath", &found), "/home/u/rec dir");
    EXPECT_NE(found, 0);
    EXPECT_EQ(Get("GENERAL", "RECORDPATH"), "/home/u/rec dir");
    EXPECT_EQ(Get("other", "recordpath"), "/other");
    EXPECT_EQ(Get("other", "key"), "a=b");
    EXPECT_EQ(Get("general", "empty", &found), "");
    EXPECT_NE(found, 0);
    EXPECT_EQ(Get("general", "missing", &found), "dflt");
    EXPECT_EQ(found, 0);
    EXPECT_EQ(Get("nosection", "recordpath", &found, nullptr), "");
    EXPECT_EQ(found, 0);
    EXPECT_EQ(Get(nullptr, "recordpath", &found), "dflt");
    EXPECT_EQ(found, 0);
}

TEST_F(ConfigReaderTest, CutsLongValuesToTheBuffer) {
    char small[5];
    EXPECT_NE(CConfigReader::GetStringParam("general", "recordpath", small, sizeof small, nullptr), 0);
    EXPECT_STREQ(small, "/hom");
    char untouched = 'U';
    EXPECT_NE(CConfigReader::GetStringParam("general", "recordpath", &untouched, 0, nullptr), 0);
    EXPECT_EQ(untouched, 'U');
}

TEST_F(ConfigReaderTest, ReadsOnceUntilReloadAndLoadsSafelyFromManyThreads) {
    EXPECT_EQ(Get("general", "recordpath"), "/home/u/rec dir");
    std::ofstream(m_strPath, std::ios::binary) << "[general]\nrecordpath=/changed\n";
    EXPECT_EQ(Get("general", "recordpath"), "/home/u/rec dir");  // already loaded
    CConfigReader::Reload();
    std::vector<std::thread> threads;
    std::vector<std::string> values(4);
    for (int i = 0; i < 4; ++i) threads.emplace_back([&, i] { values[i] = Get("general", "recordpath"); });
    for (auto& t : threads) t.join();
    for (const auto& v : values) EXPECT_EQ(v, "/changed");

    std::remove(m_strPath.c_str());
    CConfigReader::Reload();
    EXPECT_EQ(Get("general", "recordpath"), "dflt");
}

TEST(ConfigReader, ConfigPathFollowsTheEnvironment) {
    CScopedEnv config("TOLVANE_CONFIG", nullptr);
    {
        CScopedEnv xdg("XDG_CONFIG_HOME", "/xdg/conf");
        EXPECT_EQ(CConfigReader::GetConfigPath(), "/xdg/conf/orvix/Tolvane/tolvane.ini");
    }
    CScopedEnv home("HOME", "/home/someone");
    for (const char* xdg : {static_cast<const char*>(nullptr), "", "relative/dir"}) {
        CScopedEnv unset("XDG_CONFIG_HOME", xdg);
        EXPECT_EQ(CConfigReader::GetConfigPath(), "/home/someone/.config/orvix/Tolvane/tolvane.ini");
    }
}

TEST(ConfigReader, ProcRunHomeIsTheProgramFolder) {
    char exe[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", exe, sizeof exe - 1), 0);
    std::string expected(exe);
    expected.erase(expected.find_last_of('/'));
    const char* home = CConfigReader::GetProcRunHome();
    ASSERT_NE(home, nullptr);
    EXPECT_EQ(home, expected);
    EXPECT_EQ(CConfigReader::GetProcRunHome(), home);
}

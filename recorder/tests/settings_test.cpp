#include "settings.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "autostartentry.h"
#include "hotkeyregistrar.h"
#include "messagepresenter.h"
#include "registrystore.h"
#include "testfolder.h"
#include "userfolders.h"

namespace {

class FakeHotkeys : public IHotkeyRegistrar {
public:
    Result registerHotkey(int id, unsigned virtualKey) override {
        registered.push_back({id, virtualKey});
        return nextResult;
    }
    bool unregisterHotkey(int id) override {
        unregistered.push_back(id);
        return unregisterSucceeds;
    }
    struct Call {
        int id;
        unsigned key;
    };
    std::vector<Call> registered;
    std::vector<int> unregistered;
    Result nextResult = HOTKEY_REGISTERED;
    bool unregisterSucceeds = true;
};

class FakeMessages : public IMessagePresenter {
public:
    int showMessage(const char* textKey, const char* captionKey, Icon icon, Buttons buttons) override {
        shown.push_back({textKey, captionKey, icon, buttons});
        return ANSWER_OK;
    }
    struct Shown {
        std::string text;
        std::string caption;
        Icon icon;
        Buttons buttons;
    };
    std::vector<Shown> shown;
};

// A user with a fresh home and configuration folder.
class SettingsTest : public ::testing::Test {
protected:
    SettingsTest()
        : m_home(m_folder.file("home")),
          m_config(m_folder.file("config")),
          m_envHome("HOME", m_home.c_str()),
          m_envConfig("XDG_CONFIG_HOME", m_config.c_str()),
          m_envDocuments("XDG_DOCUMENTS_DIR", nullptr) {
        m_folder.makeFolder("home");
    }

    std::unique_ptr<CSettings> makeSettings() {
        CSettings::Locations locations = CSettings::Locations::forCurrentUser();
        locations.programPath = "/opt/tolvane/bin/tolvane";
        return std::make_unique<CSettings>(locations);
    }
    std::string registryPath() const { return m_config + "/orvix/Tolvane/registry.ini"; }
    void writeRegistry(const std::string& values) const {
        m_folder.write("config/orvix/Tolvane/registry.ini", "[SOFTWARE\\orvix\\Tolvane]\n" + values);
    }
    void writeUserConfig(const std::string& content) const {
        m_folder.write("config/orvix/Tolvane/userconfig.ini", content);
    }
    std::string userConfig() const { return m_folder.read("config/orvix/Tolvane/userconfig.ini"); }
    // The stored number, or -1 when absent or of the other type.
    long long storedNumber(const char* name) const {
        CRegistryStore store(registryPath());
        std::uint32_t value = 0;
        return store.open() && store.readNumber(name, value) ? static_cast<long long>(value) : -1;
    }

    CTestFolder m_folder;
    std::string m_home;
    std::string m_config;
    CScopedEnv m_envHome;
    CScopedEnv m_envConfig;
    CScopedEnv m_envDocuments;
};

TEST_F(SettingsTest, UserFilesLiveInTheXdgConfigFolder) {
    CSettings::Locations locations = CSettings::Locations::forCurrentUser();
    EXPECT_EQ(locations.registryFile, m_config + "/orvix/Tolvane/registry.ini");
    EXPECT_EQ(locations.userConfigFile, m_config + "/orvix/Tolvane/userconfig.ini");
    EXPECT_EQ(locations.autostartFile, m_config + "/autostart/tolvane.desktop");
    EXPECT_FALSE(locations.programPath.empty());
    {
        CScopedEnv relative("XDG_CONFIG_HOME", "relative/config");
        EXPECT_EQ(CUserFolders::configHome(), m_home + "/.config");
    }
    CScopedEnv unset("XDG_CONFIG_HOME", nullptr);
    EXPECT_EQ(CUserFolders::settingsFolder(), m_home + "/.config/orvix/Tolvane");
}

TEST_F(SettingsTest, AFreshUserGetsTheDefaults) {
    auto settings = makeSettings();
    settings->loadRegistrySettings();
    settings->loadLocalConfig();
    EXPECT_EQ(settings->outputFolder, m_home) << "no Documents folder: the home folder";
    EXPECT_EQ(settings->audioInputName, "");
    EXPECT_EQ(settings->audioOutputName, "");
    EXPECT_FALSE(settings->disableAudioInput);
    EXPECT_FALSE(settings->disableAudioOutput);
    EXPECT_FALSE(settings->hotkeyF9);
    EXPECT_FALSE(settings->hotkeyF10);
    EXPECT_EQ(settings->gamma, 100);
    EXPECT_FALSE(settings->saveAudioDump);
    EXPECT_EQ(settings->recordType, 0);
    EXPECT_EQ(settings->regionRect.left, -1) << "a rectangle never read keeps left -1";
    EXPECT_FALSE(settings->loadBarPosition().has_value());
    EXPECT_FALSE(settings->isAutoStart());

    m_folder.makeFolder("home/Documents");
    auto again = makeSettings();
    again->loadRegistrySettings();
    EXPECT_EQ(again->outputFolder, m_home + "/Documents");
}

TEST_F(SettingsTest, TheDocumentsFolderComesFromXdgUserDirs) {
    if (::access("/usr/bin/xdg-user-dir", X_OK) != 0) GTEST_SKIP() << "xdg-user-dir is not installed";
    m_folder.makeFolder("home/Dokumente");
    m_folder.makeFolder("home/Documents");
    m_folder.write("config/user-dirs.dirs", "XDG_DOCUMENTS_DIR=\"$HOME/Dokumente\"\n");
    EXPECT_EQ(CUserFolders::documentsFolder(), m_home + "/Dokumente");
    // A configured folder that does not exist falls back.
    m_folder.write("config/user-dirs.dirs", "XDG_DOCUMENTS_DIR=\"$HOME/Missing\"\n");
    EXPECT_EQ(CUserFolders::documentsFolder(), m_home + "/Documents");
}

TEST_F(SettingsTest, EveryRegistryValueSurvivesASaveAndLoad) {
    auto settings = makeSettings();
    settings->outputFolder = "/media/录像/My Videos=;#[1]";
    settings->audioInputName = "USB Mic - Front\n(2)";
    settings->audioOutputName = CSettings::kDefaultDeviceName;
    settings->disableAudioInput = true;
    settings->disableAudioOutput = true;
    settings->gamma = 0;
    settings->saveAudioDump = true;
    settings->hotkeyF9 = true;  // hotkeys are stored by setHotkeyF9/F10 only
    ASSERT_TRUE(settings->saveRegistrySettings());

    auto loaded = makeSettings();
    loaded->loadRegistrySettings();
    EXPECT_EQ(loaded->outputFolder, settings->outputFolder);
    EXPECT_EQ(loaded->audioInputName, settings->audioInputName);
    EXPECT_EQ(loaded->audioOutputName, "default device");
    EXPECT_TRUE(loaded->disableAudioInput);
    EXPECT_TRUE(loaded->disableAudioOutput);
    EXPECT_EQ(loaded->gamma, 0);
    EXPECT_TRUE(loaded->saveAudioDump);
    EXPECT_FALSE(loaded->hotkeyF9);
    EXPECT_EQ(storedNumber(CSettings::kHotkeyF9), -1);

    settings->gamma = 200;
    settings->disableAudioInput = false;
    ASSERT_TRUE(settings->saveRegistrySettings());
    loaded->loadRegistrySettings();
    EXPECT_EQ(loaded->gamma, 200);
    EXPECT_FALSE(loaded->disableAudioInput);
    EXPECT_EQ(storedNumber(CSettings::kGamma), 200);
    EXPECT_EQ(storedNumber(CSettings::kDisableAudioInput), 0);
}

TEST_F(SettingsTest, RegistryValuesOfTheWrongTypeOrShapeAreIgnored) {
    writeRegistry(
        "App_Gamma=sz:50\n"
        "App_SaveMp3=sz:1\n"
        "TolvaneF9=sz:1\n"
        "App_DisAudioInput=dword:7\n"
        "App_OutputFolder=dword:3\n"
        "App_AudioInput=sz:\n"
        "App_AudioOutput=sz:Speakers\\qbroken\n");
    auto settings = makeSettings();
    settings->loadRegistrySettings();
    EXPECT_EQ(settings->gamma, 100);
    EXPECT_FALSE(settings->saveAudioDump);
    EXPECT_FALSE(settings->hotkeyF9);
    EXPECT_TRUE(settings->disableAudioInput) << "any non-zero number is on";
    EXPECT_EQ(settings->outputFolder, m_home);
    EXPECT_EQ(settings->audioInputName, "");
    EXPECT_EQ(settings->audioOutputName, "");

    writeRegistry("App_Gamma=dword:4294967295\nApp_OutputFolder=sz:\nTolvaneF10=dword:1\n");
    auto negative = makeSettings();
    negative->loadRegistrySettings();
    EXPECT_EQ(negative->gamma, 0);
    EXPECT_EQ(negative->outputFolder, m_home) << "an empty folder becomes the Documents folder";
    EXPECT_TRUE(negative->hotkeyF10);
    writeRegistry("App_Gamma=dword:5000\nApp_OutputFolder=sz:" + std::string(1024, 'p') + "\n");
    auto large = makeSettings();
    large->loadRegistrySettings();
    EXPECT_EQ(large->gamma, 200);
    EXPECT_EQ(large->outputFolder, m_home) << "a text too long for the read buffer is not taken";
}

TEST_F(SettingsTest, SavingFailsWhenTheStoreCannotBeCreated) {
    m_folder.write("config/orvix", "a file where the folder should be");
    auto settings = makeSettings();
    EXPECT_FALSE(settings->saveRegistrySettings());
    EXPECT_FALSE(settings->saveRecordType());
}

TEST_F(SettingsTest, HotkeyF9ConflictWarnsAndStoresNothing) {
    FakeHotkeys hotkeys;
    FakeMessages messages;
    auto settings = makeSettings();
    settings->attachHotkeys(&hotkeys, &messages);
    hotkeys.nextResult = IHotkeyRegistrar::HOTKEY_ALREADY_REGISTERED;
    EXPECT_FALSE(settings->setHotkeyF9(true));
    ASSERT_EQ(hotkeys.registered.size(), 1u);
    EXPECT_EQ(hotkeys.registered[0].id, 1126);
    EXPECT_EQ(hotkeys.registered[0].key, 0x78u);
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_EQ(messages.shown[0].text, "ID_TEXT_HOTKEY_F9_TIPS");
    EXPECT_EQ(messages.shown[0].caption, "ID_TEXT_TIPS");
    EXPECT_EQ(messages.shown[0].icon, IMessagePresenter::ICON_WARNING);
    EXPECT_FALSE(settings->hotkeyF9);
    EXPECT_EQ(storedNumber(CSettings::kHotkeyF9), -1);

    // With a stored 0 the value stays 0; any other failure shows nothing.
    writeRegistry("TolvaneF9=dword:0\n");
    hotkeys.nextResult = IHotkeyRegistrar::HOTKEY_FAILED;
    EXPECT_FALSE(settings->setHotkeyF9(true));
    EXPECT_EQ(messages.shown.size(), 1u);
    EXPECT_EQ(storedNumber(CSettings::kHotkeyF9), 0);
}

TEST_F(SettingsTest, HotkeysTurnOnAndOffAndAreStoredAtOnce) {
    FakeHotkeys hotkeys;
    FakeMessages messages;
    auto settings = makeSettings();
    settings->attachHotkeys(&hotkeys, &messages);
    EXPECT_TRUE(settings->setHotkeyF9(true));
    EXPECT_TRUE(settings->setHotkeyF10(true));
    EXPECT_TRUE(settings->hotkeyF9);
    EXPECT_TRUE(settings->hotkeyF10);
    EXPECT_EQ(storedNumber(CSettings::kHotkeyF9), 1);
    EXPECT_EQ(storedNumber(CSettings::kHotkeyF10), 1);
    ASSERT_EQ(hotkeys.registered.size(), 2u);
    EXPECT_EQ(hotkeys.registered[1].id, 1127);
    EXPECT_EQ(hotkeys.registered[1].key, 0x79u);
    EXPECT_TRUE(settings->setHotkeyF9(true)) << "already active: no second grab";
    EXPECT_EQ(hotkeys.registered.size(), 2u);

    // A release the server refuses keeps the hotkey on.
    hotkeys.unregisterSucceeds = false;
    EXPECT_TRUE(settings->setHotkeyF10(false));
    EXPECT_EQ(storedNumber(CSettings::kHotkeyF10), 1);
    hotkeys.unregisterSucceeds = true;
    EXPECT_FALSE(settings->setHotkeyF10(false));
    EXPECT_FALSE(settings->hotkeyF10);
    EXPECT_EQ(storedNumber(CSettings::kHotkeyF10), 0);

    // The next start grabs what was stored; closing releases it.
    auto next = makeSettings();
    FakeHotkeys nextHotkeys;
    next->attachHotkeys(&nextHotkeys, &messages);
    next->loadRegistrySettings();
    next->registerSavedHotkeys();
    ASSERT_EQ(nextHotkeys.registered.size(), 1u);
    EXPECT_EQ(nextHotkeys.registered[0].id, 1126);
    EXPECT_TRUE(next->isHotkeyF9Active());
    next->unregisterHotkeys();
    EXPECT_EQ(nextHotkeys.unregistered, std::vector<int>{1126});
    EXPECT_FALSE(next->isHotkeyF9Active());
    EXPECT_TRUE(messages.shown.empty());
}

TEST_F(SettingsTest, AHotkeyTakenAtStartWarnsAndCanStillBeSwitchedOff) {
    writeRegistry("TolvaneF9=dword:1\nTolvaneF10=dword:1\n");
    FakeHotkeys hotkeys;
    FakeMessages messages;
    auto settings = makeSettings();
    settings->attachHotkeys(&hotkeys, &messages);
    settings->loadRegistrySettings();
    hotkeys.nextResult = IHotkeyRegistrar::HOTKEY_ALREADY_REGISTERED;
    settings->registerSavedHotkeys();
    ASSERT_EQ(messages.shown.size(), 2u);
    EXPECT_EQ(messages.shown[0].text, "ID_TEXT_HOTKEY_F9_TIPS");
    EXPECT_EQ(messages.shown[1].text, "ID_TEXT_HOTKEY_F10_TIPS");
    EXPECT_FALSE(settings->isHotkeyF10Active());
    // Unticking it in the settings dialog is stored although nothing was grabbed.
    EXPECT_FALSE(settings->setHotkeyF10(false));
    EXPECT_TRUE(hotkeys.unregistered.empty());
    EXPECT_EQ(storedNumber(CSettings::kHotkeyF10), 0);
    EXPECT_EQ(storedNumber(CSettings::kHotkeyF9), 1);
}

TEST_F(SettingsTest, AutoStartWritesAndRemovesTheDesktopEntry) {
    auto settings = makeSettings();
    const std::string entry = m_config + "/autostart/tolvane.desktop";
    EXPECT_TRUE(settings->setAutoStart(false)) << "nothing to remove";
    ASSERT_TRUE(settings->setAutoStart(true));
    EXPECT_TRUE(settings->isAutoStart());
    std::string content = m_folder.read("config/autostart/tolvane.desktop");
    EXPECT_EQ(content.rfind("[Desktop Entry]\n", 0), 0u);
    EXPECT_NE(content.find("\nType=Application\n"), std::string::npos);
    EXPECT_NE(content.find("\nExec=\"/opt/tolvane/bin/tolvane\"\n"), std::string::npos);
    ASSERT_TRUE(settings->setAutoStart(false));
    EXPECT_FALSE(settings->isAutoStart());
    EXPECT_FALSE(m_folder.exists("config/autostart/tolvane.desktop"));

    // Hidden entries and entries without a program are off.
    m_folder.write("config/autostart/tolvane.desktop", "[Desktop Entry]\nExec=/x\nHidden=true\n");
    EXPECT_FALSE(settings->isAutoStart());
    m_folder.write("config/autostart/tolvane.desktop", "[Desktop Entry]\nExec=\n");
    EXPECT_FALSE(settings->isAutoStart());
    m_folder.write("config/autostart/tolvane.desktop", "[Other]\nExec=/x\n");
    EXPECT_FALSE(settings->isAutoStart());
}

TEST(AutoStartEntry, ExecQuotesThePathAsDesktopEntriesRequire) {
    EXPECT_EQ(CAutoStartEntry::execValue("/usr/bin/tolvane"), "\"/usr/bin/tolvane\"");
    EXPECT_EQ(CAutoStartEntry::execValue("/home/a b/100%/$x`y\"z\\w"),
              "\"/home/a b/100%%/\\\\$x\\\\`y\\\\\"z\\\\\\\\w\"");
    EXPECT_EQ(CAutoStartEntry::execValue("/tmp/new\nline"), "\"/tmp/new\\nline\"");
    CTestFolder folder;
    EXPECT_FALSE(CAutoStartEntry(folder.file("e.desktop")).enable("")) << "no program, no entry";
}

TEST_F(SettingsTest, RecordTypeAndRegionFollowTheIniRules) {
    auto settings = makeSettings();
    writeUserConfig("[LOCAL_CONFIG]\nRECORD.TYPE=5\n");
    settings->loadLocalConfig();
    EXPECT_EQ(settings->recordType, 0);
    EXPECT_EQ(settings->regionRect.left, -1);

    writeUserConfig("[local_config]\r\nrgn_pos_1.1 = 10,20,650,380\r\nRECORD.TYPE=1\r\n");
    settings->loadLocalConfig();
    EXPECT_EQ(settings->recordType, 1);
    EXPECT_EQ(settings->regionRect.left, 10);
    EXPECT_EQ(settings->regionRect.top, 20);
    EXPECT_EQ(settings->regionRect.right, 650);
    EXPECT_EQ(settings->regionRect.bottom, 380);

    for (const char* type : {"-1", "2", "abc", "99999999999"}) {
        writeUserConfig(std::string("[LOCAL_CONFIG]\nRECORD.TYPE=") + type + "\n");
        settings->recordType = 1;
        settings->loadLocalConfig();
        EXPECT_EQ(settings->recordType, 0) << type;
    }
    // An empty value counts as absent.
    writeUserConfig("[LOCAL_CONFIG]\nRECORD.TYPE=\nRGN_POS_1.1=\n");
    settings->recordType = 1;
    settings->regionRect = RegionRect{};
    settings->loadLocalConfig();
    EXPECT_EQ(settings->recordType, 1);
    EXPECT_EQ(settings->regionRect.left, -1);

    settings->recordType = 1;
    ASSERT_TRUE(settings->saveRecordType());
    ASSERT_TRUE(settings->saveRegionRect(RegionRect{-1920, 0, -640, 720}));
    auto loaded = makeSettings();
    loaded->loadLocalConfig();
    EXPECT_EQ(loaded->recordType, 1);
    EXPECT_EQ(loaded->regionRect.left, -1920);
    EXPECT_EQ(loaded->regionRect.right, -640);
    EXPECT_EQ(loaded->regionRect.bottom, 720);
    EXPECT_NE(userConfig().find("RGN_POS_1.1=-1920,0,-640,720\n"), std::string::npos);
}

TEST(SettingsParsing, RectangleNumbersStartOneCharacterAfterThePreviousOne) {
    auto same = [](const RegionRect& r, int l, int t, int ri, int b) {
        return r.left == l && r.top == t && r.right == ri && r.bottom == b;
    };
    EXPECT_TRUE(same(CSettings::parseRect("10,20,30,40"), 10, 20, 30, 40));
    EXPECT_TRUE(same(CSettings::parseRect("10;20x30 40"), 10, 20, 30, 40)) << "any separator";
    EXPECT_TRUE(same(CSettings::parseRect("10, 20 ,30,40"), 10, 20, 0, 30));
    EXPECT_TRUE(same(CSettings::parseRect("1,2"), 1, 2, 0, 0)) << "nothing is read past the end";
    EXPECT_TRUE(same(CSettings::parseRect("7"), 7, 0, 0, 0));
    EXPECT_TRUE(
        same(CSettings::parseRect("99999999999,-99999999999,+5,-0"), 2147483647, -2147483647 - 1, 5, 0));
    EXPECT_EQ(CSettings::parseInt("  -42px"), -42);
    EXPECT_EQ(CSettings::parseInt("x1"), 0);
    EXPECT_EQ(CSettings::parseInt(""), 0);
}

TEST_F(SettingsTest, BarPositionIsSavedOnlyWhileVisible) {
    auto settings = makeSettings();
    EXPECT_FALSE(settings->saveBarPosition({300, 0}, false));
    EXPECT_FALSE(settings->loadBarPosition().has_value());
    ASSERT_TRUE(settings->saveBarPosition({-1500, 12}, true));
    auto position = settings->loadBarPosition();
    ASSERT_TRUE(position.has_value());
    EXPECT_EQ(position->x, -1500);
    EXPECT_EQ(position->y, 12);
    // A bar closed while hidden keeps its last saved position.
    EXPECT_FALSE(settings->saveBarPosition({10, -39}, false));
    position = settings->loadBarPosition();
    EXPECT_EQ(position->x, -1500);
    EXPECT_EQ(position->y, 12);

    writeUserConfig("[USER_POS]\nY_POS=-39\n");
    position = settings->loadBarPosition();
    ASSERT_TRUE(position.has_value()) << "the file exists: missing keys count as 0";
    EXPECT_EQ(position->x, 0);
    EXPECT_EQ(position->y, 0) << "Y below 0 becomes 0";
}

TEST_F(SettingsTest, HostileUserConfigIsReadSafelyAndKeptWhenWriting) {
    std::string content = "\xEF\xBB\xBF; the user's notes\n[USER_POS]\nX_POS=1\nX_POS=2\n";
    content += "[LOCAL_CONFIG]\n\x01\x02\xff binary =\x80\n=no key\n[unclosed\n";
    content += "RGN_POS_1.1=" + std::string(300, '9') + "\n";
    content += "RECORD.TYPE=1" + std::string(300, '0') + "\n";
    content += "[LOCAL_CONFIG]\nRECORD.TYPE=1\n";
    writeUserConfig(content);
    auto settings = makeSettings();
    settings->loadLocalConfig();
    EXPECT_EQ(settings->regionRect.left, 2147483647);
    EXPECT_EQ(settings->regionRect.top, 0);
    EXPECT_EQ(settings->recordType, 0) << "the first section and key count";
    EXPECT_EQ(settings->loadBarPosition()->x, 1);

    settings->recordType = 1;
    ASSERT_TRUE(settings->saveRecordType());
    ASSERT_TRUE(settings->saveBarPosition({5, 6}, true));
    std::string after = userConfig();
    EXPECT_NE(after.find("; the user's notes\n"), std::string::npos);
    EXPECT_NE(after.find("[USER_POS]\nX_POS=5\nX_POS=2\nY_POS=6\n"), std::string::npos);
    EXPECT_NE(after.find("RECORD.TYPE=1\n[LOCAL_CONFIG]"), std::string::npos);
    settings->loadLocalConfig();
    EXPECT_EQ(settings->recordType, 1);

    // A file too large to read is not replaced.
    std::string huge(CIniFile::kMaxFileBytes + 1, '#');
    writeUserConfig(huge);
    EXPECT_FALSE(settings->saveRecordType());
    EXPECT_FALSE(settings->loadBarPosition().has_value());
    EXPECT_EQ(userConfig().size(), huge.size());
}

TEST_F(SettingsTest, WritesFollowASymbolicLinkAndLeaveNoTemporaryFiles) {
    m_folder.write("dotfiles/userconfig.ini", "[USER_POS]\nX_POS=1\n");
    m_folder.makeFolder("config/orvix/Tolvane");
    std::filesystem::create_symlink(m_folder.file("dotfiles/userconfig.ini"),
                                    m_config + "/orvix/Tolvane/userconfig.ini");
    auto settings = makeSettings();
    ASSERT_TRUE(settings->saveBarPosition({9, 9}, true));
    EXPECT_TRUE(std::filesystem::is_symlink(m_config + "/orvix/Tolvane/userconfig.ini"));
    EXPECT_NE(m_folder.read("dotfiles/userconfig.ini").find("X_POS=9"), std::string::npos);
    ASSERT_TRUE(settings->saveRegistrySettings());
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(m_config + "/orvix/Tolvane")) {
        names.push_back(e.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"registry.ini", "userconfig.ini"}));
}

}  // namespace

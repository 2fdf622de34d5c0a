// The three dialogs with real widgets: settings on temporary files, audio
// devices from a real engine on a private sound server (and from an
// engine whose listing fails), and screenshots of each in Chinese and
// English under the build folder's screenshots/.
#include <gtest/gtest.h>

#include <QDir>
#include <QLabel>
#include <QSlider>
#include <QTest>

#include <memory>
#include <thread>

#include "dlgaudiodevice.h"
#include "dlgcomfirmswitch.h"
#include "dlgsetting.h"
#include "hotkeyregistrar.h"
#include "languagetable.h"
#include "messagepresenter.h"
#include "pellbutton.h"
#include "pellcombopop.h"
#include "pellcombosel.h"
#include "pelledit.h"
#include "recengine/orvixavrecord.h"
#include "settings.h"
#include "support/pulseserver.h"
#include "testfolder.h"

namespace {

using namespace std::chrono_literals;

class CTestRegistrar : public IHotkeyRegistrar {
public:
    Result registerHotkey(int id, unsigned virtualKey) override {
        registered.push_back({id, virtualKey});
        return refuse ? HOTKEY_ALREADY_REGISTERED : HOTKEY_REGISTERED;
    }
    bool unregisterHotkey(int id) override {
        unregistered.push_back(id);
        return true;
    }
    std::vector<std::pair<int, unsigned>> registered;
    std::vector<int> unregistered;
    bool refuse = false;
};

class CTestMessages : public IMessagePresenter {
public:
    int showMessage(const char* textKey, const char* captionKey, Icon icon, Buttons) override {
        shown.push_back({textKey, captionKey, icon});
        return ANSWER_OK;
    }
    struct Shown {
        std::string text, caption;
        Icon icon;
    };
    std::vector<Shown> shown;
};

void loadLanguage(int index) { CLanguageTable::instance().load(index, TOLVANE_LANGUAGE_XML); }

QString tr(const char* key) { return QString::fromStdString(CLanguageTable::instance().lookup(key)); }

void click(QWidget* widget) { QTest::mouseClick(widget, Qt::LeftButton, {}, QPoint(6, widget->height() / 2)); }

void saveScreenshot(QWidget& dialog, const QString& name) {
    const QString folder = QStringLiteral(TOLVANE_SCREENSHOT_DIR);
    ASSERT_TRUE(QDir().mkpath(folder));
    EXPECT_TRUE(dialog.grab().save(folder + "/" + name));
}

// ---------------------------------------------------------------------------

class SettingDialog : public ::testing::Test {
protected:
    SettingDialog() : m_settings(locations()) {
        loadLanguage(CLanguageTable::LANGUAGE_ENGLISH);
        m_folder.makeFolder("videos");
        m_settings.outputFolder = m_folder.file("videos");
        m_settings.gamma = 120;
        m_settings.attachHotkeys(&m_registrar, &m_messages);
    }
    CSettings::Locations locations() const {
        CSettings::Locations where;
        where.registryFile = m_folder.file("registry.ini");
        where.userConfigFile = m_folder.file("userconfig.ini");
        where.autostartFile = m_folder.file("autostart/tolvane.desktop");
        where.programPath = "/opt/tolvane/bin/tolvane";
        return where;
    }
    std::unique_ptr<CDlgSetting> open() {
        auto dialog = std::make_unique<CDlgSetting>(nullptr, m_settings, "1.2.3.4");
        dialog->show();
        return dialog;
    }

    CTestFolder m_folder;
    CTestRegistrar m_registrar;
    CTestMessages m_messages;
    CSettings m_settings;
};

TEST_F(SettingDialog, OpeningClampsGammaAndFillsTheControls) {
    m_settings.gamma = 260;
    m_settings.saveAudioDump = true;
    m_settings.hotkeyF10 = true;
    auto dialog = open();
    EXPECT_EQ(m_settings.gamma, 200) << "the clamped value is stored";
    EXPECT_EQ(dialog->gammaBar()->value(), 200);
    EXPECT_EQ(dialog->gammaText()->text(), QString("200"));
    EXPECT_EQ(dialog->size(), QSize(500, 440));
    EXPECT_EQ(dialog->windowTitle(), tr("ID_TEXT_SETTING"));
    EXPECT_EQ(dialog->folderEdit()->text().toStdString(), m_settings.outputFolder);
    EXPECT_TRUE(dialog->saveAudioBox()->isChecked());
    EXPECT_FALSE(dialog->autoRunBox()->isChecked());
    EXPECT_FALSE(dialog->hotkeyF9Box()->isChecked());
    EXPECT_TRUE(dialog->hotkeyF10Box()->isChecked());

    dialog->gammaBar()->setValue(37);
    EXPECT_EQ(dialog->gammaText()->text(), QString("37"));
    m_settings.gamma = -4;
    auto second = open();
    EXPECT_EQ(m_settings.gamma, 0);
}

// On a Wayland desktop without the GlobalShortcuts portal the dialog says
// where F9 and F10 still work, between gamma and the buttons, in full.
TEST_F(SettingDialog, TheWaylandHotkeyNoteFitsBetweenGammaAndTheButtons) {
    for (int language : {CLanguageTable::LANGUAGE_SIMPLIFIED_CHINESE, CLanguageTable::LANGUAGE_TRADITIONAL_CHINESE,
                         CLanguageTable::LANGUAGE_ENGLISH}) {
        loadLanguage(language);
        auto dialog = open();
        EXPECT_EQ(dialog->hotkeyScopeNote(), nullptr);
        dialog->showHotkeyScopeNote();
        dialog->showHotkeyScopeNote();
        QLabel* note = dialog->hotkeyScopeNote();
        ASSERT_NE(note, nullptr);
        EXPECT_EQ(dialog->findChildren<QLabel*>().count(note), 1);
        EXPECT_EQ(note->text(), tr("ID_TEXT_HOTKEY_WAYLAND_TIP"));
        EXPECT_TRUE(note->isVisible());
        EXPECT_GE(note->geometry().top(), dialog->gammaBar()->geometry().bottom());
        EXPECT_LE(note->geometry().bottom(), dialog->saveButton()->geometry().top());
        EXPECT_LE(note->heightForWidth(note->width()), note->height()) << "the note is cut off in language " << language;
        if (language == CLanguageTable::LANGUAGE_ENGLISH) saveScreenshot(*dialog, QStringLiteral("dlg-setting-wayland-en.png"));
    }
}

TEST_F(SettingDialog, GammaTextOutsideTheRangeIsStoredAs200) {
    auto dialog = open();
    dialog->gammaText()->setText("250");
    click(dialog->saveButton());
    EXPECT_EQ(dialog->result(), CSkinDialog::ID_OK);
    EXPECT_EQ(m_settings.gamma, 200);
    EXPECT_EQ(CDlgSetting::gammaFromText("-1"), 200);
    EXPECT_EQ(CDlgSetting::gammaFromText("0"), 0);
    EXPECT_EQ(CDlgSetting::gammaFromText("200"), 200);
    EXPECT_EQ(CDlgSetting::gammaFromText("99"), 99);
}

TEST_F(SettingDialog, FolderTypedWithBlanksIsStoredTrimmed) {
    auto dialog = open();
    dialog->folderEdit()->clear();
    QTest::keyClicks(dialog->folderEdit(), "  /srv/recordings\t ");
    EXPECT_EQ(dialog->workingFolder(), QString("/srv/recordings"));
    click(dialog->saveButton());
    EXPECT_EQ(m_settings.outputFolder, "/srv/recordings");
}

TEST_F(SettingDialog, SaveAppliesEveryValueInOrder) {
    auto dialog = open();
    click(dialog->saveAudioBox());
    click(dialog->autoRunBox());
    click(dialog->hotkeyF9Box());
    dialog->gammaBar()->setValue(55);
    click(dialog->saveButton());
    EXPECT_EQ(dialog->result(), CSkinDialog::ID_OK);
    EXPECT_EQ(m_settings.gamma, 55);
    EXPECT_TRUE(m_settings.saveAudioDump);
    EXPECT_TRUE(m_settings.isAutoStart());
    EXPECT_TRUE(m_folder.exists("autostart/tolvane.desktop"));
    EXPECT_TRUE(m_settings.hotkeyF9);
    EXPECT_FALSE(m_settings.hotkeyF10);
    ASSERT_EQ(m_registrar.registered.size(), 1u);
    EXPECT_EQ(m_registrar.registered[0], std::make_pair(int(IHotkeyRegistrar::HOTKEY_ID_F9), unsigned(0x78)));
    EXPECT_TRUE(m_messages.shown.empty());

    // Turned off again: the grab goes and the autostart entry with it.
    auto again = open();
    EXPECT_TRUE(again->autoRunBox()->isChecked());
    EXPECT_TRUE(again->hotkeyF9Box()->isChecked());
    click(again->autoRunBox());
    click(again->hotkeyF9Box());
    click(again->saveButton());
    EXPECT_FALSE(m_settings.isAutoStart());
    EXPECT_FALSE(m_settings.hotkeyF9);
    EXPECT_EQ(m_registrar.unregistered, std::vector<int>{IHotkeyRegistrar::HOTKEY_ID_F9});
}

TEST_F(SettingDialog, ATakenHotkeyWarnsAndStaysOff) {
    m_registrar.refuse = true;
    auto dialog = open();
    click(dialog->hotkeyF10Box());
    click(dialog->saveButton());
    EXPECT_FALSE(m_settings.hotkeyF10);
    ASSERT_EQ(m_messages.shown.size(), 1u);
    EXPECT_EQ(m_messages.shown[0].text, "ID_TEXT_HOTKEY_F10_TIPS");
    EXPECT_EQ(m_messages.shown[0].icon, IMessagePresenter::ICON_WARNING);
}

TEST_F(SettingDialog, CancelChangesNothing) {
    const std::string folder = m_settings.outputFolder;
    for (int way = 0; way < 2; ++way) {
        auto dialog = open();
        click(dialog->saveAudioBox());
        click(dialog->autoRunBox());
        click(dialog->hotkeyF9Box());
        click(dialog->hotkeyF10Box());
        dialog->gammaBar()->setValue(3);
        QTest::keyClicks(dialog->folderEdit(), "/more");
        if (way == 0)
            click(dialog->cancelButton());
        else
            QTest::keyClick(dialog.get(), Qt::Key_Escape);
        EXPECT_EQ(dialog->result(), CSkinDialog::ID_CANCEL);
        EXPECT_FALSE(dialog->isVisible());
    }
    EXPECT_EQ(m_settings.outputFolder, folder);
    EXPECT_EQ(m_settings.gamma, 120);
    EXPECT_FALSE(m_settings.saveAudioDump);
    EXPECT_FALSE(m_settings.hotkeyF9);
    EXPECT_FALSE(m_settings.hotkeyF10);
    EXPECT_FALSE(m_settings.isAutoStart());
    EXPECT_TRUE(m_registrar.registered.empty());
    EXPECT_FALSE(m_folder.exists("registry.ini"));
}

TEST_F(SettingDialog, ChangeAndOpenFolderUseExistingFoldersOnly) {
    auto dialog = open();
    QStringList starts;
    QStringList opened;
    dialog->setFolderChooser([&](const QString& start) {
        starts << start;
        return QString::fromStdString(m_folder.file("chosen"));
    });
    dialog->setFolderOpener([&](const QString& folder) { opened << folder; });

    click(dialog->openFolderButton());
    click(dialog->changeFolderButton());
    EXPECT_EQ(starts.value(0).toStdString(), m_folder.file("videos")) << "starts at the working copy";
    EXPECT_EQ(dialog->folderEdit()->text().toStdString(), m_folder.file("chosen"));
    EXPECT_EQ(dialog->workingFolder().toStdString(), m_folder.file("chosen"));
    click(dialog->openFolderButton());  // "chosen" does not exist
    click(dialog->changeFolderButton());
    EXPECT_EQ(starts.value(1), QString()) << "no start at a missing folder";
    ASSERT_EQ(opened.size(), 1);
    EXPECT_EQ(opened[0].toStdString(), m_folder.file("videos"));

    dialog->setFolderChooser([](const QString&) { return QString(); });
    click(dialog->changeFolderButton());
    EXPECT_EQ(dialog->folderEdit()->text().toStdString(), m_folder.file("chosen")) << "cancelled: unchanged";
}

// ---------------------------------------------------------------------------

// An engine whose device listing fails.
class CFailingEngine : public IOrvixAvRecordInterface {
public:
    std::uint32_t Init(IOrvixRecordSink*, int, int, int, int) override { return 0; }
    std::uint32_t SetCurrentAudioDevice(std::list<AudioDeviceInfo>*) override { return 0; }
    std::uint32_t StartRecord(RecordParam*) override { return 0; }
    std::uint32_t StopRecord() override { return 0; }
    std::uint32_t PauseRecord() override { return 0; }
    std::uint32_t ResumeRecord() override { return 0; }
    std::uint32_t PushVideoData(std::uint32_t, CDataPackage*) override { return 0; }
    std::uint32_t GetDeviceList(std::list<AudioDeviceInfo>* devices) override {
        devices->clear();
        AudioDeviceInfo stale;
        stale.DevicesName = "Half-listed microphone";
        stale.m_bCapture = 1;
        devices->push_back(stale);
        return 4;
    }
};

class CNullSink : public IOrvixRecordSink {
public:
    int OnAudioLevel(int, int) override { return 0; }
    int OnRecordDuration(std::uint32_t) override { return 0; }
    int OnAudioDeviceChanged() override { return 0; }
    int OnRecordError(int) override { return 0; }
};

struct EngineDeleter {
    void operator()(IOrvixAvRecordInterface* engine) const { DestoryOrvixAvRecord(engine); }
};
using EnginePtr = std::unique_ptr<IOrvixAvRecordInterface, EngineDeleter>;

bool havePulseAudio() { return std::system("command -v pulseaudio >/dev/null 2>&1 && command -v pactl >/dev/null 2>&1") == 0; }

class AudioDialogBase : public ::testing::Test {
protected:
    AudioDialogBase() : m_settings(locations()) { loadLanguage(CLanguageTable::LANGUAGE_ENGLISH); }
    CSettings::Locations locations() const {
        CSettings::Locations where;
        where.registryFile = m_folder.file("registry.ini");
        where.userConfigFile = m_folder.file("userconfig.ini");
        where.autostartFile = m_folder.file("tolvane.desktop");
        return where;
    }
    std::unique_ptr<CDlgAudioDevice> open(IOrvixAvRecordInterface* engine) {
        auto dialog = std::make_unique<CDlgAudioDevice>(nullptr, engine, m_devices, m_settings, m_messages);
        dialog->show();
        return dialog;
    }
    EnginePtr startEngine() {
        EnginePtr engine(CreateOrvixAvRecord());
        EXPECT_EQ(engine->Init(&m_sink, 1280, 720, 12, 15), 0u);
        return engine;
    }
    static std::vector<QString> texts(const CPellComboSel& list) {
        std::vector<QString> all;
        for (int i = 0; i < list.itemCount(); ++i) all.push_back(list.itemText(i));
        return all;
    }
    // Opens the list and clicks the item.
    static void choose(CPellComboSel* list, int index) {
        click(list);
        ASSERT_TRUE(list->isPopupOpen());
        const QRect row = list->popup()->itemRect(index);
        ASSERT_FALSE(row.isEmpty());
        QTest::mouseClick(list->popup(), Qt::LeftButton, {}, row.center());
        EXPECT_FALSE(list->isPopupOpen());
        EXPECT_EQ(list->selectedIndex(), index);
    }

    CTestFolder m_folder;
    CSettings m_settings;
    CTestMessages m_messages;
    CNullSink m_sink;
    std::list<AudioDeviceInfo> m_devices;
};

TEST_F(AudioDialogBase, AFailedListingReportsAndOffersNoDevices) {
    CFailingEngine engine;
    m_settings.audioInputName = "Half-listed microphone";
    auto dialog = open(&engine);
    ASSERT_EQ(m_messages.shown.size(), 1u);
    EXPECT_EQ(m_messages.shown[0].text, "ID_TEXT_AUDIO_GETERROR");
    EXPECT_EQ(m_messages.shown[0].caption, "ID_TEXT_TIPS");
    EXPECT_EQ(m_messages.shown[0].icon, IMessagePresenter::ICON_ERROR);
    EXPECT_EQ(texts(*dialog->microphoneList()), std::vector<QString>{tr("ID_TEXT_AUDIO_NONE_MIC")});
    EXPECT_EQ(texts(*dialog->speakerList()), std::vector<QString>{tr("ID_TEXT_AUDIO_NONE_SPEEKER")});
    EXPECT_FALSE(dialog->microphoneList()->isControlEnabled());
    EXPECT_FALSE(dialog->speakerList()->isControlEnabled());
    click(dialog->microphoneList());
    EXPECT_FALSE(dialog->microphoneList()->isPopupOpen()) << "a disabled list does not open";
    click(dialog->saveButton());
    EXPECT_TRUE(m_settings.disableAudioInput);
    EXPECT_TRUE(m_settings.disableAudioOutput);
    EXPECT_EQ(m_settings.audioInputName, "");
}

TEST_F(AudioDialogBase, WithoutAnEngineTheListingCountsAsFailed) {
    auto dialog = open(nullptr);
    ASSERT_EQ(m_messages.shown.size(), 1u);
    EXPECT_EQ(dialog->microphoneList()->itemCount(), 1);
}

// With a private sound server: two microphones and a speaker.
class AudioDialogWithDevices : public AudioDialogBase {
protected:
    static void SetUpTestSuite() {
        if (!havePulseAudio()) return;
        s_pServer = new CPulseServer;
        s_pServer->AddSineSource({"mic_a", "Desk Microphone", 440, 48000});
        s_pServer->AddSineSource({"mic_b", "Headset Microphone \xe8\x80\xb3\xe6\x9c\xba", 880, 48000});
        s_pServer->AddNullSink({"spk_a", "Desk Speakers", 44100, 2});
        s_pServer->SetDefaultSource("mic_a");
        s_pServer->SetDefaultSink("spk_a");
        if (!s_pServer->Start(&s_strError)) {
            delete s_pServer;
            s_pServer = nullptr;
        }
    }
    static void TearDownTestSuite() {
        delete s_pServer;
        s_pServer = nullptr;
    }
    void SetUp() override {
        if (!havePulseAudio()) GTEST_SKIP() << "pulseaudio is not installed";
        ASSERT_NE(s_pServer, nullptr) << s_strError;
        s_pServer->ExportEnvironment();
    }
    static CPulseServer* s_pServer;
    static std::string s_strError;
};
CPulseServer* AudioDialogWithDevices::s_pServer = nullptr;
std::string AudioDialogWithDevices::s_strError;

TEST_F(AudioDialogWithDevices, ListsTheDevicesAndSelectsTheSavedOnes) {
    EnginePtr engine = startEngine();
    m_settings.audioInputName = "Headset Microphone \xe8\x80\xb3\xe6\x9c\xba";
    m_settings.audioOutputName = "Desk Speakers";
    auto dialog = open(engine.get());
    EXPECT_TRUE(m_messages.shown.empty());
    EXPECT_FALSE(m_devices.empty()) << "the caller's list is filled";
    const std::vector<QString> microphones{tr("ID_TEXT_AUDIO_NONE"), "Desk Microphone",
                                           QString::fromUtf8("Headset Microphone \xe8\x80\xb3\xe6\x9c\xba")};
    EXPECT_EQ(texts(*dialog->microphoneList()), microphones);
    EXPECT_EQ(texts(*dialog->speakerList()), (std::vector<QString>{tr("ID_TEXT_AUDIO_NONE"), "Desk Speakers"}));
    EXPECT_EQ(dialog->microphoneList()->itemValue(0), tr("ID_TEXT_AUDIO_NONE"));
    EXPECT_TRUE(dialog->microphoneList()->isControlEnabled());
    EXPECT_EQ(dialog->microphoneList()->selectedIndex(), 2);
    EXPECT_EQ(dialog->speakerList()->selectedIndex(), 1);

    // The first microphone item switches the microphone off; another speaker stays on.
    choose(dialog->microphoneList(), 0);
    click(dialog->saveButton());
    EXPECT_EQ(dialog->result(), CSkinDialog::ID_OK);
    EXPECT_EQ(m_settings.audioInputName, "");
    EXPECT_TRUE(m_settings.disableAudioInput);
    EXPECT_EQ(m_settings.audioOutputName, "Desk Speakers");
    EXPECT_FALSE(m_settings.disableAudioOutput);

    // Disabled directions open on the first item; choosing a device enables it again.
    auto again = open(engine.get());
    EXPECT_EQ(again->microphoneList()->selectedIndex(), 0);
    choose(again->microphoneList(), 1);
    click(again->saveButton());
    EXPECT_EQ(m_settings.audioInputName, "Desk Microphone");
    EXPECT_FALSE(m_settings.disableAudioInput);
}

TEST_F(AudioDialogWithDevices, CancelAndAnUnlistedNameChangeNothing) {
    EnginePtr engine = startEngine();
    m_settings.audioInputName = "A microphone that was unplugged";
    m_settings.audioOutputName = "Desk Speakers";
    m_settings.disableAudioOutput = false;
    auto dialog = open(engine.get());
    EXPECT_EQ(dialog->microphoneList()->selectedIndex(), -1);
    choose(dialog->speakerList(), 0);
    click(dialog->cancelButton());
    EXPECT_EQ(dialog->result(), CSkinDialog::ID_CANCEL);
    EXPECT_EQ(m_settings.audioOutputName, "Desk Speakers");
    EXPECT_FALSE(m_settings.disableAudioOutput);

    auto second = open(engine.get());
    click(second->saveButton());
    EXPECT_EQ(m_settings.audioInputName, "A microphone that was unplugged") << "no choice made for it";
    EXPECT_FALSE(m_settings.disableAudioInput);
}

// A sound server with a speaker and no microphone.
class AudioDialogWithoutMicrophone : public AudioDialogWithDevices {
protected:
    static void SetUpTestSuite() {
        if (!havePulseAudio()) return;
        s_pServer = new CPulseServer;
        s_pServer->AddNullSink({"spk_only", "Only Speakers", 48000, 2});
        s_pServer->SetDefaultSink("spk_only");
        if (!s_pServer->Start(&s_strError)) {
            delete s_pServer;
            s_pServer = nullptr;
        }
    }
};

TEST_F(AudioDialogWithoutMicrophone, TheMicrophoneListIsDisabledAndSavingDisablesTheMicrophone) {
    EnginePtr engine = startEngine();
    m_settings.audioInputName = "Desk Microphone";
    m_settings.audioOutputName = "Only Speakers";
    auto dialog = open(engine.get());
    EXPECT_EQ(texts(*dialog->microphoneList()), std::vector<QString>{tr("ID_TEXT_AUDIO_NONE_MIC")});
    EXPECT_FALSE(dialog->microphoneList()->isControlEnabled());
    EXPECT_EQ(dialog->microphoneList()->selectedText(), tr("ID_TEXT_AUDIO_NONE_MIC"));
    EXPECT_TRUE(dialog->speakerList()->isControlEnabled());
    EXPECT_EQ(dialog->speakerList()->selectedText(), QString("Only Speakers"));
    click(dialog->saveButton());
    EXPECT_EQ(m_settings.audioInputName, "");
    EXPECT_TRUE(m_settings.disableAudioInput);
    EXPECT_EQ(m_settings.audioOutputName, "Only Speakers");
    EXPECT_FALSE(m_settings.disableAudioOutput);
}

// ---------------------------------------------------------------------------

TEST(SwitchDialog, ClosesWithThePressedButton) {
    loadLanguage(CLanguageTable::LANGUAGE_ENGLISH);
    CDlgComfirmSwitch dialog(nullptr);
    dialog.show();
    EXPECT_EQ(dialog.size(), QSize(360, 180));
    EXPECT_EQ(dialog.windowTitle(), tr("ID_TEXT_TIPS"));
    click(dialog.switchButton());
    EXPECT_EQ(dialog.result(), CSkinDialog::ID_OK);
    dialog.show();
    click(dialog.cancelButton());
    EXPECT_EQ(dialog.result(), CSkinDialog::ID_CANCEL);
}

// ---------------------------------------------------------------------------

TEST(DialogScreenshots, ChineseAndEnglish) {
    CTestFolder folder;
    CSettings::Locations where;
    where.registryFile = folder.file("registry.ini");
    where.userConfigFile = folder.file("userconfig.ini");
    where.autostartFile = folder.file("tolvane.desktop");
    CSettings settings(where);
    settings.outputFolder = "/home/someone/Documents/Recordings of the weekly meeting";
    settings.saveAudioDump = true;
    settings.hotkeyF9 = true;
    const struct {
        int index;
        const char* suffix;
    } languages[] = {{CLanguageTable::LANGUAGE_SIMPLIFIED_CHINESE, "zh"},
                     {CLanguageTable::LANGUAGE_TRADITIONAL_CHINESE, "tw"},
                     {CLanguageTable::LANGUAGE_ENGLISH, "en"}};
    for (const auto& language : languages) {
        loadLanguage(language.index);
        CDlgSetting setting(nullptr, settings, "1.0.0.27");
        setting.show();
        saveScreenshot(setting, QStringLiteral("dlg-setting-%1.png").arg(language.suffix));

        // Devices as a real listing gives them, from the test double.
        class CListingEngine : public CFailingEngine {
        public:
            std::uint32_t GetDeviceList(std::list<AudioDeviceInfo>* devices) override {
                devices->clear();
                for (const char* name : {"Built-in Audio Analog Stereo", "USB Headset \xe8\x80\xb3\xe6\x9c\xba Microphone"}) {
                    AudioDeviceInfo mic;
                    mic.DevicesName = name;
                    mic.m_bCapture = 1;
                    devices->push_back(mic);
                }
                AudioDeviceInfo speaker;
                speaker.DevicesName = "Built-in Audio Analog Stereo";
                devices->push_back(speaker);
                return 0;
            }
        } engine;
        std::list<AudioDeviceInfo> devices;
        CTestMessages messages;
        settings.audioInputName = "USB Headset \xe8\x80\xb3\xe6\x9c\xba Microphone";
        settings.audioOutputName = "Built-in Audio Analog Stereo";
        CDlgAudioDevice audio(nullptr, &engine, devices, settings, messages);
        audio.show();
        saveScreenshot(audio, QStringLiteral("dlg-audio-%1.png").arg(language.suffix));
        click(audio.microphoneList());
        ASSERT_TRUE(audio.microphoneList()->isPopupOpen());
        saveScreenshot(*audio.microphoneList()->popup(), QStringLiteral("dlg-audio-list-%1.png").arg(language.suffix));
        audio.microphoneList()->closePopup();

        CFailingEngine none;
        CDlgAudioDevice empty(nullptr, &none, devices, settings, messages);
        empty.show();
        saveScreenshot(empty, QStringLiteral("dlg-audio-none-%1.png").arg(language.suffix));

        CDlgComfirmSwitch confirm(nullptr);
        confirm.show();
        saveScreenshot(confirm, QStringLiteral("dlg-switch-%1.png").arg(language.suffix));
    }
    loadLanguage(CLanguageTable::LANGUAGE_ENGLISH);
}

}  // namespace

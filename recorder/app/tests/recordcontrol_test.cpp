// The record state machine against a scripted engine, view and canvas.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "messagepresenter.h"
#include "outputnaming.h"
#include "recordcanvas.h"
#include "recordcontrol.h"
#include "recordview.h"
#include "scriptedlink.h"
#include "settings.h"

namespace {

struct FakeEngine final : IOrvixAvRecordInterface {
    std::vector<std::string>& log;
    std::uint32_t startResult = 0, stopResult = 0, pauseResult = 0, resumeResult = 0;
    std::list<AudioDeviceInfo> devices;
    std::list<AudioDeviceInfo> chosen;
    RecordParam param;
    int width = 0, height = 0;

    explicit FakeEngine(std::vector<std::string>& l) : log(l) {}
    std::uint32_t Init(IOrvixRecordSink*, int w, int h, int format, int fps) override {
        width = w;
        height = h;
        log.push_back("Init " + std::to_string(w) + "x" + std::to_string(h) + " " + std::to_string(format) + " " +
                      std::to_string(fps));
        return 0;
    }
    std::uint32_t SetCurrentAudioDevice(std::list<AudioDeviceInfo>* list) override {
        chosen = *list;
        log.push_back("SetCurrentAudioDevice " + std::to_string(list->size()));
        return 0;
    }
    std::uint32_t StartRecord(RecordParam* p) override {
        param = *p;
        log.push_back("StartRecord");
        if (startResult == 0) std::ofstream(p->strFilePath) << "FLV";
        return startResult;
    }
    std::uint32_t StopRecord() override {
        log.push_back("StopRecord");
        return stopResult;
    }
    std::uint32_t PauseRecord() override {
        log.push_back("PauseRecord");
        return pauseResult;
    }
    std::uint32_t ResumeRecord() override {
        log.push_back("ResumeRecord");
        return resumeResult;
    }
    std::uint32_t PushVideoData(std::uint32_t, CDataPackage*) override { return 0; }
    std::uint32_t GetDeviceList(std::list<AudioDeviceInfo>* list) override {
        *list = devices;
        return 0;
    }
};

struct FakeView : IRecordView {
    std::vector<std::string>& log;
    RegionRect rect{0, 0, 1280, 720};
    bool wide = true;
    int width = 0;
    bool hidden = false;
    unsigned postedError = 0;
    int repaints = 0;
    explicit FakeView(std::vector<std::string>& l) : log(l) {}
    void refreshControls() override {}
    void refreshModeLabel() override { log.push_back("modeLabel"); }
    void resizeBar(int w) override { width = w; }
    void hideBar() override { hidden = true; }
    void restoreBar() override { hidden = false; }
    void refreshMonitors() override {}
    RegionRect captureRect() override { return rect; }
    RegionRect regionInnerRect() override { return rect; }
    bool isRegionAspect16x9() override { return wide; }
    void setRegionRecording(bool on) override { log.push_back(on ? "region recording" : "region editable"); }
    void showRegionTopMost() override { log.push_back("region shown"); }
    void hideRegion() override { log.push_back("region hidden"); }
    void startDiskWatch() override { log.push_back("watch on"); }
    void stopDiskWatch() override { log.push_back("watch off"); }
    void openFolder(const std::string& folder) override { log.push_back("open " + folder); }
    void postRepaint() override { ++repaints; }
    void postEngineError(unsigned token) override { postedError = token; }
};

struct FakeCanvas : IRecordCanvas {
    std::vector<std::string>& log;
    bool present = true, running = false, recording = false;
    IOrvixAvRecordInterface* engine = nullptr;
    int width = 0, height = 0, gamma = 0;
    explicit FakeCanvas(std::vector<std::string>& l) : log(l) {}
    bool hasCanvas() override { return present; }
    void setEngine(IOrvixAvRecordInterface* e) override { engine = e; }
    void setRecording(bool on) override { recording = on; }
    void setCanvasSize(int w, int h) override {
        width = w;
        height = h;
    }
    void setGamma(int g) override { gamma = g; }
    void startCanvas() override {
        running = true;
        log.push_back("canvas start");
    }
    void stopCanvas() override {
        running = false;
        log.push_back("canvas stop");
    }
    bool isCanvasRunning() override { return running; }
};

struct ScriptedMessages : IMessagePresenter {
    std::vector<std::string> shown;
    std::vector<int> icons;
    int answer = ANSWER_CANCEL;
    int showMessage(const char* textKey, const char* captionKey, Icon icon, Buttons) override {
        shown.push_back(textKey);
        icons.push_back(icon);
        EXPECT_STREQ(captionKey, "ID_TEXT_TIPS");
        return answer;
    }
};

AudioDeviceInfo device(const char* name, int capture, int isDefault) {
    AudioDeviceInfo info;
    info.DevicesName = name;
    std::snprintf(info.GuidName, sizeof(info.GuidName), "%s", name);
    info.m_bCapture = capture;
    info.m_bDefault = isDefault;
    return info;
}

class RecordControlTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tolvane-ctl-XXXXXX";
        m_folder = ::mkdtemp(pattern);
        CSettings::Locations locations;
        locations.registryFile = m_folder + "/registry.ini";
        locations.userConfigFile = m_folder + "/userconfig.ini";
        locations.autostartFile = m_folder + "/autostart.desktop";
        m_pSettings = std::make_unique<CSettings>(locations);
        m_pSettings->outputFolder = m_folder + "/out/rec";
        m_devices = {device("Mic A", 1, 0), device("USB Mic", 1, 1), device("Speakers", 0, 1),
                     device("HDMI", 0, 0)};
        makeControl();
    }
    void TearDown() override {
        m_pControl.reset();
        std::system(("rm -rf '" + m_folder + "'").c_str());
    }
    void makeControl() {
        CRecordControl::EngineFactory factory;
        factory.create = [this]() -> IOrvixAvRecordInterface* {
            auto* engine = new FakeEngine(m_log);
            engine->devices = m_devices;
            engine->startResult = m_nStartResult;
            engine->stopResult = m_nStopResult;
            engine->pauseResult = m_nPauseResult;
            m_engines.push_back(engine);
            ++m_nLive;
            return engine;
        };
        factory.destroy = [this](IOrvixAvRecordInterface* engine) {
            m_log.push_back("destroy");
            --m_nLive;
            delete static_cast<FakeEngine*>(engine);
        };
        m_pControl = std::make_unique<CRecordControl>(
            *m_pSettings, m_view, m_canvas, m_messages, factory, [this] { return m_time; },
            [this](const std::string&) { return m_freeBytes; });
    }
    FakeEngine* lastEngine() { return m_nLive > 0 ? m_engines.back() : nullptr; }
    std::string fileAt(const char* prefix = "") {
        return m_pSettings->outputFolder + "/" + prefix + COutputNaming::fileName(m_time);
    }

    std::string m_folder;
    std::vector<std::string> m_log;
    FakeView m_view{m_log};
    FakeCanvas m_canvas{m_log};
    ScriptedMessages m_messages;
    std::unique_ptr<CSettings> m_pSettings;
    std::list<AudioDeviceInfo> m_devices;
    std::vector<FakeEngine*> m_engines;
    int m_nLive = 0;
    std::uint32_t m_nStartResult = 0, m_nStopResult = 0, m_nPauseResult = 0;
    std::tm m_time = [] {
        std::tm t {};
        t.tm_year = 126;
        t.tm_mon = 0;
        t.tm_mday = 2;
        t.tm_hour = 3;
        t.tm_min = 4;
        t.tm_sec = 5;
        return t;
    }();
    std::optional<std::uint64_t> m_freeBytes = std::uint64_t{1} << 30;
    std::unique_ptr<CRecordControl> m_pControl;
};

}  // namespace

TEST_F(RecordControlTest, StartPauseResumeStopWalkTheStatesAndTheButtons) {
    auto ready = CRecordControl::buttonState(false, false, false);
    EXPECT_TRUE(ready.start && !ready.stop && !ready.pause && !ready.resume && ready.audioDevice && ready.enabled);

    ASSERT_EQ(m_pControl->doStart(), 1);
    EXPECT_TRUE(m_pControl->isRecording());
    EXPECT_FALSE(m_pControl->isPaused());
    EXPECT_EQ(m_view.width, 420);
    EXPECT_TRUE(m_canvas.running);
    EXPECT_TRUE(m_canvas.recording);
    EXPECT_EQ(m_canvas.engine, lastEngine());
    EXPECT_EQ(lastEngine()->param.strFilePath, fileAt());
    auto running = CRecordControl::buttonState(true, false, false);
    EXPECT_TRUE(!running.start && running.stop && running.pause && !running.resume);

    ASSERT_EQ(m_pControl->doPause(), 1);
    EXPECT_TRUE(m_pControl->isPaused());
    EXPECT_FALSE(m_canvas.running) << "no pictures while paused";
    auto paused = CRecordControl::buttonState(true, true, false);
    EXPECT_TRUE(!paused.start && paused.stop && !paused.pause && paused.resume);

    ASSERT_EQ(m_pControl->doResume(), 1);
    EXPECT_FALSE(m_pControl->isPaused());
    EXPECT_TRUE(m_canvas.running);

    ASSERT_EQ(m_pControl->doStop(), 1);
    EXPECT_FALSE(m_pControl->isRecording());
    EXPECT_EQ(m_view.width, 375);
    EXPECT_FALSE(m_canvas.running);
    EXPECT_EQ(m_canvas.engine, nullptr);
    EXPECT_EQ(m_nLive, 0) << "the engine goes with the recording";
    EXPECT_TRUE(m_messages.shown.empty());

    auto host = CRecordControl::buttonState(true, false, true);
    EXPECT_TRUE(!host.start && !host.stop && !host.pause && !host.resume && !host.audioDevice && !host.enabled);
}

TEST_F(RecordControlTest, EngineIsFreshPerRecordingAndDrivenInOrder) {
    m_pSettings->gamma = 130;
    m_pSettings->saveAudioDump = true;
    m_pControl->loadDeviceList();
    ASSERT_NE(lastEngine(), nullptr);
    std::size_t made = m_engines.size();
    m_log.clear();
    ASSERT_EQ(m_pControl->doStart(), 1);
    EXPECT_EQ(m_engines.size(), made + 1) << "a fresh engine for the recording";
    std::vector<std::string> expected{"region hidden", "destroy", "Init 1280x720 12 15", "SetCurrentAudioDevice 2",
                                      "StartRecord", "canvas start", "watch on"};
    EXPECT_EQ(m_log, expected);
    EXPECT_EQ(m_canvas.gamma, 130);
    EXPECT_EQ(lastEngine()->param.bDumpAudio, 1);
    EXPECT_EQ(lastEngine()->param.strDumpAudioFileName, COutputNaming::dumpPath(fileAt()));
    m_log.clear();
    m_pControl->doStop();
    expected = {"StopRecord", "watch off", "region shown", "canvas stop", "destroy"};
    EXPECT_EQ(m_log, expected);
}

TEST_F(RecordControlTest, OutputFailuresKeepTheBarReady) {
    // The same second twice finds the first file.
    ASSERT_EQ(m_pControl->doStart(), 1);
    m_pControl->doStop();
    EXPECT_EQ(m_pControl->doStart(), 0);
    ASSERT_EQ(m_messages.shown.size(), 1u);
    EXPECT_EQ(m_messages.shown[0], "ID_TEXT_RECORD_INVALID_PATH");
    EXPECT_EQ(m_messages.icons[0], IMessagePresenter::ICON_ERROR);
    EXPECT_FALSE(m_pControl->isRecording());

    // A folder that cannot be made.
    m_time.tm_sec = 6;
    std::ofstream(m_folder + "/plainfile") << "x";
    m_pSettings->outputFolder = m_folder + "/plainfile/sub";
    EXPECT_EQ(m_pControl->doStart(), 0);
    EXPECT_EQ(m_messages.shown.back(), "ID_TEXT_RECORD_INVALID_PATH");

    // Less than 1 MiB free; an unchecked (network) folder starts.
    m_pSettings->outputFolder = m_folder + "/out";
    m_freeBytes = 0xFFFFF;
    EXPECT_EQ(m_pControl->doStart(), 0);
    EXPECT_EQ(m_messages.shown.back(), "ID_TEXT_DISK_FULL_TIP2");
    m_freeBytes = std::nullopt;
    EXPECT_EQ(m_pControl->doStart(), 1);
    m_pControl->doStop();

    // No capture canvas: nothing happens, no message.
    m_time.tm_sec = 7;
    m_canvas.present = false;
    std::size_t shown = m_messages.shown.size();
    EXPECT_EQ(m_pControl->doStart(), 0);
    EXPECT_EQ(m_messages.shown.size(), shown);
}

TEST_F(RecordControlTest, EngineFailuresShowTheirMessages) {
    m_nStartResult = 7;
    m_pSettings->recordType = 1;
    EXPECT_EQ(m_pControl->doStart(), 0);
    EXPECT_EQ(m_messages.shown.back(), "ID_TEXT_RECORD_INVALID_PATH");
    EXPECT_FALSE(m_pControl->isRecording());
    EXPECT_EQ(m_log.back() == "region shown" || m_log.back() == "region editable", true);
    EXPECT_EQ(m_nLive, 1) << "the engine of a failed start is kept";

    m_nStartResult = 0;
    m_nStopResult = 12;
    m_nPauseResult = 2;
    m_time.tm_min = 9;
    ASSERT_EQ(m_pControl->doStart(), 1);
    m_pControl->doPause();
    EXPECT_EQ(m_messages.shown.back(), "ID_TEXT_RECORD_UNPAUSE");
    EXPECT_TRUE(m_pControl->isPaused()) << "the bar follows the request";
    m_pControl->doStop();
    EXPECT_EQ(m_messages.shown.back(), "ID_TEXT_RECORD_UNSTOP");
    EXPECT_FALSE(m_pControl->isRecording());
    EXPECT_EQ(m_nLive, 0) << "released anyway";
}

TEST_F(RecordControlTest, HostModeNamesFilesAfterTheHostAndIgnoresHotkeys) {
    m_pControl->setHostName("Alice");
    m_pControl->doToAutoSync(true);
    EXPECT_EQ(m_view.width, 0);
    m_pControl->onHotkey(1126);
    EXPECT_FALSE(m_pControl->isRecording()) << "F9 does nothing while a host drives the bar";
    ASSERT_EQ(m_pControl->doStart(), 1);
    EXPECT_EQ(lastEngine()->param.strFilePath, fileAt("Alice-"));
    EXPECT_EQ(m_view.width, 285);
    EXPECT_TRUE(m_view.hidden);
    m_pControl->onHotkey(1127);
    EXPECT_FALSE(m_pControl->isPaused());
    m_pControl->doStop();
    EXPECT_FALSE(m_view.hidden);
    EXPECT_EQ(m_view.width, 285);

    m_pControl->setHostName("");
    m_time.tm_sec = 30;
    ASSERT_EQ(m_pControl->doStart(), 1);
    EXPECT_EQ(lastEngine()->param.strFilePath, fileAt("-"));
    m_pControl->doStop();
}

// Leaving host mode lets go of the host and shows a bar hidden for the
// host's recording again (nothing else would).
TEST_F(RecordControlTest, LeavingHostModeDisconnectsAndShowsTheBarAgain) {
    ScriptedLink link;
    m_pControl->setHostLink(&link);
    m_pControl->doToAutoSync(true);
    ASSERT_EQ(m_pControl->doStart(), 1);
    EXPECT_TRUE(m_view.hidden);
    m_pControl->doToAutoSync(false);
    EXPECT_FALSE(m_view.hidden);
    EXPECT_EQ(link.disconnects, 1);
    m_pControl->doStop();
    m_pControl->doToAutoSync(false);
    EXPECT_EQ(link.disconnects, 2);
    m_pControl->setHostLink(nullptr);
}

TEST_F(RecordControlTest, HotkeysStartPauseAndStopWithTheFinishPrompt) {
    m_messages.answer = IMessagePresenter::ANSWER_OK;
    m_pControl->onHotkey(1127);
    EXPECT_FALSE(m_pControl->isRecording()) << "F10 only acts while recording";
    m_pControl->onHotkey(1126);
    EXPECT_TRUE(m_pControl->isRecording());
    m_pControl->onHotkey(1127);
    EXPECT_TRUE(m_pControl->isPaused());
    m_pControl->onHotkey(1127);
    EXPECT_FALSE(m_pControl->isPaused());
    m_pControl->onHotkey(1126);
    EXPECT_FALSE(m_pControl->isRecording());
    ASSERT_EQ(m_messages.shown.size(), 1u);
    EXPECT_EQ(m_messages.shown[0], "ID_TEXT_RECORD_FINISH_OPENFOLDER");
    EXPECT_EQ(m_messages.icons[0], IMessagePresenter::ICON_WARNING);
    EXPECT_EQ(m_log.back(), "open " + m_pSettings->outputFolder);
}

TEST_F(RecordControlTest, RegionSizesAndTheIndicatorsRecordingLook) {
    m_pSettings->recordType = 1;
    m_view.rect = {100, 100, 800, 493};  // 700 x 393, 16:9
    ASSERT_EQ(m_pControl->doStart(), 1);
    EXPECT_EQ(lastEngine()->width, 688);
    EXPECT_EQ(lastEngine()->height, 384);
    EXPECT_EQ(m_canvas.width, 688);
    EXPECT_EQ(m_log[0], "region recording");
    m_pControl->doStop();

    m_time.tm_sec = 40;
    m_view.rect = {0, 0, 721, 405};
    ASSERT_EQ(m_pControl->doStart(), 1);
    EXPECT_EQ(lastEngine()->width, 1280);
    EXPECT_EQ(lastEngine()->height, 720);
    m_pControl->doStop();

    // Region start request: an empty region does not start.
    m_pSettings->recordType = 0;
    m_view.rect = {10, 10, 10, 300};
    EXPECT_EQ(m_pControl->onRegionStart(), 0);
    EXPECT_EQ(m_pSettings->recordType, 0);
    m_time.tm_sec = 41;
    m_view.rect = {10, 10, 650, 490};
    m_view.wide = false;
    EXPECT_EQ(m_pControl->onRegionStart(), 1);
    EXPECT_EQ(m_pSettings->recordType, 1);
    EXPECT_EQ(lastEngine()->width, 800);
    EXPECT_EQ(lastEngine()->height, 592);
    m_pControl->doStop();
}

TEST_F(RecordControlTest, AudioDevicesMatchByExactNameOrTheDefault) {
    m_pSettings->audioInputName = "default device";
    m_pSettings->audioOutputName = "";
    m_pControl->loadDeviceList();
    EXPECT_EQ(m_pSettings->audioInputName, "USB Mic") << "the saved default becomes the device's name";
    EXPECT_EQ(m_pSettings->audioOutputName, "Speakers");

    auto chosenNames = [this] {
        std::vector<std::string> names;
        for (const auto& d : lastEngine()->chosen) names.push_back(d.DevicesName);
        return names;
    };
    m_pControl->applyAudioDevices("Mic A", false, "HDMI", false);
    EXPECT_EQ(chosenNames(), (std::vector<std::string>{"Mic A", "HDMI"}));
    m_pControl->applyAudioDevices("mic a", false, "default device", false);
    EXPECT_EQ(chosenNames(), (std::vector<std::string>{"Speakers"})) << "names are case-sensitive";
    m_pControl->applyAudioDevices("", false, "HDMI", true);
    EXPECT_TRUE(chosenNames().empty()) << "an empty name and a disabled direction choose nothing";
    m_pControl->applyAudioDevices("default device", false, "Nowhere", false);
    EXPECT_EQ(chosenNames(), (std::vector<std::string>{"USB Mic"}));

    // The command line's choice holds for later starts; the saved names stay.
    m_pControl->setStartDevices({"USB Mic", false, "", true});
    ASSERT_EQ(m_pControl->doStart(), 1);
    EXPECT_EQ(chosenNames(), (std::vector<std::string>{"USB Mic"}));
    EXPECT_EQ(m_pSettings->audioOutputName, "Speakers");
    EXPECT_FALSE(m_pSettings->disableAudioOutput);
    m_pControl->doStop();
}

TEST_F(RecordControlTest, EngineCallbacksAndTheDiskWatch) {
    ASSERT_EQ(m_pControl->doStart(), 1);
    m_pControl->OnRecordDuration(3723);
    EXPECT_EQ(m_pControl->elapsedSeconds(), 3723u);
    EXPECT_EQ(m_view.repaints, 1);

    // An error of an earlier recording does not stop this one.
    m_pControl->OnRecordError(static_cast<int>(0x8000000Au));
    unsigned token = m_view.postedError;
    m_pControl->onEngineError(token + 1);
    EXPECT_TRUE(m_pControl->isRecording());
    m_pControl->onEngineError(token);
    EXPECT_FALSE(m_pControl->isRecording());
    EXPECT_EQ(m_messages.shown.back(), "ID_TEXT_RECORD_ERROR");
    EXPECT_EQ(m_pControl->elapsedSeconds(), 0u);

    m_time.tm_sec = 50;
    ASSERT_EQ(m_pControl->doStart(), 1);
    m_pControl->onDiskWatch();
    EXPECT_TRUE(m_pControl->isRecording());
    m_freeBytes = 1000;
    m_pControl->doPause();
    m_pControl->onDiskWatch();
    EXPECT_TRUE(m_pControl->isRecording()) << "not checked while paused";
    m_pControl->doResume();
    m_pControl->onDiskWatch();
    EXPECT_FALSE(m_pControl->isRecording());
    EXPECT_EQ(m_messages.shown.back(), "ID_TEXT_DISK_FULL_TIP");
}

TEST_F(RecordControlTest, ExitFinishesARunningRecordingWithoutAPrompt) {
    ASSERT_EQ(m_pControl->doStart(), 1);
    m_log.clear();
    m_pControl->finishForExit();
    EXPECT_FALSE(m_pControl->isRecording());
    EXPECT_EQ(m_log.front(), "StopRecord");
    EXPECT_EQ(m_nLive, 0);
    EXPECT_TRUE(m_messages.shown.empty());
    // Pause and resume without a recording change nothing.
    EXPECT_EQ(m_pControl->doPause(), 0);
    EXPECT_FALSE(m_pControl->isRecording());
}

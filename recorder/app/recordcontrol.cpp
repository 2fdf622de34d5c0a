#include "recordcontrol.h"

#include "basekit/logwrapper.h"
#include "diskspace.h"
#include "encodedsize.h"
#include "hotkeyregistrar.h"
#include "messagepresenter.h"
#include "outputnaming.h"
#include "processtalkbase.h"
#include "recordcanvas.h"
#include "recordview.h"
#include "settings.h"

namespace {

constexpr int kVideoFormatBgra = 12;
constexpr int kFrameRate = 15;
constexpr int kDefaultWidth = 1280, kDefaultHeight = 720;
constexpr const char* kCaption = "ID_TEXT_TIPS";

}  // namespace

CRecordControl::ButtonState CRecordControl::buttonState(bool recording, bool paused, bool autoSync) {
    ButtonState state;
    state.enabled = !autoSync;
    if (autoSync) return state;
    state.audioDevice = true;
    state.start = !recording;
    state.stop = recording;
    state.pause = recording && !paused;
    state.resume = recording && paused;
    return state;
}

CRecordControl::CRecordControl(CSettings& settings, IRecordView& view, IRecordCanvas& canvas,
                               IMessagePresenter& messages, EngineFactory factory, Clock clock, FreeSpace freeSpace)
    : m_settings(settings),
      m_view(view),
      m_canvas(canvas),
      m_messages(messages),
      m_factory(std::move(factory)),
      m_clock(std::move(clock)),
      m_freeSpace(std::move(freeSpace)) {}

CRecordControl::~CRecordControl() {
    finishForExit();
    releaseEngine();
}

std::tm CRecordControl::localNow() {
    std::time_t now = std::time(nullptr);
    std::tm local {};
    ::localtime_r(&now, &local);
    return local;
}

std::optional<std::uint64_t> CRecordControl::defaultFreeSpace(const std::string& folder) {
    return CDiskSpace::freeBytes(folder);
}

void CRecordControl::error(const char* key) {
    m_messages.showMessage(key, kCaption, IMessagePresenter::ICON_ERROR, IMessagePresenter::BUTTONS_OK);
}

int CRecordControl::barWidth() const {
    if (m_bAutoSync) return BAR_WIDTH_HOST;
    return m_bRecording ? BAR_WIDTH_RUNNING : BAR_WIDTH_READY;
}

// ---- engine ----------------------------------------------------------------

void CRecordControl::createEngine(int width, int height) {
    m_pEngine = m_factory.create();
    if (m_pEngine) m_pEngine->Init(this, width, height, kVideoFormatBgra, kFrameRate);
}

void CRecordControl::releaseEngine() {
    if (!m_pEngine) return;
    m_canvas.setEngine(nullptr);
    m_factory.destroy(m_pEngine);
    m_pEngine = nullptr;
}

IOrvixAvRecordInterface* CRecordControl::ensureEngine() {
    if (!m_pEngine) createEngine(kDefaultWidth, kDefaultHeight);
    return m_pEngine;
}

void CRecordControl::loadDeviceList() {
    IOrvixAvRecordInterface* engine = ensureEngine();
    if (!engine) return;
    m_deviceList.clear();
    if (engine->GetDeviceList(&m_deviceList) != 0) {
        UC_LOG_THIS(CLogWrapper::LOG_WARNING, " --- the device list could not be read");
        return;
    }
    for (const AudioDeviceInfo& device : m_deviceList) {
        std::string& saved = device.m_bCapture ? m_settings.audioInputName : m_settings.audioOutputName;
        if ((saved.empty() || saved == CSettings::kDefaultDeviceName) && device.m_bDefault) saved = device.DevicesName;
    }
}

void CRecordControl::applyAudioDevices(const std::string& inputName, bool inputDisabled,
                                       const std::string& outputName, bool outputDisabled) {
    IOrvixAvRecordInterface* engine = ensureEngine();
    std::list<AudioDeviceInfo> selection;
    for (const AudioDeviceInfo& device : m_deviceList) {
        const bool input = device.m_bCapture != 0;
        const std::string& name = input ? inputName : outputName;
        if (input ? inputDisabled : outputDisabled) continue;
        const bool chosen = name == CSettings::kDefaultDeviceName ? device.m_bDefault != 0
                                                                  : !name.empty() && name == device.DevicesName;
        bool taken = false;
        for (const AudioDeviceInfo& already : selection) taken = taken || (already.m_bCapture != 0) == input;
        if (chosen && !taken) selection.push_back(device);
    }
    UC_LOG_THIS(CLogWrapper::LOG_INFO, "applyAudioDevices input=" << inputName << " disabled=" << inputDisabled
                                                                 << " output=" << outputName
                                                                 << " disabled=" << outputDisabled
                                                                 << " chosen=" << selection.size());
    if (engine) engine->SetCurrentAudioDevice(&selection);
}

void CRecordControl::setStartDevices(const DeviceChoice& choice) {
    m_startDevices = choice;
    applyAudioDevices(choice.inputName, choice.inputDisabled, choice.outputName, choice.outputDisabled);
}

// ---- record operations -----------------------------------------------------

bool CRecordControl::belowMinimumSpace() const {
    std::optional<std::uint64_t> bytes = m_freeSpace(m_settings.outputFolder);
    return bytes && *bytes < CDiskSpace::kMinimumFreeBytes;
}

bool CRecordControl::checkOutput(std::string& path) {
    const std::string& folder = m_settings.outputFolder;
    if (!COutputNaming::ensureFolder(folder)) {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- output folder cannot be made: " << folder);
        error("ID_TEXT_RECORD_INVALID_PATH");
        return false;
    }
    path = COutputNaming::outputPath(folder, m_clock(), m_bAutoSync, m_strHostName);
    if (COutputNaming::fileExists(path)) {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- the file exists: " << path);
        error("ID_TEXT_RECORD_INVALID_PATH");
        return false;
    }
    if (belowMinimumSpace()) {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- less than 1 MiB free in " << folder);
        error("ID_TEXT_DISK_FULL_TIP2");
        return false;
    }
    return true;
}

int CRecordControl::doStart() {
    UC_LOG_THIS(CLogWrapper::LOG_INFO, "-------- doStart");
    if (m_bRecording) return 0;
    std::string path;
    if (!checkOutput(path)) return 0;
    if (!m_canvas.hasCanvas()) return 0;

    m_view.refreshMonitors();
    RegionRect rect = m_view.captureRect();
    const bool region = m_settings.recordType == 1;
    const bool wide = m_view.isRegionAspect16x9();
    if (region)
        m_view.setRegionRecording(true);
    else
        m_view.hideRegion();
    EncodedSize size = CEncodedSize::compute(rect.right - rect.left, rect.bottom - rect.top, region, wide);

    releaseEngine();
    createEngine(size.width, size.height);
    if (!m_pEngine) {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- no engine");
        if (region) m_view.setRegionRecording(false);
        m_view.showRegionTopMost();
        error("ID_TEXT_RECORD_INVALID_PATH");
        return 0;
    }
    m_canvas.setCanvasSize(size.width, size.height);
    m_canvas.setGamma(m_settings.gamma);
    if (m_startDevices)
        applyAudioDevices(m_startDevices->inputName, m_startDevices->inputDisabled, m_startDevices->outputName,
                          m_startDevices->outputDisabled);
    else
        applyAudioDevices(m_settings.audioInputName, m_settings.disableAudioInput, m_settings.audioOutputName,
                          m_settings.disableAudioOutput);

    RecordParam param;
    param.strFilePath = path;
    param.bDumpAudio = m_settings.saveAudioDump ? 1 : 0;
    if (m_settings.saveAudioDump) param.strDumpAudioFileName = COutputNaming::dumpPath(path);
    UC_LOG_THIS(CLogWrapper::LOG_INFO, "StartRecord " << path << " " << size.width << "x" << size.height);
    if (m_pEngine->StartRecord(&param) != 0) {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- StartRecord failed for " << path);
        // The indicator leaves its recording look again: nothing records.
        if (region) m_view.setRegionRecording(false);
        m_view.showRegionTopMost();
        error("ID_TEXT_RECORD_INVALID_PATH");
        return 0;
    }
    m_strLastPath = path;
    ++m_nRecordingToken;
    m_dwElapsedSeconds = 0;
    m_canvas.setEngine(m_pEngine);
    m_canvas.setRecording(true);
    if (!m_canvas.isCanvasRunning()) m_canvas.startCanvas();

    m_bRecording = true;
    m_bPaused = false;
    m_view.refreshControls();
    m_view.resizeBar(barWidth());
    if (m_bAutoSync) m_view.hideBar();
    m_view.startDiskWatch();
    return 1;
}

int CRecordControl::doStop() {
    UC_LOG_THIS(CLogWrapper::LOG_INFO, "-------- doStop");
    // Only a started engine is asked to stop: the one kept between
    // recordings for device work never recorded.
    if (m_pEngine && m_bRecording && m_pEngine->StopRecord() != 0) error("ID_TEXT_RECORD_UNSTOP");
    m_view.stopDiskWatch();
    m_bRecording = m_bPaused = false;
    m_view.refreshControls();
    if (m_settings.recordType == 1) m_view.setRegionRecording(false);
    m_view.showRegionTopMost();
    m_canvas.setRecording(false);
    if (m_canvas.isCanvasRunning()) m_canvas.stopCanvas();
    releaseEngine();
    m_dwElapsedSeconds = 0;
    m_view.resizeBar(barWidth());
    if (m_bAutoSync) m_view.restoreBar();
    m_view.refreshControls();
    return 1;
}

int CRecordControl::doPause() {
    UC_LOG_THIS(CLogWrapper::LOG_INFO, "-------- doPause");
    if (!m_bRecording || !m_pEngine) return 0;
    if (m_pEngine->PauseRecord() != 0) error("ID_TEXT_RECORD_UNPAUSE");
    m_bRecording = true;
    m_bPaused = true;
    m_view.refreshControls();
    if (m_canvas.isCanvasRunning()) m_canvas.stopCanvas();
    return 1;
}

int CRecordControl::doResume() {
    UC_LOG_THIS(CLogWrapper::LOG_INFO, "-------- doResume");
    if (!m_bRecording || !m_pEngine) return 0;
    if (m_pEngine->ResumeRecord() != 0) error("ID_TEXT_RECORD_UNRESUME");
    m_bRecording = true;
    m_bPaused = false;
    m_view.refreshControls();
    if (!m_canvas.isCanvasRunning()) m_canvas.startCanvas();
    return 1;
}

int CRecordControl::doToAutoSync(bool on) {
    UC_LOG_THIS(CLogWrapper::LOG_INFO, "-------- doToAutoSync = " << (on ? 1 : 0));
    const bool wasHostDriven = m_bAutoSync;
    m_bAutoSync = on;
    m_view.refreshModeLabel();
    m_view.refreshControls();
    if (!on) {
        // A bar hidden for a host-driven recording comes back: without a
        // host nothing else would show it again.
        if (wasHostDriven) m_view.restoreBar();
        if (m_pHostLink) m_pHostLink->Disconnect();
    }
    return 1;
}

int CRecordControl::promptOpenFolder() {
    int answer = m_messages.showMessage("ID_TEXT_RECORD_FINISH_OPENFOLDER", kCaption, IMessagePresenter::ICON_WARNING,
                                        IMessagePresenter::BUTTONS_OK_CANCEL);
    if (answer == IMessagePresenter::ANSWER_OK && COutputNaming::folderExists(m_settings.outputFolder))
        m_view.openFolder(m_settings.outputFolder);
    return 1;
}

void CRecordControl::onHotkey(int id) {
    if (m_bAutoSync) return;
    if (id == IHotkeyRegistrar::HOTKEY_ID_F9) {
        if (m_bRecording) {
            doStop();
            promptOpenFolder();
        } else {
            doStart();
        }
    } else if (id == IHotkeyRegistrar::HOTKEY_ID_F10 && m_bRecording) {
        if (m_bPaused)
            doResume();
        else
            doPause();
    }
}

void CRecordControl::onDiskWatch() {
    if (!m_bRecording || m_bPaused) return;
    if (!belowMinimumSpace()) return;
    UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- the disk is full, stopping");
    doStop();
    error("ID_TEXT_DISK_FULL_TIP");
}

void CRecordControl::onEngineError(unsigned token) {
    // An error of a recording that has ended already was handled by its stop.
    if (!m_bRecording || token != m_nRecordingToken.load()) return;
    doStop();
    error("ID_TEXT_RECORD_ERROR");
}

int CRecordControl::onRegionStart() {
    RegionRect inner = m_view.regionInnerRect();
    if (inner.right - inner.left <= 0 || inner.bottom - inner.top <= 0) return 0;
    m_settings.recordType = 1;
    return doStart();
}

void CRecordControl::finishForExit() {
    if (!m_bRecording) return;
    UC_LOG_THIS(CLogWrapper::LOG_INFO, "finishing the recording before exit");
    if (m_pEngine && m_pEngine->StopRecord() != 0)
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- StopRecord failed at exit");
    m_bRecording = m_bPaused = false;
    m_canvas.setRecording(false);
    if (m_canvas.isCanvasRunning()) m_canvas.stopCanvas();
    releaseEngine();
}

// ---- IOrvixRecordSink ------------------------------------------------------

int CRecordControl::OnAudioLevel(int, int) { return 0; }

int CRecordControl::OnRecordDuration(std::uint32_t seconds) {
    m_dwElapsedSeconds = seconds;
    m_view.postRepaint();
    return 0;
}

int CRecordControl::OnAudioDeviceChanged() { return 0; }

int CRecordControl::OnRecordError(int code) {
    UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- engine error " << code);
    m_view.postEngineError(m_nRecordingToken.load());
    return 0;
}

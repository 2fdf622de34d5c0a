// CRecordControl: the bar's record state machine (Ready, Running, Paused;
// host-driven mode on top), the output checks, the encoded size, the engine
// instance (a fresh one per recording) and the audio device choice. It is
// the IOrvixRecordSink of every engine it creates.
//
// Every operation runs on the GUI thread; the sink callbacks may come from
// engine threads and only store a value or post to the GUI thread through
// the view. Messages go through IMessagePresenter, caption "ID_TEXT_TIPS".
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>
#include <list>
#include <optional>
#include <string>

#include "recengine/orvixavrecord.h"

class CSettings;
class IMessagePresenter;
class IRecordCanvas;
class IRecordView;
class ProcessTalkBase;

// How engine instances are made and released (the engine's two exports).
struct RecordEngineFactory {
    std::function<IOrvixAvRecordInterface*()> create = [] { return CreateOrvixAvRecord(); };
    std::function<void(IOrvixAvRecordInterface*)> destroy = [](IOrvixAvRecordInterface* engine) {
        DestoryOrvixAvRecord(engine);
    };
};

class CRecordControl : public IOrvixRecordSink {
public:
    // Bar widths: running, ready, host-driven.
    enum { BAR_WIDTH_RUNNING = 420, BAR_WIDTH_READY = 375, BAR_WIDTH_HOST = 285 };

    using EngineFactory = RecordEngineFactory;
    // The local time a file is named after.
    using Clock = std::function<std::tm()>;
    // Free bytes of a folder; nothing when it is not checked (network file
    // systems) or the query failed.
    using FreeSpace = std::function<std::optional<std::uint64_t>(const std::string& folder)>;

    // Devices chosen for one start of the program (the command line); the
    // saved settings stay as they are.
    struct DeviceChoice {
        std::string inputName;
        bool inputDisabled = false;
        std::string outputName;
        bool outputDisabled = false;
    };

    // Which of the bar's five record buttons are shown; all five react to
    // the mouse exactly when not host-driven.
    struct ButtonState {
        bool start = false, stop = false, pause = false, resume = false, audioDevice = false;
        bool enabled = false;
    };
    static ButtonState buttonState(bool recording, bool paused, bool autoSync);

    CRecordControl(CSettings& settings, IRecordView& view, IRecordCanvas& canvas, IMessagePresenter& messages,
                   EngineFactory factory = {}, Clock clock = localNow, FreeSpace freeSpace = defaultFreeSpace);
    ~CRecordControl();
    CRecordControl(const CRecordControl&) = delete;
    CRecordControl& operator=(const CRecordControl&) = delete;

    // Window creation: an engine at 1280x720 and its device list; a saved
    // device name that is empty or "default device" becomes the name of the
    // current default device of its direction.
    void loadDeviceList();

    // 1 when the operation ran to its end, 0 when it stopped early.
    int doStart();
    int doStop();
    int doPause();
    int doResume();
    int doToAutoSync(bool on);
    // "Open the output folder?" after a recording.
    int promptOpenFolder();
    // Chooses the devices on the engine (created when none exists): the
    // name "default device" is the direction's default device, any other
    // name the device of exactly that name, an empty name none.
    void applyAudioDevices(const std::string& inputName, bool inputDisabled, const std::string& outputName,
                           bool outputDisabled);
    // The command line's devices: applied now and used by every later start.
    void setStartDevices(const DeviceChoice& choice);
    // The audio device dialog chose devices: the saved settings count again.
    void clearStartDevices() { m_startDevices.reset(); }

    // F9 / F10 (hotkey ids 1126, 1127); ignored while host-driven.
    void onHotkey(int id);
    // Timer 253: stops the recording when the disk runs full.
    void onDiskWatch();
    // Message 1125 on the GUI thread; token: what postEngineError was given.
    void onEngineError(unsigned token);
    // Message 1134: records the region when its inner rectangle is not empty.
    int onRegionStart();
    // The bar closes or the process ends: a running recording is stopped
    // and its file finished; no prompt.
    void finishForExit();

    // Creates the engine at 1280x720 when none exists.
    IOrvixAvRecordInterface* ensureEngine();
    IOrvixAvRecordInterface* engine() const { return m_pEngine; }
    std::list<AudioDeviceInfo>& deviceList() { return m_deviceList; }

    bool isRecording() const { return m_bRecording; }
    bool isPaused() const { return m_bPaused; }
    bool isAutoSync() const { return m_bAutoSync; }
    std::uint32_t elapsedSeconds() const { return m_dwElapsedSeconds.load(); }
    const std::string& hostName() const { return m_strHostName; }
    void setHostName(const std::string& name) { m_strHostName = name; }
    // The host link that doToAutoSync(false) lets go of the host (null: none).
    void setHostLink(ProcessTalkBase* link) { m_pHostLink = link; }
    // The last file a recording was started into.
    const std::string& lastPath() const { return m_strLastPath; }
    int barWidth() const;

    // IOrvixRecordSink
    int OnAudioLevel(int isInput, int level) override;
    int OnRecordDuration(std::uint32_t seconds) override;
    int OnAudioDeviceChanged() override;
    int OnRecordError(int code) override;

    static std::tm localNow();
    static std::optional<std::uint64_t> defaultFreeSpace(const std::string& folder);

private:
    void error(const char* key);
    bool checkOutput(std::string& path);
    void createEngine(int width, int height);
    void releaseEngine();
    bool belowMinimumSpace() const;

    CSettings& m_settings;
    IRecordView& m_view;
    IRecordCanvas& m_canvas;
    IMessagePresenter& m_messages;
    EngineFactory m_factory;
    Clock m_clock;
    FreeSpace m_freeSpace;

    ProcessTalkBase* m_pHostLink = nullptr;
    IOrvixAvRecordInterface* m_pEngine = nullptr;
    std::list<AudioDeviceInfo> m_deviceList;
    std::optional<DeviceChoice> m_startDevices;
    bool m_bRecording = false;
    bool m_bPaused = false;
    bool m_bAutoSync = false;
    std::string m_strHostName;
    std::string m_strLastPath;
    std::atomic<std::uint32_t> m_dwElapsedSeconds{0};
    // Counts recordings, so that an error posted by one engine does not
    // stop a later recording.
    std::atomic<unsigned> m_nRecordingToken{0};
};

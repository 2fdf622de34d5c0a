// CSettings: the recorder's user settings and where they are kept.
//
// - The typed values of the per-user key (CRegistryStore, registry.ini):
//   output folder, audio devices, hotkeys, gamma, audio dump.
// - Start with the session: the XDG autostart entry (CAutoStartEntry).
// - userconfig.ini in the per-user folder: bar position, region rectangle
//   and record type.
//
// The main frame holds one instance and reads and changes the value fields
// directly; the operations below load and store them. Texts are UTF-8.
// Read and write failures are silent: reads keep what the fields hold,
// writes are skipped. Only a hotkey held by another client produces a
// message.
#pragma once

#include <optional>
#include <string>

class IHotkeyRegistrar;
class IMessagePresenter;

// A rectangle in screen pixels. The region indicator treats a left edge of
// -1 as "never saved" and places itself.
struct RegionRect {
    int left = -1;
    int top = -1;
    int right = -1;
    int bottom = -1;
};

struct BarPosition {
    int x = 0;
    int y = 0;
};

class CSettings {
public:
    // Value names of the registry key.
    static constexpr const char* kOutputFolder = "App_OutputFolder";
    static constexpr const char* kAudioInput = "App_AudioInput";
    static constexpr const char* kAudioOutput = "App_AudioOutput";
    static constexpr const char* kDisableAudioInput = "App_DisAudioInput";
    static constexpr const char* kDisableAudioOutput = "App_DisAudioOutput";
    static constexpr const char* kHotkeyF9 = "TolvaneF9";
    static constexpr const char* kHotkeyF10 = "TolvaneF10";
    static constexpr const char* kGamma = "App_Gamma";
    static constexpr const char* kSaveAudioDump = "App_SaveMp3";
    // Sections and keys of userconfig.ini.
    static constexpr const char* kPositionSection = "USER_POS";
    static constexpr const char* kPositionX = "X_POS";
    static constexpr const char* kPositionY = "Y_POS";
    static constexpr const char* kLocalSection = "LOCAL_CONFIG";
    static constexpr const char* kRegionRect = "RGN_POS_1.1";
    static constexpr const char* kRecordType = "RECORD.TYPE";
    // The device name that stands for the system default device.
    static constexpr const char* kDefaultDeviceName = "default device";

    struct Locations {
        std::string registryFile;    // the typed values
        std::string userConfigFile;  // bar position, region, record type
        std::string autostartFile;   // the autostart entry
        std::string programPath;     // what the autostart entry starts
        // The current user's files ($XDG_CONFIG_HOME) and the running program.
        static Locations forCurrentUser();
    };

    explicit CSettings(Locations locations = Locations::forCurrentUser());
    CSettings(const CSettings&) = delete;
    CSettings& operator=(const CSettings&) = delete;

    const Locations& locations() const { return m_locations; }

    // Registry values; the initial values are the defaults of a fresh user.
    std::string outputFolder;         // App_OutputFolder; empty after loading becomes the Documents folder
    std::string audioInputName;       // App_AudioInput; empty or "default device": the system default
    std::string audioOutputName;      // App_AudioOutput; likewise
    bool disableAudioInput = false;   // App_DisAudioInput
    bool disableAudioOutput = false;  // App_DisAudioOutput
    bool hotkeyF9 = false;            // TolvaneF9: F9 starts and stops recording
    bool hotkeyF10 = false;           // TolvaneF10: F10 pauses and resumes
    int gamma = 100;                  // App_Gamma, 0..200
    bool saveAudioDump = false;       // App_SaveMp3: also write the ".AAC" file
    // userconfig.ini values.
    int recordType = 0;     // RECORD.TYPE: 0 full screen, 1 region
    RegionRect regionRect;  // RGN_POS_1.1: the region indicator's saved rectangle

    // Reads the registry values present with the right type over the fields;
    // a missing key keeps them all. Then an empty output folder becomes the
    // Documents folder. Numbers read as gamma are kept within 0..200.
    void loadRegistrySettings();
    // Writes the folder and device names as strings and the two disable
    // flags, gamma and the audio-dump flag as numbers (not the hotkeys).
    // False when the key cannot be opened or created, or a write fails.
    bool saveRegistrySettings() const;

    // Hotkeys go through registrar; a key held by another client is reported
    // through messages. Both stay owned by the caller.
    void attachHotkeys(IHotkeyRegistrar* registrar, IMessagePresenter* messages);
    // At window creation: grabs F9 and F10 where the fields ask for them.
    void registerSavedHotkeys();
    // When the bar closes: releases the grabs made.
    void unregisterHotkeys();
    // Turns a hotkey on or off from the settings dialog and stores the new
    // state as TolvaneF9 / TolvaneF10 (nothing is stored when the grab is
    // refused). Returns whether the hotkey is active afterwards.
    bool setHotkeyF9(bool on);
    bool setHotkeyF10(bool on);
    bool isHotkeyF9Active() const { return m_bF9Registered; }
    bool isHotkeyF10Active() const { return m_bF10Registered; }

    // On: writes the autostart entry for the program path; off: removes it.
    bool setAutoStart(bool on) const;
    bool isAutoStart() const;

    // Reads the region rectangle and the record type from userconfig.ini
    // where present. A record type outside 0..1 becomes 0.
    void loadLocalConfig();
    // The saved bar position; nothing when userconfig.ini does not exist (or
    // cannot be read). A missing key counts as 0, a Y below 0 becomes 0.
    std::optional<BarPosition> loadBarPosition() const;
    bool saveRecordType() const;
    bool saveRegionRect(const RegionRect& rect) const;
    // Writes the position only when the bar is visible; a bar closed while
    // hidden keeps the position saved before. False when nothing was written.
    bool saveBarPosition(const BarPosition& position, bool visible) const;

    // "%d,%d,%d,%d" read as four decimal numbers, each starting one
    // character after the end of the one before; a number beyond the end of
    // the text is 0.
    static RegionRect parseRect(const std::string& text);
    // A decimal integer as the C run time reads one: leading blanks, a sign,
    // digits up to the first other character, 0 without digits, clamped to
    // the int range.
    static int parseInt(const std::string& text);

private:
    struct HotkeySpec;
    static const HotkeySpec& hotkeySpec(bool f9);
    bool setHotkey(const HotkeySpec& hotkey, bool on);
    void warnHotkeyTaken(const HotkeySpec& hotkey) const;
    bool storeHotkeyState(const char* valueName, bool on) const;
    bool writeIni(const char* section, const char* key, const std::string& value) const;

    Locations m_locations;
    IHotkeyRegistrar* m_pHotkeys = nullptr;
    IMessagePresenter* m_pMessages = nullptr;
    bool m_bF9Registered = false;
    bool m_bF10Registered = false;
};

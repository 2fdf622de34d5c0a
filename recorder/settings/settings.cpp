#include "settings.h"

#include <cctype>
#include <climits>
#include <cstdint>

#include "autostartentry.h"
#include "basekit/logwrapper.h"
#include "hotkeyregistrar.h"
#include "inifile.h"
#include "messagepresenter.h"
#include "registrystore.h"
#include "userfolders.h"

struct CSettings::HotkeySpec {
    int id;
    unsigned virtualKey;
    const char* valueName;
    const char* conflictTextKey;
    bool isF9;
};

namespace {

constexpr int kMinGamma = 0;
constexpr int kMaxGamma = 200;
// Ini values are read as texts of at most 259 characters.
constexpr std::size_t kIniValueChars = 259;

// The first kIniValueChars characters of an ini value, when it is present
// and not empty.
std::optional<std::string> iniText(const CIniFile& ini, const char* section, const char* key) {
    auto text = ini.value(section, key);
    if (!text || text->empty()) return std::nullopt;
    std::size_t chars = 0;
    for (std::size_t i = 0; i < text->size(); ++i) {
        if ((static_cast<unsigned char>((*text)[i]) & 0xc0) == 0x80) continue;  // UTF-8 continuation
        if (++chars > kIniValueChars) {
            text->resize(i);
            break;
        }
    }
    return text;
}

bool isCSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// strtol on a 32-bit long: the number at start, clamped; end is where it
// stopped (start itself when there is no number).
int parseNumberAt(const std::string& text, std::size_t start, std::size_t& end) {
    std::size_t i = start;
    while (i < text.size() && isCSpace(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    long long value = 0;
    std::size_t digitsStart = i;
    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) {
        if (value <= static_cast<long long>(INT_MAX) + 1) value = value * 10 + (text[i] - '0');
        ++i;
    }
    if (i == digitsStart) {
        end = start;
        return 0;
    }
    end = i;
    if (negative) return value > static_cast<long long>(INT_MAX) + 1 ? INT_MIN : static_cast<int>(-value);
    return value > INT_MAX ? INT_MAX : static_cast<int>(value);
}

}  // namespace

CSettings::Locations CSettings::Locations::forCurrentUser() {
    Locations locations;
    locations.registryFile = CRegistryStore::userStorePath();
    locations.userConfigFile = CUserFolders::settingsFolder() + "/userconfig.ini";
    locations.autostartFile = CAutoStartEntry::userEntryPath();
    locations.programPath = CUserFolders::programPath();
    return locations;
}

CSettings::CSettings(Locations locations) : m_locations(std::move(locations)) {}

// ---- registry values -------------------------------------------------------

void CSettings::loadRegistrySettings() {
    CRegistryStore store(m_locations.registryFile);
    if (store.open()) {
        std::string text;
        std::uint32_t number = 0;
        if (store.readString(kOutputFolder, text)) outputFolder = text;
        if (store.readString(kAudioInput, text) && !text.empty()) audioInputName = text;
        if (store.readString(kAudioOutput, text) && !text.empty()) audioOutputName = text;
        if (store.readNumber(kDisableAudioInput, number)) disableAudioInput = number != 0;
        if (store.readNumber(kDisableAudioOutput, number)) disableAudioOutput = number != 0;
        if (store.readNumber(kHotkeyF9, number)) hotkeyF9 = number != 0;
        if (store.readNumber(kHotkeyF10, number)) hotkeyF10 = number != 0;
        if (store.readNumber(kGamma, number)) {
            int value = static_cast<std::int32_t>(number);
            gamma = value < kMinGamma ? kMinGamma : value > kMaxGamma ? kMaxGamma : value;
        }
        if (store.readNumber(kSaveAudioDump, number)) saveAudioDump = number != 0;
    }
    if (outputFolder.empty()) outputFolder = CUserFolders::documentsFolder();
}

bool CSettings::saveRegistrySettings() const {
    CRegistryStore store(m_locations.registryFile);
    if (!store.create()) return false;
    bool ok = store.writeString(kOutputFolder, outputFolder);
    ok = store.writeString(kAudioInput, audioInputName) && ok;
    ok = store.writeString(kAudioOutput, audioOutputName) && ok;
    ok = store.writeNumber(kDisableAudioInput, disableAudioInput ? 1 : 0) && ok;
    ok = store.writeNumber(kDisableAudioOutput, disableAudioOutput ? 1 : 0) && ok;
    ok = store.writeNumber(kGamma, static_cast<std::uint32_t>(gamma)) && ok;
    ok = store.writeNumber(kSaveAudioDump, saveAudioDump ? 1 : 0) && ok;
    return ok;
}

// ---- hotkeys ---------------------------------------------------------------

const CSettings::HotkeySpec& CSettings::hotkeySpec(bool f9) {
    static const HotkeySpec kF9{IHotkeyRegistrar::HOTKEY_ID_F9, IHotkeyRegistrar::VIRTUAL_KEY_F9, kHotkeyF9,
                                "ID_TEXT_HOTKEY_F9_TIPS", true};
    static const HotkeySpec kF10{IHotkeyRegistrar::HOTKEY_ID_F10, IHotkeyRegistrar::VIRTUAL_KEY_F10,
                                 kHotkeyF10, "ID_TEXT_HOTKEY_F10_TIPS", false};
    return f9 ? kF9 : kF10;
}

void CSettings::attachHotkeys(IHotkeyRegistrar* registrar, IMessagePresenter* messages) {
    m_pHotkeys = registrar;
    m_pMessages = messages;
}

bool CSettings::storeHotkeyState(const char* valueName, bool on) const {
    CRegistryStore store(m_locations.registryFile);
    return store.create() && store.writeNumber(valueName, on ? 1 : 0);
}

void CSettings::warnHotkeyTaken(const HotkeySpec& hotkey) const {
    UC_LOG(CLogWrapper::LOG_WARNING, " --- hotkey " << hotkey.id << " is held by another client");
    if (m_pMessages) {
        m_pMessages->showMessage(hotkey.conflictTextKey, "ID_TEXT_TIPS", IMessagePresenter::ICON_WARNING,
                                 IMessagePresenter::BUTTONS_OK);
    }
}

bool CSettings::setHotkey(const HotkeySpec& hotkey, bool on) {
    UC_ASSERTE_RETURN(m_pHotkeys, false);
    bool& registered = hotkey.isF9 ? m_bF9Registered : m_bF10Registered;
    bool& field = hotkey.isF9 ? hotkeyF9 : hotkeyF10;
    if (on) {
        if (registered) return true;
        IHotkeyRegistrar::Result result = m_pHotkeys->registerHotkey(hotkey.id, hotkey.virtualKey);
        if (result == IHotkeyRegistrar::HOTKEY_REGISTERED) {
            registered = true;
            field = true;
            storeHotkeyState(hotkey.valueName, true);
        } else if (result == IHotkeyRegistrar::HOTKEY_ALREADY_REGISTERED) {
            warnHotkeyTaken(hotkey);
        }
        return registered;
    }
    if (registered) {
        if (!m_pHotkeys->unregisterHotkey(hotkey.id)) return true;
        registered = false;
    }
    // Also when the grab failed at start-up: switching off must stick.
    if (field) {
        field = false;
        storeHotkeyState(hotkey.valueName, false);
    }
    return false;
}

bool CSettings::setHotkeyF9(bool on) {
    return setHotkey(hotkeySpec(true), on);
}

bool CSettings::setHotkeyF10(bool on) {
    return setHotkey(hotkeySpec(false), on);
}

void CSettings::registerSavedHotkeys() {
    UC_ASSERTE_RETURN(m_pHotkeys, );
    for (bool f9 : {true, false}) {
        const HotkeySpec& hotkey = hotkeySpec(f9);
        bool& registered = f9 ? m_bF9Registered : m_bF10Registered;
        if (!(f9 ? hotkeyF9 : hotkeyF10) || registered) continue;
        IHotkeyRegistrar::Result result = m_pHotkeys->registerHotkey(hotkey.id, hotkey.virtualKey);
        registered = result == IHotkeyRegistrar::HOTKEY_REGISTERED;
        if (result == IHotkeyRegistrar::HOTKEY_ALREADY_REGISTERED) warnHotkeyTaken(hotkey);
    }
}

void CSettings::unregisterHotkeys() {
    if (!m_pHotkeys) return;
    for (bool f9 : {true, false}) {
        bool& registered = f9 ? m_bF9Registered : m_bF10Registered;
        if (registered && m_pHotkeys->unregisterHotkey(hotkeySpec(f9).id)) registered = false;
    }
}

// ---- autostart -------------------------------------------------------------

bool CSettings::setAutoStart(bool on) const {
    CAutoStartEntry entry(m_locations.autostartFile);
    return on ? entry.enable(m_locations.programPath) : entry.disable();
}

bool CSettings::isAutoStart() const {
    return CAutoStartEntry(m_locations.autostartFile).isEnabled();
}

// ---- userconfig.ini --------------------------------------------------------

void CSettings::loadLocalConfig() {
    CIniFile ini(m_locations.userConfigFile);
    if (ini.load() != CIniFile::LOAD_OK) return;
    if (auto rect = iniText(ini, kLocalSection, kRegionRect)) regionRect = parseRect(*rect);
    if (auto type = iniText(ini, kLocalSection, kRecordType)) {
        int value = parseInt(*type);
        recordType = value == 1 ? 1 : 0;
    }
}

std::optional<BarPosition> CSettings::loadBarPosition() const {
    CIniFile ini(m_locations.userConfigFile);
    if (ini.load() != CIniFile::LOAD_OK) return std::nullopt;
    BarPosition position;
    if (auto x = iniText(ini, kPositionSection, kPositionX)) position.x = parseInt(*x);
    if (auto y = iniText(ini, kPositionSection, kPositionY)) position.y = parseInt(*y);
    if (position.y < 0) position.y = 0;
    return position;
}

bool CSettings::writeIni(const char* section, const char* key, const std::string& value) const {
    CIniFile ini(m_locations.userConfigFile);
    ini.load();
    return ini.setValue(section, key, value) && ini.save();
}

bool CSettings::saveRecordType() const {
    return writeIni(kLocalSection, kRecordType, std::to_string(recordType));
}

bool CSettings::saveRegionRect(const RegionRect& rect) const {
    return writeIni(kLocalSection, kRegionRect,
                    std::to_string(rect.left) + "," + std::to_string(rect.top) + "," +
                        std::to_string(rect.right) + "," + std::to_string(rect.bottom));
}

bool CSettings::saveBarPosition(const BarPosition& position, bool visible) const {
    if (!visible) return false;
    CIniFile ini(m_locations.userConfigFile);
    ini.load();
    return ini.setValue(kPositionSection, kPositionX, std::to_string(position.x)) &&
           ini.setValue(kPositionSection, kPositionY, std::to_string(position.y)) && ini.save();
}

RegionRect CSettings::parseRect(const std::string& text) {
    int values[4] = {0, 0, 0, 0};
    std::size_t start = 0;
    for (int& value : values) {
        if (start >= text.size()) break;
        std::size_t end = start;
        value = parseNumberAt(text, start, end);
        start = end + 1;
    }
    return RegionRect{values[0], values[1], values[2], values[3]};
}

int CSettings::parseInt(const std::string& text) {
    std::size_t end = 0;
    return parseNumberAt(text, 0, end);
}

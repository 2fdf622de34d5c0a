#include "basekit/configreader.h"

#include <pwd.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <optional>
#include <vector>

namespace {

struct ConfigEntry {
    std::string section;
    std::string key;
    std::string value;
};

// The loaded configuration file; guarded by its mutex, loaded on first use.
struct ConfigStore {
    std::mutex mutex;
    bool loaded = false;
    std::vector<ConfigEntry> entries;
};

ConfigStore& Store() {
    static ConfigStore store;
    return store;
}

std::string Trim(const std::string& text) {
    const char* blanks = " \t\r\n\f\v";
    auto first = text.find_first_not_of(blanks);
    if (first == std::string::npos) return {};
    auto last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

bool SameName(const std::string& a, const char* b) {
    return strcasecmp(a.c_str(), b) == 0;
}

const char* NonEmptyEnv(const char* name) {
    const char* v = std::getenv(name);
    return v && *v ? v : nullptr;
}

std::string HomeFolder() {
    if (const char* home = NonEmptyEnv("HOME")) return home;
    if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) return pw->pw_dir;
    return {};
}

std::vector<ConfigEntry> ParseIni(std::istream& in) {
    std::vector<ConfigEntry> entries;
    std::string section;
    std::string line;
    bool firstLine = true;
    while (std::getline(in, line)) {
        if (firstLine && line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
        firstLine = false;
        line = Trim(line);
        if (line.empty() || line[0] == ';' || line[0] == '#') continue;
        if (line[0] == '[') {
            auto close = line.find(']');
            if (close != std::string::npos) section = Trim(line.substr(1, close - 1));
            continue;
        }
        auto eq = line.find('=');
        if (eq == std::string::npos) continue;
        std::string key = Trim(line.substr(0, eq));
        if (!key.empty()) entries.push_back({section, key, Trim(line.substr(eq + 1))});
    }
    return entries;
}

void LoadLocked(ConfigStore& store) {
    if (store.loaded) return;
    std::ifstream in(CConfigReader::GetConfigPath(), std::ios::binary);
    store.entries = in ? ParseIni(in) : std::vector<ConfigEntry>{};
    store.loaded = true;
}

void CopyOut(const char* text, char* buffer, std::size_t size) {
    if (!buffer || size == 0) return;
    std::size_t n = text ? std::min(std::strlen(text), size - 1) : 0;
    if (n) std::memcpy(buffer, text, n);
    buffer[n] = '\0';
}

// The folder of /proc/self/exe; "" for a program in "/".
std::optional<std::string> FindProcRunHome() {
    std::vector<char> path(4096);
    for (;;) {
        ssize_t n = readlink("/proc/self/exe", path.data(), path.size());
        if (n <= 0) return std::nullopt;
        if (static_cast<std::size_t>(n) < path.size()) {
            std::string exe(path.data(), static_cast<std::size_t>(n));
            auto slash = exe.find_last_of('/');
            if (slash == std::string::npos) return std::nullopt;
            return exe.substr(0, slash);
        }
        path.resize(path.size() * 2);
    }
}

}  // namespace

const char* CConfigReader::GetProcRunHome() {
    // Resolved once and kept for the whole life of the process (never freed,
    // so that it outlives static destructors that may still log paths).
    static const std::string* home = [] {
        auto folder = FindProcRunHome();
        return folder ? new std::string(*folder) : nullptr;
    }();
    return home ? home->c_str() : nullptr;
}

std::string CConfigReader::GetConfigPath() {
    if (const char* path = NonEmptyEnv("TOLVANE_CONFIG")) return path;
    std::string base;
    if (const char* xdg = NonEmptyEnv("XDG_CONFIG_HOME"); xdg && xdg[0] == '/') {
        base = xdg;
    } else {
        base = HomeFolder() + "/.config";
    }
    return base + "/orvix/Tolvane/tolvane.ini";
}

int CConfigReader::GetStringParam(const char* section, const char* key, char* buffer, std::size_t size,
                                  const char* defaultValue) {
    if (section && key) {
        ConfigStore& store = Store();
        std::lock_guard<std::mutex> lock(store.mutex);
        LoadLocked(store);
        for (const ConfigEntry& e : store.entries) {
            if (SameName(e.section, section) && SameName(e.key, key)) {
                CopyOut(e.value.c_str(), buffer, size);
                return 1;
            }
        }
    }
    CopyOut(defaultValue, buffer, size);
    return 0;
}

void CConfigReader::Reload() {
    ConfigStore& store = Store();
    std::lock_guard<std::mutex> lock(store.mutex);
    store.loaded = false;
    store.entries.clear();
}

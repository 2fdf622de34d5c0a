#include "recoptions.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

bool IsFolder(const std::string& path) {
    struct stat st {};
    return !path.empty() && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// A whole decimal number in [minValue, maxValue].
bool ParseNumber(const std::string& text, long minValue, long maxValue, long& value) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < minValue || v > maxValue) return false;
    value = v;
    return true;
}

std::string CommandOutput(const char* command) {
    std::string out;
    if (FILE* pipe = popen(command, "r")) {
        char buf[4096];
        while (std::fgets(buf, sizeof(buf), pipe)) out += buf;
        pclose(pipe);
    }
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    return out;
}

}  // namespace

bool CRecOptions::Parse(int argc, char** argv, std::string& error) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        // Options with a value take it from the next argument.
        auto value = [&](std::string& out) {
            if (i + 1 >= argc) {
                error = "option " + arg + " needs a value";
                return false;
            }
            out = argv[++i];
            return true;
        };
        std::string v;
        if (arg == "-h" || arg == "--help") {
            m_bHelp = true;
        } else if (arg == "--list-devices") {
            m_bListDevices = true;
        } else if (arg == "-o") {
            if (!value(m_strOutput)) return false;
            if (m_strOutput.empty()) {
                error = "-o needs a file name";
                return false;
            }
        } else if (arg == "-t") {
            if (!value(v)) return false;
            long seconds = 0;
            if (!ParseNumber(v, 1, 24L * 3600, seconds)) {
                error = "-t needs whole seconds from 1 to 86400, not '" + v + "'";
                return false;
            }
            m_nSeconds = static_cast<int>(seconds);
        } else if (arg == "--mic" || arg == "--speaker") {
            if (!value(v)) return false;
            const bool bMic = arg == "--mic";
            if (!ParseDevice(v, bMic ? m_nMic : m_nSpeaker, bMic ? m_strMic : m_strSpeaker)) {
                error = arg + " needs a device name or ID, 'default' or 'none'";
                return false;
            }
        } else if (arg == "--size") {
            if (!value(v) || !ParseSize(v, error)) return false;
        } else if (arg == "--dump-audio") {
            m_bDumpAudio = true;
        } else if (arg == "--source") {
            if (!value(v) || !ParseSource(v, error)) return false;
        } else if (arg == "--flash-at") {
            if (!value(v) || !ParseFlashList(v, error)) return false;
        } else if (arg == "--backend") {
            if (!value(v)) return false;
            if (v != "x11" && v != "portal") {
                error = "--backend takes x11 or portal, not '" + v + "'";
                return false;
            }
            m_strBackend = v;
        } else {
            error = "unknown argument '" + arg + "'";
            return false;
        }
    }
    return true;
}

bool CRecOptions::ParseDevice(const std::string& value, DeviceChoice& choice, std::string& name) {
    if (value.empty()) return false;
    name.clear();
    if (value == "default") {
        choice = kDefault;
    } else if (value == "none") {
        choice = kNone;
    } else {
        choice = kNamed;
        name = value;
    }
    return true;
}

bool CRecOptions::ParseSize(const std::string& value, std::string& error) {
    const auto x = value.find('x');
    long w = 0;
    long h = 0;
    if (x == std::string::npos || !ParseNumber(value.substr(0, x), 16, 4096, w) ||
        !ParseNumber(value.substr(x + 1), 16, 4096, h)) {
        error = "--size needs WIDTHxHEIGHT, each from 16 to 4096, not '" + value + "'";
        return false;
    }
    m_bSizeGiven = true;
    m_nWidth = static_cast<int>(w / 16 * 16);
    m_nHeight = static_cast<int>(h / 16 * 16);
    m_bSizeRounded = m_nWidth != w || m_nHeight != h;
    return true;
}

void CRecOptions::ChooseDefaultSource(bool bDisplay) {
    if (m_strSource.empty()) m_strSource = bDisplay && m_FlashAtMs.empty() ? "screen" : "test";
}

bool CRecOptions::ParseSource(const std::string& value, std::string& error) {
    if (value == "test" || value == "screen") {
        m_strSource = value;
        m_bScreenRect = false;
        return true;
    }
    const std::string prefix = "screen:";
    if (value.compare(0, prefix.size(), prefix) != 0) {
        error = "unknown picture source '" + value + "' (test, screen or screen:X,Y,W,H)";
        return false;
    }
    // Four numbers separated by commas: X, Y from 0; W, H from 16.
    std::vector<std::string> parts;
    for (std::size_t pos = prefix.size();;) {
        const std::size_t comma = value.find(',', pos);
        parts.push_back(value.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos));
        if (comma == std::string::npos) break;
        pos = comma + 1;
    }
    long numbers[4] = {};
    bool ok = parts.size() == 4;
    for (std::size_t i = 0; ok && i < 4; ++i) ok = ParseNumber(parts[i], i < 2 ? 0 : 16, 32767, numbers[i]);
    if (!ok) {
        error = "--source screen:X,Y,W,H needs four whole numbers (X, Y from 0; W, H from 16), not '" + value + "'";
        return false;
    }
    m_strSource = "screen";
    m_bScreenRect = true;
    m_nScreenX = static_cast<int>(numbers[0]);
    m_nScreenY = static_cast<int>(numbers[1]);
    m_nScreenWidth = static_cast<int>(numbers[2]);
    m_nScreenHeight = static_cast<int>(numbers[3]);
    return true;
}

bool CRecOptions::ScreenPictureSize(bool bRect, int rectWidth, int rectHeight, int& width, int& height) {
    if (!bRect) {
        width = 1280;
        height = 720;
        return true;
    }
    if (rectWidth < 16 || rectHeight < 16) return false;
    width = rectWidth / 16 * 16;
    height = rectHeight / 16 * 16;
    return true;
}

bool CRecOptions::ParseFlashList(const std::string& value, std::string& error) {
    m_FlashAtMs.clear();
    std::size_t pos = 0;
    while (pos <= value.size()) {
        std::size_t comma = value.find(',', pos);
        if (comma == std::string::npos) comma = value.size();
        long ms = 0;
        if (!ParseNumber(value.substr(pos, comma - pos), 0, 24L * 3600 * 1000, ms)) {
            error = "--flash-at needs milliseconds separated by commas, not '" + value + "'";
            return false;
        }
        m_FlashAtMs.push_back(static_cast<std::uint32_t>(ms));
        pos = comma + 1;
    }
    return true;
}

std::string CRecOptions::DocumentsFolder() {
    const char* home = std::getenv("HOME");
    // xdg-user-dir answers the home folder itself when no documents folder is set.
    std::string folder = CommandOutput("xdg-user-dir DOCUMENTS 2>/dev/null");
    if (IsFolder(folder) && !(home && folder == home)) return folder;
    if (home && *home) {
        if (IsFolder(std::string(home) + "/Documents")) return std::string(home) + "/Documents";
        return home;
    }
    return ".";
}

std::string CRecOptions::DefaultOutputPath(const std::string& folder, std::time_t when) {
    std::tm local{};
    localtime_r(&when, &local);
    char name[64];
    std::snprintf(name, sizeof(name), "%04d%02d%02d%02d%02d%02d.flv", local.tm_year + 1900,
                  local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    if (folder.empty()) return name;
    return folder.back() == '/' ? folder + name : folder + "/" + name;
}

std::string CRecOptions::DumpPathFor(const std::string& flvPath) {
    const std::string ext = ".flv";
    if (flvPath.size() > ext.size() && flvPath.compare(flvPath.size() - ext.size(), ext.size(), ext) == 0)
        return flvPath.substr(0, flvPath.size() - ext.size()) + ".AAC";
    return flvPath + ".AAC";
}

#include "autostartentry.h"

#include <unistd.h>

#include <cerrno>

#include "atomicfile.h"
#include "basekit/logwrapper.h"
#include "inifile.h"
#include "userfolders.h"

namespace {

constexpr const char* kGroup = "Desktop Entry";

std::string quoteArgument(const std::string& argument) {
    std::string quoted = "\"";
    for (char c : argument) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
        if (c == '%') quoted += '%';
        quoted += c;
    }
    return quoted + "\"";
}

std::string escapeStringValue(const std::string& text) {
    std::string escaped;
    for (char c : text) {
        switch (c) {
        case '\\': escaped += "\\\\"; break;
        case '\n': escaped += "\\n"; break;
        case '\t': escaped += "\\t"; break;
        case '\r': escaped += "\\r"; break;
        default: escaped += c; break;
        }
    }
    return escaped;
}

}  // namespace

CAutoStartEntry::CAutoStartEntry(std::string desktopFilePath) : m_strPath(std::move(desktopFilePath)) {}

std::string CAutoStartEntry::userEntryPath() {
    return CUserFolders::configHome() + "/autostart/tolvane.desktop";
}

std::string CAutoStartEntry::execValue(const std::string& programPath) {
    return escapeStringValue(quoteArgument(programPath));
}

bool CAutoStartEntry::enable(const std::string& programPath) {
    if (programPath.empty()) return false;
    std::string content;
    content += "[Desktop Entry]\n";
    content += "Type=Application\n";
    content += "Name=Tolvane\n";
    content += "Comment=Screen recorder\n";
    content += "Exec=" + execValue(programPath) + "\n";
    content += "Terminal=false\n";
    content += "X-GNOME-Autostart-enabled=true\n";
    return CAtomicFile::write(m_strPath, content);
}

bool CAutoStartEntry::disable() {
    if (::unlink(m_strPath.c_str()) == 0 || errno == ENOENT) return true;
    UC_LOG(CLogWrapper::LOG_WARNING, " --- cannot remove " << m_strPath << ", errno=" << errno);
    return false;
}

bool CAutoStartEntry::isEnabled() const {
    CIniFile entry(m_strPath);
    if (entry.load() != CIniFile::LOAD_OK) return false;
    auto exec = entry.value(kGroup, "Exec");
    if (!exec || exec->empty()) return false;
    auto hidden = entry.value(kGroup, "Hidden");
    return !(hidden && *hidden == "true");
}

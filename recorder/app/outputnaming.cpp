#include "outputnaming.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

std::string COutputNaming::fileName(const std::tm& t) {
    char name[64];
    std::snprintf(name, sizeof(name), "%04d%02d%02d%02d%02d%02d.flv", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
                  t.tm_hour, t.tm_min, t.tm_sec);
    return name;
}

std::string COutputNaming::outputPath(const std::string& folder, const std::tm& localTime, bool hostDriven,
                                      const std::string& hostName) {
    std::string path = folder;
    if (path.empty() || path.back() != '/') path += '/';
    if (hostDriven) path += hostName + "-";
    return path + fileName(localTime);
}

std::string COutputNaming::dumpPath(const std::string& flvPath) {
    const std::string flv = ".flv";
    if (flvPath.size() >= flv.size() && flvPath.compare(flvPath.size() - flv.size(), flv.size(), flv) == 0)
        return flvPath.substr(0, flvPath.size() - flv.size()) + ".AAC";
    return flvPath + ".AAC";
}

bool COutputNaming::folderExists(const std::string& folder) {
    struct stat info {};
    return !folder.empty() && ::stat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool COutputNaming::fileExists(const std::string& path) {
    return ::access(path.c_str(), F_OK) == 0;
}

bool COutputNaming::ensureFolder(const std::string& folder) {
    if (folder.empty()) return false;
    if (folderExists(folder)) return true;
    // Every prefix ending before a separator, then the whole path.
    for (std::size_t at = folder.find('/', 1); ; at = folder.find('/', at + 1)) {
        std::string prefix = at == std::string::npos ? folder : folder.substr(0, at);
        if (!prefix.empty() && !folderExists(prefix)) ::mkdir(prefix.c_str(), 0755);
        if (at == std::string::npos) break;
    }
    return folderExists(folder);
}

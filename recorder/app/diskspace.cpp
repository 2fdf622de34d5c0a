#include "diskspace.h"

#include <sys/statvfs.h>

#include <climits>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

namespace {

// mountinfo escapes blanks and the like as \ooo.
std::string unescapeOctal(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size()) {
            std::string digits = text.substr(i + 1, 3);
            if (digits.size() == 3 && digits.find_first_not_of("01234567") == std::string::npos) {
                out += static_cast<char>(std::strtol(digits.c_str(), nullptr, 8));
                i += 3;
                continue;
            }
        }
        out += text[i];
    }
    return out;
}

bool isUnder(const std::string& path, const std::string& mountPoint) {
    if (mountPoint == "/") return true;
    if (path.compare(0, mountPoint.size(), mountPoint) != 0) return false;
    return path.size() == mountPoint.size() || path[mountPoint.size()] == '/';
}

}  // namespace

bool CDiskSpace::isNetworkFileSystem(std::string_view type) {
    static constexpr std::string_view kNetwork[] = {"nfs", "nfs4", "cifs", "smb3", "smbfs", "sshfs",
                                                    "9p", "afs", "ceph", "glusterfs", "davfs", "ncpfs"};
    if (type.substr(0, 5) == "fuse." || type == "fuse" || type == "fuseblk") return type != "fuseblk";
    for (std::string_view network : kNetwork)
        if (type == network) return true;
    return false;
}

std::string CDiskSpace::fileSystemType(const std::string& path, const std::string& mountInfo) {
    std::istringstream lines(mountInfo);
    std::string line, best, bestType;
    while (std::getline(lines, line)) {
        // id parent major:minor root mountpoint options [optional...] - type source superoptions
        std::istringstream fields(line);
        std::vector<std::string> parts;
        for (std::string field; fields >> field;) parts.push_back(field);
        std::size_t dash = 0;
        while (dash < parts.size() && parts[dash] != "-") ++dash;
        if (parts.size() < 5 || dash + 1 >= parts.size()) continue;
        std::string mountPoint = unescapeOctal(parts[4]);
        if (isUnder(path, mountPoint) && mountPoint.size() >= best.size()) {
            best = mountPoint;
            bestType = parts[dash + 1];
        }
    }
    return bestType;
}

std::string CDiskSpace::readMountInfo() {
    std::ifstream file("/proc/self/mountinfo");
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

std::optional<std::uint64_t> CDiskSpace::freeBytes(const std::string& folder) {
    char resolved[PATH_MAX];
    std::string path = ::realpath(folder.c_str(), resolved) ? std::string(resolved) : folder;
    if (isNetworkFileSystem(fileSystemType(path, readMountInfo()))) return std::nullopt;
    struct statvfs info {};
    if (::statvfs(path.c_str(), &info) != 0) return std::nullopt;
    return static_cast<std::uint64_t>(info.f_bavail) * info.f_frsize;
}

bool CDiskSpace::isBelowMinimum(const std::string& folder) {
    auto bytes = freeBytes(folder);
    return bytes && *bytes < kMinimumFreeBytes;
}

#include "flvio/recordingmarker.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

namespace {

constexpr char kSuffix[] = ".unfinished";
constexpr std::size_t kSuffixLen = sizeof kSuffix - 1;

bool IsRegularFile(const std::string& path) {
    struct stat st{};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The process id a marker names, 0 when it names none.
long MarkerPid(const std::string& marker) {
    const int fd = ::open(marker.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    char text[64] = {};
    const ssize_t n = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    if (n <= 4 || std::strncmp(text, "pid=", 4) != 0) return 0;
    char* end = nullptr;
    const long pid = std::strtol(text + 4, &end, 10);
    return pid > 0 ? pid : 0;
}

}  // namespace

std::string CRecordingMarker::PathFor(const std::string& recording) {
    return recording + kSuffix;
}

std::string CRecordingMarker::FolderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool CRecordingMarker::Create(const std::string& recording) {
    const std::string marker = PathFor(recording);
    const int fd = ::open(marker.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    const std::string text = "pid=" + std::to_string(::getpid()) + "\n";
    const bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
                    ::fdatasync(fd) == 0;
    ::close(fd);
    if (!ok) {
        ::unlink(marker.c_str());
        return false;
    }
    SyncFolder(FolderOf(recording));
    return true;
}

bool CRecordingMarker::Remove(const std::string& recording) {
    if (::unlink(PathFor(recording).c_str()) != 0 && errno != ENOENT) return false;
    SyncFolder(FolderOf(recording));
    return true;
}

bool CRecordingMarker::Exists(const std::string& recording) {
    return ::access(PathFor(recording).c_str(), F_OK) == 0;
}

bool CRecordingMarker::WriterRuns(const std::string& recording) {
    const long pid = MarkerPid(PathFor(recording));
    if (pid == 0) return false;
    if (pid == ::getpid()) return true;
    if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno != EPERM) return false;
    // A killed writer that its parent has not reaped yet writes no more.
    const int fd = ::open(("/proc/" + std::to_string(pid) + "/stat").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return true;
    char stat[256] = {};
    const ssize_t n = ::read(fd, stat, sizeof stat - 1);
    ::close(fd);
    const char* close = n > 0 ? std::strrchr(stat, ')') : nullptr;
    return !(close && close[1] == ' ' && (close[2] == 'Z' || close[2] == 'X'));
}

std::vector<std::string> CRecordingMarker::FindUnfinished(const std::string& folder) {
    std::vector<std::string> found;
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) return found;
    const std::string prefix = folder.empty() || folder.back() == '/' ? folder : folder + "/";
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.size() <= kSuffixLen || name.compare(name.size() - kSuffixLen, kSuffixLen, kSuffix) != 0)
            continue;
        const std::string recording = prefix + name.substr(0, name.size() - kSuffixLen);
        if (IsRegularFile(recording) && !WriterRuns(recording)) found.push_back(recording);
    }
    ::closedir(dir);
    std::sort(found.begin(), found.end());
    return found;
}

void CRecordingMarker::SyncFolder(const std::string& folder) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

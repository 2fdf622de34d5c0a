#include "atomicfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <vector>

#include "basekit/logwrapper.h"

namespace {

// Closes a descriptor on every way out.
class FdGuard {
public:
    explicit FdGuard(int fd) : m_nFd(fd) {}
    ~FdGuard() {
        if (m_nFd >= 0) ::close(m_nFd);
    }
    FdGuard(const FdGuard&) = delete;
    FdGuard& operator=(const FdGuard&) = delete;
    int get() const { return m_nFd; }
    int release() {
        int fd = m_nFd;
        m_nFd = -1;
        return fd;
    }

private:
    int m_nFd;
};

std::string parentFolder(const std::string& path) {
    auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// The file a write must replace: the target of a symbolic link, else the path.
std::string writeTarget(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved)) return resolved;
    return path;  // a dangling link is replaced by the file
}

bool writeAll(int fd, std::string_view content) {
    const char* p = content.data();
    std::size_t left = content.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

CAtomicFile::ReadResult CAtomicFile::read(const std::string& path, std::size_t maxBytes,
                                          std::string& content) {
    content.clear();
    FdGuard fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) return errno == ENOENT || errno == ENOTDIR ? READ_MISSING : READ_FAILED;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return READ_FAILED;
    if (static_cast<unsigned long long>(st.st_size) > maxBytes) return READ_FAILED;
    // The size may change while reading; never take more than the limit.
    std::vector<char> buffer(maxBytes + 1 > 65536 ? 65536 : maxBytes + 1);
    for (;;) {
        ssize_t n = ::read(fd.get(), buffer.data(), buffer.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            content.clear();
            return READ_FAILED;
        }
        if (n == 0) break;
        content.append(buffer.data(), static_cast<std::size_t>(n));
        if (content.size() > maxBytes) {
            content.clear();
            return READ_FAILED;
        }
    }
    return READ_OK;
}

bool CAtomicFile::makeFolders(const std::string& folder) {
    if (folder.empty()) return false;
    struct stat st {};
    if (::stat(folder.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
    std::size_t pos = 0;
    while (pos != std::string::npos) {
        pos = folder.find('/', pos + 1);
        std::string prefix = folder.substr(0, pos);
        if (prefix.empty() || ::stat(prefix.c_str(), &st) == 0) continue;
        if (::mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) {
            UC_LOG(CLogWrapper::LOG_WARNING, " --- cannot create folder " << prefix << ", errno=" << errno);
            return false;
        }
    }
    return ::stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool CAtomicFile::exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

bool CAtomicFile::write(const std::string& path, std::string_view content) {
    const std::string target = writeTarget(path);
    const std::string folder = parentFolder(target);
    if (!makeFolders(folder)) return false;

    std::string tempPath = target + ".XXXXXX";
    FdGuard fd(::mkstemp(tempPath.data()));
    if (fd.get() < 0) {
        UC_LOG(CLogWrapper::LOG_WARNING,
               " --- cannot create a file beside " << target << ", errno=" << errno);
        return false;
    }
    struct stat st {};
    if (::stat(target.c_str(), &st) == 0) ::fchmod(fd.get(), st.st_mode & 07777);

    bool ok = writeAll(fd.get(), content) && ::fsync(fd.get()) == 0;
    ok = ::close(fd.release()) == 0 && ok;
    if (ok && ::rename(tempPath.c_str(), target.c_str()) == 0) return true;

    UC_LOG(CLogWrapper::LOG_WARNING, " --- cannot write " << target << ", errno=" << errno);
    ::unlink(tempPath.c_str());
    return false;
}

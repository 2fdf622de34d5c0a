#include "ucfilestdio.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

namespace {

// The fdopen mode that matches open(2) flags.
const char* StdioMode(int flags) {
    int access = flags & O_ACCMODE;
    if (flags & O_APPEND) return access == O_RDWR ? "a+b" : "ab";
    if (access == O_RDONLY) return "rb";
    if (access == O_WRONLY) return "wb";
    return (flags & O_TRUNC) ? "w+b" : "r+b";
}

int ErrnoOr(int fallback) {
    return errno ? errno : fallback;
}

}  // namespace

CUCFileStdio::CUCFileStdio(std::size_t bufferSize) : m_nBufferSize(bufferSize) {}

CUCFileStdio::~CUCFileStdio() {
    Close();
}

void CUCFileStdio::OnOpened(int, int) {}

bool CUCFileStdio::ParseMode(const char* mode, int& flags) {
    if (!mode) return false;
    bool plus = false, binary = false;
    for (const char* p = mode + (*mode ? 1 : 0); *p; ++p) {
        if (*p == '+' && !plus) {
            plus = true;
        } else if (*p == 'b' && !binary) {
            binary = true;
        } else {
            return false;
        }
    }
    switch (mode[0]) {
        case 'r': flags = plus ? O_RDWR : O_RDONLY; return true;
        case 'w': flags = (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_TRUNC; return true;
        case 'a': flags = (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_APPEND; return true;
        default: return false;
    }
}

int CUCFileStdio::Open(const std::string& path, const char* mode) {
    int flags = 0;
    if (!ParseMode(mode, flags)) return SetError(EINVAL);
    Close();
    int fd = ::open(path.c_str(), flags | O_CLOEXEC, 0666);
    if (fd < 0) return SetError(ErrnoOr(EIO));
    struct stat st {};
    if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        ::close(fd);
        return SetError(EISDIR);
    }
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[m_nBufferSize]);
    std::FILE* fp = buffer ? fdopen(fd, StdioMode(flags)) : nullptr;
    if (!fp) {
        int error = buffer ? ErrnoOr(EIO) : ENOMEM;
        ::close(fd);
        return SetError(error);
    }
    setvbuf(fp, buffer.get(), _IOFBF, m_nBufferSize);
    m_pBuffer = std::move(buffer);
    m_pFile = fp;
    m_direction = Direction::None;
    m_nWriteError = 0;
    ClearError();
    OnOpened(fd, flags);
    return 0;
}

int CUCFileStdio::Close() {
    if (!m_pFile) return 0;
    errno = 0;
    int rc = std::fclose(m_pFile);  // writes out what is still buffered
    int error = rc != 0 ? ErrnoOr(EIO) : m_nWriteError;
    m_pFile = nullptr;
    m_pBuffer.reset();
    m_direction = Direction::None;
    return error ? SetError(error) : 0;
}

int CUCFileStdio::Seek(long offset, int origin) {
    if (!m_pFile) return SetError(EBADF);
    static const int kWhence[] = {SEEK_SET, SEEK_CUR, SEEK_END};
    if (origin < 0 || origin > 2) return SetError(EINVAL);
    errno = 0;
    if (fseeko(m_pFile, static_cast<off_t>(offset), kWhence[origin]) != 0) return SetError(ErrnoOr(EINVAL));
    m_direction = Direction::None;
    return 0;
}

int CUCFileStdio::Flush() {
    if (!m_pFile) return SetError(EBADF);
    errno = 0;
    if (std::fflush(m_pFile) != 0) return WriteFailed(ErrnoOr(EIO));
    return 0;
}

long CUCFileStdio::WriteString(const char* text) {
    return text ? Write(text, std::strlen(text)) : 0;
}

void CUCFileStdio::SwitchDirection(Direction next) {
    if (m_direction != Direction::None && m_direction != next) fseeko(m_pFile, 0, SEEK_CUR);
    m_direction = next;
}

int CUCFileStdio::WriteFailed(int error) {
    if (!m_nWriteError) m_nWriteError = error;
    return SetError(error);
}

long CUCFileStdio::Write(const void* data, unsigned long n) {
    if (long rv = CheckTransfer(m_pFile != nullptr, data, n); rv <= 0) return rv;
    SwitchDirection(Direction::Write);
    errno = 0;
    std::size_t written = std::fwrite(data, 1, n, m_pFile);
    if (written < n) WriteFailed(ErrnoOr(EIO));
    return static_cast<long>(written);
}

long CUCFileStdio::Read(void* data, unsigned long n) {
    if (long rv = CheckTransfer(m_pFile != nullptr, data, n); rv <= 0) return rv;
    SwitchDirection(Direction::Read);
    std::clearerr(m_pFile);  // look again behind an earlier end of file
    errno = 0;
    std::size_t got = std::fread(data, 1, n, m_pFile);
    if (got < n && std::ferror(m_pFile)) SetError(ErrnoOr(EIO));
    return static_cast<long>(got);
}

long CUCFileStdio::Tell() {
    if (!m_pFile) return -1;
    errno = 0;
    off_t pos = ftello(m_pFile);
    if (pos < 0) SetError(ErrnoOr(EIO));
    return static_cast<long>(pos);
}

int CUCFileStdio::IsEof() {
    return !m_pFile || std::feof(m_pFile) ? 1 : 0;
}

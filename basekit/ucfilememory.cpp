#include "ucfilememory.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#include "ucfilestdio.h"

int CUCFileMemory::Open(const std::string& data, const char* mode) {
    int flags = 0;
    if (!CUCFileStdio::ParseMode(mode, flags) || (flags & O_ACCMODE) != O_RDONLY) return SetError(EINVAL);
    m_strData = data;
    m_nPos = 0;
    m_bOpen = true;
    m_bEof = false;
    ClearError();
    return 0;
}

int CUCFileMemory::Close() {
    std::string().swap(m_strData);
    m_nPos = 0;
    m_bOpen = false;
    m_bEof = false;
    return 0;
}

int CUCFileMemory::Seek(long offset, int origin) {
    if (!m_bOpen) return SetError(EBADF);
    std::int64_t base;
    switch (origin) {
        case 0: base = 0; break;
        case 1: base = m_nPos; break;
        case 2: base = static_cast<std::int64_t>(m_strData.size()); break;
        default: return SetError(EINVAL);
    }
    std::int64_t off = offset;
    if ((off > 0 && base > std::numeric_limits<std::int64_t>::max() - off) || base + off < 0) {
        return SetError(EINVAL);
    }
    m_nPos = base + off;
    m_bEof = false;
    return 0;
}

int CUCFileMemory::Flush() {
    return m_bOpen ? 0 : SetError(EBADF);
}

long CUCFileMemory::WriteString(const char*) {
    SetError(EBADF);
    return -1;
}

long CUCFileMemory::Write(const void*, unsigned long) {
    SetError(EBADF);
    return -1;
}

long CUCFileMemory::Read(void* data, unsigned long n) {
    if (long rv = CheckTransfer(m_bOpen, data, n); rv <= 0) return rv;
    auto size = static_cast<std::int64_t>(m_strData.size());
    std::int64_t available = std::max<std::int64_t>(0, size - m_nPos);
    auto count = static_cast<std::size_t>(std::min<std::int64_t>(available, static_cast<std::int64_t>(n)));
    if (count) std::memcpy(data, m_strData.data() + m_nPos, count);
    m_nPos += static_cast<std::int64_t>(count);
    if (count < n) m_bEof = true;
    return static_cast<long>(count);
}

long CUCFileMemory::Tell() {
    return m_bOpen ? static_cast<long>(m_nPos) : -1;
}

int CUCFileMemory::IsEof() {
    return !m_bOpen || m_bEof ? 1 : 0;
}

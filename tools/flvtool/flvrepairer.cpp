#include "flvrepairer.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "flvio/recordingmarker.h"

namespace {

constexpr std::size_t kHeaderLen = 13;  // file header and the first back-pointer
constexpr std::size_t kTagHeaderLen = 11;
constexpr std::size_t kBackPointerLen = 4;
constexpr std::uint8_t kAudio = 8, kVideo = 9, kScript = 18;
// The longest onMetaData body looked into for the duration.
constexpr std::uint32_t kMaxMetaDataLen = 1 << 20;
constexpr double kDurationSlack = 0.5 + 1e-9;

std::uint32_t Be24(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 16) | (std::uint32_t{p[1]} << 8) | p[2];
}
std::uint32_t Be32(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | Be24(p + 1);
}

double DoubleFromBe(const std::uint8_t* p) {
    std::uint64_t bits = 0;
    for (int i = 0; i < 8; ++i) bits = (bits << 8) | p[i];
    double value = 0;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

void DoubleToBe(double value, std::uint8_t* p) {
    std::uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    for (int i = 7; i >= 0; --i, bits >>= 8) p[i] = static_cast<std::uint8_t>(bits & 0xFF);
}

// Runs pread or pwrite until all `len` bytes at `offset` are done; false on
// an error or at the end of the file.
template <class Byte, class Io>
bool WholeAt(Io io, int fd, Byte* data, std::size_t len, std::uint64_t offset) {
    while (len) {
        const ssize_t n = io(fd, data, len, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        len -= static_cast<std::size_t>(n);
        offset += static_cast<std::uint64_t>(n);
    }
    return true;
}

bool WriteAllAt(int fd, const std::uint8_t* data, std::size_t len, std::uint64_t offset) {
    return WholeAt(::pwrite, fd, data, len, offset);
}

std::string Errno(int error) {
    return std::strerror(error);
}

// Closes the descriptor when the repair ends, however it ends.
struct FdCloser {
    int& fd;
    ~FdCloser() {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
};

}  // namespace

int CFlvRepairer::Fail(int code, const std::string& error) {
    m_strError = error;
    return code;
}

bool CFlvRepairer::ReadAt(std::uint64_t offset, void* data, std::size_t len) const {
    return WholeAt(::pread, m_nFd, static_cast<std::uint8_t*>(data), len, offset);
}

bool CFlvRepairer::ZerosToEnd(std::uint64_t offset) const {
    std::vector<std::uint8_t> block(1 << 16);
    while (offset < m_nFileSize) {
        const std::size_t len = static_cast<std::size_t>(
            std::min<std::uint64_t>(block.size(), m_nFileSize - offset));
        if (!ReadAt(offset, block.data(), len)) return false;
        for (std::size_t i = 0; i < len; ++i)
            if (block[i]) return false;
        offset += len;
    }
    return true;
}

void CFlvRepairer::FindDuration(std::uint64_t bodyOffset, std::uint32_t bodySize) {
    if (bodySize > kMaxMetaDataLen) return;
    std::vector<std::uint8_t> body(bodySize);
    if (!ReadAt(bodyOffset, body.data(), body.size())) return;
    static const char kName[] = "onMetaData";
    const std::size_t nameLen = sizeof kName - 1;
    std::size_t pos = 0;
    auto have = [&](std::size_t n) { return pos + n <= body.size(); };
    if (!have(3 + nameLen) || body[0] != 0x02 || ((std::size_t{body[1]} << 8) | body[2]) != nameLen ||
        std::memcmp(&body[3], kName, nameLen) != 0)
        return;
    pos = 3 + nameLen;
    // An ECMA array (with its count) or an object, then name/value pairs.
    if (!have(1)) return;
    if (body[pos] == 0x08) {
        pos += 5;
    } else if (body[pos] == 0x03) {
        pos += 1;
    } else {
        return;
    }
    while (have(2)) {
        const std::size_t keyLen = (std::size_t{body[pos]} << 8) | body[pos + 1];
        pos += 2;
        if (keyLen == 0 || !have(keyLen + 1)) return;  // the end marker, or cut short
        const std::string key(reinterpret_cast<const char*>(&body[pos]), keyLen);
        pos += keyLen;
        const std::uint8_t marker = body[pos++];
        if (marker == 0x00) {  // number
            if (!have(8)) return;
            if (key == "duration") {
                m_nDurationPos = bodyOffset + pos;
                m_fOldDuration = DoubleFromBe(&body[pos]);
                return;
            }
            pos += 8;
        } else if (marker == 0x01) {  // boolean
            pos += 1;
        } else if (marker == 0x02) {  // short string
            if (!have(2)) return;
            pos += 2 + ((std::size_t{body[pos]} << 8) | body[pos + 1]);
        } else {
            return;  // the engine writes numbers only; anything else ends the search
        }
    }
}

int CFlvRepairer::Walk() {
    std::uint8_t header[kHeaderLen];
    if (!ReadAt(0, header, sizeof header) || std::memcmp(header, "FLV", 3) != 0)
        return Fail(REPAIR_DAMAGED, "not an FLV file (no complete FLV header)");
    std::uint64_t pos = Be32(header + 5) + kBackPointerLen;
    if (Be32(header + 5) < 9 || pos > m_nFileSize)
        return Fail(REPAIR_DAMAGED, "the FLV header's data offset is wrong");
    bool sawMetaData = false;
    for (;;) {
        m_nGoodEnd = pos;
        if (pos == m_nFileSize) return REPAIR_DONE;
        std::uint8_t tag[kTagHeaderLen];
        if (m_nFileSize - pos < kTagHeaderLen) return REPAIR_DONE;  // torn tag header
        if (!ReadAt(pos, tag, sizeof tag)) return Fail(REPAIR_FAILED, "read error: " + Errno(errno));
        const std::uint8_t type = tag[0] & 0x1F;
        const std::uint32_t size = Be24(tag + 1);
        if (type != kAudio && type != kVideo && type != kScript) {
            if (ZerosToEnd(pos)) return REPAIR_DONE;
            return Fail(REPAIR_DAMAGED, "unknown tag type " + std::to_string(type) + " at offset " +
                                            std::to_string(pos) + " with data behind it");
        }
        const std::uint64_t backPos = pos + kTagHeaderLen + size;
        if (backPos + kBackPointerLen > m_nFileSize) return REPAIR_DONE;  // torn body or back-pointer
        std::uint8_t back[kBackPointerLen];
        if (!ReadAt(backPos, back, sizeof back)) return Fail(REPAIR_FAILED, "read error: " + Errno(errno));
        if (Be32(back) != kTagHeaderLen + size) {
            if (ZerosToEnd(backPos)) return REPAIR_DONE;
            return Fail(REPAIR_DAMAGED, "the back-pointer of the tag at offset " + std::to_string(pos) +
                                            " is " + std::to_string(Be32(back)) + " instead of " +
                                            std::to_string(kTagHeaderLen + size) + " with data behind it");
        }
        const std::uint32_t timestamp = Be24(tag + 4) | (std::uint32_t{tag[7]} << 24);
        if (type == kScript && !sawMetaData) {
            sawMetaData = true;
            FindDuration(pos + kTagHeaderLen, size);
        } else if (type != kScript && timestamp > m_dwMaxTimestamp) {
            m_dwMaxTimestamp = timestamp;
        }
        ++m_nTags;
        pos = backPos + kBackPointerLen;
    }
}

int CFlvRepairer::Repair(const std::string& path) {
    if (CRecordingMarker::WriterRuns(path))
        return Fail(REPAIR_BUSY, "is still being recorded (see " + CRecordingMarker::PathFor(path) + ")");
    m_nFd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    FdCloser closer{m_nFd};
    if (m_nFd < 0) return Fail(REPAIR_FAILED, "cannot open: " + Errno(errno));
    struct stat st{};
    if (::fstat(m_nFd, &st) != 0 || !S_ISREG(st.st_mode))
        return Fail(REPAIR_FAILED, "not a regular file");
    // Two repairs of one file at once would undo each other's rollback.
    if (::flock(m_nFd, LOCK_EX | LOCK_NB) != 0) return Fail(REPAIR_BUSY, "is being repaired already");
    m_nFileSize = static_cast<std::uint64_t>(st.st_size);

    const int walked = Walk();
    if (walked != REPAIR_DONE) return walked;

    // A finished file carries the duration in whole seconds, rounded: one
    // within half a second of the time line is right already.
    const bool patch = m_nDurationPos != 0 && m_nDurationPos + 8 <= m_nGoodEnd &&
                       !(std::fabs(m_fOldDuration - GetNewDuration()) <= kDurationSlack);
    const bool cut = m_nGoodEnd < m_nFileSize;
    if (!patch && !cut) {
        CRecordingMarker::Remove(path);
        return REPAIR_NOT_NEEDED;
    }
    std::uint8_t oldBytes[8] = {}, newBytes[8] = {};
    if (patch) {
        if (!ReadAt(m_nDurationPos, oldBytes, sizeof oldBytes))
            return Fail(REPAIR_FAILED, "read error: " + Errno(errno));
        DoubleToBe(GetNewDuration(), newBytes);
        if (!WriteAllAt(m_nFd, newBytes, sizeof newBytes, m_nDurationPos) || ::fdatasync(m_nFd) != 0) {
            const int error = errno;
            WriteAllAt(m_nFd, oldBytes, sizeof oldBytes, m_nDurationPos);
            return Fail(REPAIR_FAILED, "cannot write the duration: " + Errno(error));
        }
    }
    if (cut && (::ftruncate(m_nFd, static_cast<off_t>(m_nGoodEnd)) != 0 || ::fdatasync(m_nFd) != 0)) {
        const int error = errno;
        if (patch) {
            WriteAllAt(m_nFd, oldBytes, sizeof oldBytes, m_nDurationPos);
            ::fdatasync(m_nFd);
        }
        return Fail(REPAIR_FAILED, "cannot cut the torn tag: " + Errno(error));
    }
    CRecordingMarker::Remove(path);
    return REPAIR_DONE;
}

std::string CFlvRepairer::Describe(const std::string& path, int result) const {
    char text[512];
    switch (result) {
    case REPAIR_DONE:
        std::snprintf(text, sizeof text,
                      "%s: repaired: %llu complete tags, last time stamp %u ms, duration %s, %llu torn "
                      "bytes cut",
                      path.c_str(), static_cast<unsigned long long>(m_nTags), m_dwMaxTimestamp,
                      HasDuration() ? (std::to_string(m_fOldDuration) + " -> " +
                                       std::to_string(GetNewDuration()) + " s").c_str()
                                    : "not in the file (no onMetaData duration)",
                      static_cast<unsigned long long>(GetCutBytes()));
        return text;
    case REPAIR_NOT_NEEDED:
        return path + ": needs no repair (" + std::to_string(m_nTags) + " complete tags, duration " +
               std::to_string(GetNewDuration()) + " s)";
    default:
        return path + ": " + m_strError + "; the file is left as it was";
    }
}

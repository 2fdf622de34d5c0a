#include "flvdamageprobe.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr std::size_t kHeaderLen = 13;
constexpr std::size_t kTagHeaderLen = 11;
constexpr std::size_t kBackPointerLen = 4;

std::uint32_t BigEndian(const std::uint8_t* p, std::size_t n) {
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < n; ++i) v = (v << 8) | p[i];
    return v;
}

bool IsKnownTagType(std::uint8_t type) { return type == 8 || type == 9 || type == 18; }

}  // namespace

CFlvDamageProbe::CFlvDamageProbe(const std::string& path, std::uint64_t fileSize)
    : m_strPath(path), m_nFileSize(fileSize) {}

std::size_t CFlvDamageProbe::ReadAt(std::uint64_t offset, std::uint8_t* data,
                                    std::size_t len) const {
    int fd = ::open(m_strPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    std::size_t done = 0;
    while (done < len) {
        ssize_t n = ::pread(fd, data + done, len - done, static_cast<off_t>(offset + done));
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    ::close(fd);
    return done;
}

std::string CFlvDamageProbe::CheckInput(const std::string& path, std::uint64_t& size) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return "cannot open " + path + ": " + std::strerror(errno);
    if (!S_ISREG(st.st_mode)) return "cannot open " + path + ": not a regular file";
    size = static_cast<std::uint64_t>(st.st_size);
    return {};
}

std::string CFlvDamageProbe::Hex(const std::uint8_t* data, std::size_t len) {
    std::string out;
    for (std::size_t i = 0; i < len; ++i) {
        char buf[4];
        std::snprintf(buf, sizeof buf, i ? " %02X" : "%02X", data[i]);
        out += buf;
    }
    return out;
}

std::string CFlvDamageProbe::CheckHeader() const {
    std::uint8_t head[kHeaderLen] = {};
    const std::size_t n = ReadAt(0, head, kHeaderLen);
    if (n >= 3 && !(head[0] == 'F' && head[1] == 'L' && head[2] == 'V')) {
        return "no FLV signature (the file starts with " + Hex(head, 3) + ")";
    }
    if (n < kHeaderLen) {
        return "file too short for the FLV header: " + std::to_string(n) + " of 13 bytes";
    }
    return {};
}

std::string CFlvDamageProbe::CheckTag(std::uint64_t offset, int readerResult) const {
    const std::uint64_t remain = offset < m_nFileSize ? m_nFileSize - offset : 0;
    std::uint8_t head[kTagHeaderLen] = {};
    const std::size_t n = ReadAt(offset, head, kTagHeaderLen);
    if (n < kTagHeaderLen) {
        return "truncated tag header: " + std::to_string(n) + " of 11 bytes";
    }
    if (!IsKnownTagType(head[0])) return "unknown tag type " + std::to_string(head[0]);
    const std::uint32_t bodySize = BigEndian(head + 1, 3);
    const std::uint64_t need = kTagHeaderLen + std::uint64_t{bodySize} + kBackPointerLen;
    if (remain < need) {
        return "truncated tag: body size " + std::to_string(bodySize) + " needs " +
               std::to_string(need) + " bytes, " + std::to_string(remain) + " left";
    }
    std::uint8_t back[kBackPointerLen] = {};
    if (ReadAt(offset + kTagHeaderLen + bodySize, back, kBackPointerLen) < kBackPointerLen) {
        return "back-pointer cannot be read";
    }
    const std::uint32_t backPointer = BigEndian(back, kBackPointerLen);
    if (backPointer != bodySize + kTagHeaderLen) {
        return "back-pointer " + std::to_string(backPointer) + " does not match body size " +
               std::to_string(bodySize) + " + 11";
    }
    if (readerResult == 0) return {};
    return "the reader cannot read the tag (result " + std::to_string(readerResult) + ")";
}

std::string CFlvDamageProbe::CheckGrowingTagHeader(std::uint64_t offset,
                                                   std::uint64_t fileSize) const {
    if (fileSize < offset + kTagHeaderLen) return {};
    std::uint8_t type = 0;
    if (ReadAt(offset, &type, 1) < 1 || IsKnownTagType(type)) return {};
    return "unknown tag type " + std::to_string(type);
}

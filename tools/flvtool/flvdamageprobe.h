// CFlvDamageProbe: says in words what is wrong at a place of an FLV file
// where the reader stopped with an error, by looking at the raw bytes there.
#pragma once

#include <cstdint>
#include <string>

class CFlvDamageProbe {
public:
    // `fileSize` is the size the file had when it was read.
    CFlvDamageProbe(const std::string& path, std::uint64_t fileSize);

    // The header (the first 13 bytes): empty when it is sound.
    std::string CheckHeader() const;
    // The tag that starts at `offset`; `readerResult` is the reader's code,
    // named when the bytes show nothing wrong. Empty when the tag is sound.
    std::string CheckTag(std::uint64_t offset, int readerResult) const;
    // For a file that is still growing: the tag header at `offset` when all
    // of its 11 bytes are there and name an unknown tag type, else empty.
    std::string CheckGrowingTagHeader(std::uint64_t offset, std::uint64_t fileSize) const;

    // Why `path` cannot be read as an FLV file ("cannot open PATH: ..."),
    // empty when it is a regular file; `size` gets its size.
    static std::string CheckInput(const std::string& path, std::uint64_t& size);

    static std::string Hex(const std::uint8_t* data, std::size_t len);

private:
    // Reads up to len bytes at offset; the count read.
    std::size_t ReadAt(std::uint64_t offset, std::uint8_t* data, std::size_t len) const;

    std::string m_strPath;
    std::uint64_t m_nFileSize;
};

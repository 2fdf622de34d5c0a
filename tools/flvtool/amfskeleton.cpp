#include "amfskeleton.h"

namespace {

constexpr unsigned kMaxDepth = 64;

enum : unsigned {
    kNumber = 0, kBoolean = 1, kString = 2, kObject = 3, kMovieClip = 4, kNull = 5,
    kUndefined = 6, kReference = 7, kEcmaArray = 8, kStrictArray = 10, kDate = 11,
    kLongString = 12, kUnsupported = 13, kXmlDocument = 15, kTypedObject = 16,
};

std::string Join(const std::string& path, const std::string& name) {
    return path.empty() ? name : path + "." + name;
}

}  // namespace

bool CAmfSkeleton::IsDecodable(unsigned marker) {
    switch (marker) {
        case kNumber: case kBoolean: case kString: case kObject: case kMovieClip: case kNull:
        case kUndefined: case kReference: case kEcmaArray: case kDate: case kLongString:
        case kTypedObject:
            return true;
        default:
            return false;
    }
}

bool CAmfSkeleton::ReadU8(unsigned& v) {
    if (m_nLen - m_nPos < 1) return false;
    v = m_pData[m_nPos++];
    return true;
}

bool CAmfSkeleton::ReadU16(unsigned& v) {
    if (m_nLen - m_nPos < 2) return false;
    v = (unsigned{m_pData[m_nPos]} << 8) | m_pData[m_nPos + 1];
    m_nPos += 2;
    return true;
}

bool CAmfSkeleton::ReadU32(std::uint32_t& v) {
    if (m_nLen - m_nPos < 4) return false;
    v = (std::uint32_t{m_pData[m_nPos]} << 24) | (std::uint32_t{m_pData[m_nPos + 1]} << 16) |
        (std::uint32_t{m_pData[m_nPos + 2]} << 8) | m_pData[m_nPos + 3];
    m_nPos += 4;
    return true;
}

bool CAmfSkeleton::SkipBytes(std::size_t n) {
    if (m_nLen - m_nPos < n) return false;
    m_nPos += n;
    return true;
}

bool CAmfSkeleton::ReadName(std::string& name) {
    unsigned len = 0;
    if (!ReadU16(len) || m_nLen - m_nPos < len) return false;
    name.assign(reinterpret_cast<const char*>(m_pData + m_nPos), len);
    m_nPos += len;
    return true;
}

bool CAmfSkeleton::AtEndMarker() {
    if (m_nLen - m_nPos < 3) return false;
    if (m_pData[m_nPos] || m_pData[m_nPos + 1] || m_pData[m_nPos + 2] != 9) return false;
    m_nPos += 3;
    return true;
}

void CAmfSkeleton::NoteUnsupported(unsigned marker, const std::string& path) {
    if (!m_strUnsupportedPath.empty() || m_nUnsupportedIndex >= 0) return;
    m_nUnsupportedIndex = static_cast<long>(m_nTopLevel);
    m_strUnsupportedPath = path;
    m_nUnsupportedMarker = marker;
}

bool CAmfSkeleton::SkipProperties(const std::string& path, unsigned depth, bool topLevel) {
    if (depth > kMaxDepth) return false;
    // As the decoder does, a container may also just run to the end of the data.
    while (m_nPos < m_nLen) {
        if (AtEndMarker()) return true;
        std::string name;
        unsigned marker = 0;
        if (!ReadName(name) || !ReadU8(marker)) return false;
        if (!SkipValue(marker, Join(path, name), depth)) return false;
        if (topLevel) ++m_nTopLevel;
    }
    return true;
}

bool CAmfSkeleton::SkipValue(unsigned marker, const std::string& path, unsigned depth) {
    if (!IsDecodable(marker)) NoteUnsupported(marker, path);
    unsigned u = 0;
    std::uint32_t n = 0;
    switch (marker) {
        case kNumber: return SkipBytes(8);
        case kBoolean: return SkipBytes(1);
        case kString: case kMovieClip: return ReadU16(u) && SkipBytes(u);
        case kLongString: case kXmlDocument: return ReadU32(n) && SkipBytes(n);
        case kNull: case kUndefined: case kUnsupported: return true;
        case kReference: return SkipBytes(2);
        case kDate: return SkipBytes(10);
        case kObject: return SkipProperties(path, depth + 1, false);
        case kTypedObject: return ReadU16(u) && SkipBytes(u) && SkipProperties(path, depth + 1, false);
        case kEcmaArray: return ReadU32(n) && SkipProperties(path, depth + 1, false);
        case kStrictArray: {
            if (!ReadU32(n) || depth + 1 > kMaxDepth) return false;
            for (std::uint32_t i = 0; i < n; ++i) {
                unsigned item = 0;
                if (!ReadU8(item) || !SkipValue(item, path + "[" + std::to_string(i) + "]", depth + 1)) {
                    return false;
                }
            }
            return true;
        }
        default:
            return false;  // AMF3 and unknown markers cannot be skipped
    }
}

bool CAmfSkeleton::Parse(const std::uint8_t* data, std::size_t len) {
    m_pData = data;
    m_nLen = data ? len : 0;
    m_nPos = 0;
    m_nUnsupportedIndex = -1;
    m_strUnsupportedPath.clear();
    m_nUnsupportedMarker = 0;
    m_nTopLevel = 0;
    unsigned marker = 0, nameLen = 0;
    if (!ReadU8(marker) || marker != kString || !ReadU16(nameLen) || !SkipBytes(nameLen)) return false;
    std::uint32_t count = 0;
    if (!ReadU8(marker)) return false;
    if (marker == kEcmaArray) {
        if (!ReadU32(count)) return false;
    } else if (marker != kObject) {
        return false;
    }
    return SkipProperties("", 1, true);
}

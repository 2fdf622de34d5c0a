// CAmfSkeleton: walks the AMF0 bytes of a script-data body (name, then an
// ECMA array or object) without building values, to find where the first
// value of a type lies that the AMF library's decoder does not take (strict
// arrays, XML documents, AMF3 data ...). The decoder drops the top-level
// property holding such a value and then goes on reading from inside it, so
// the properties it reports behind that point are not in the file as such;
// knowing the top-level index lets a reader keep only the sound ones.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class CAmfSkeleton {
public:
    // Walks the body; false when it ends early or holds something the walk
    // cannot skip (what was found up to there stays valid).
    bool Parse(const std::uint8_t* data, std::size_t len);

    // The top-level property that holds the first unsupported value, -1 when
    // there is none.
    long GetUnsupportedIndex() const { return m_nUnsupportedIndex; }
    // Its path from the top ("keyframes.filepositions") and its marker.
    const std::string& GetUnsupportedPath() const { return m_strUnsupportedPath; }
    unsigned GetUnsupportedMarker() const { return m_nUnsupportedMarker; }
    // Top-level properties walked.
    std::size_t GetTopLevelCount() const { return m_nTopLevel; }

    // The markers the decoder builds values for.
    static bool IsDecodable(unsigned marker);

private:
    bool ReadU8(unsigned& v);
    bool ReadU16(unsigned& v);
    bool ReadU32(std::uint32_t& v);
    bool SkipBytes(std::size_t n);
    bool ReadName(std::string& name);
    bool AtEndMarker();
    // The properties of an object or ECMA array up to its end marker.
    bool SkipProperties(const std::string& path, unsigned depth, bool topLevel);
    bool SkipValue(unsigned marker, const std::string& path, unsigned depth);
    void NoteUnsupported(unsigned marker, const std::string& path);

    const std::uint8_t* m_pData = nullptr;
    std::size_t m_nLen = 0;
    std::size_t m_nPos = 0;
    long m_nUnsupportedIndex = -1;
    std::string m_strUnsupportedPath;
    unsigned m_nUnsupportedMarker = 0;
    std::size_t m_nTopLevel = 0;
};

// CBitReader: reads bits most significant first from a byte buffer, with the
// exp-Golomb codes of H.264 parameter sets. Every read checks the bits left,
// so a short or hostile buffer makes a read fail instead of overrunning it.
#pragma once

#include <cstddef>
#include <cstdint>

class CBitReader {
public:
    CBitReader(const std::uint8_t* data, std::size_t len) : m_pData(data), m_nBits(len * 8) {}

    // n from 0 to 32.
    bool ReadBits(unsigned n, std::uint32_t& value);
    bool ReadFlag(bool& value);
    bool Skip(std::size_t n);
    // Unsigned and signed exp-Golomb codes (ue(v), se(v)); codes longer than
    // 32 bits fail.
    bool ReadUe(std::uint32_t& value);
    bool ReadSe(std::int32_t& value);

    std::size_t BitsLeft() const { return m_nBits - m_nPos; }
    // Bits read so far.
    std::size_t BitPosition() const { return m_nPos; }

private:
    const std::uint8_t* m_pData;
    std::size_t m_nBits;
    std::size_t m_nPos = 0;
};

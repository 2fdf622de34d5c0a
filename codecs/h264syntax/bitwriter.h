// CBitWriter: writes bits most significant first into a growing byte
// buffer, with the exp-Golomb codes of H.264 headers; the counterpart of
// CBitReader.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

class CBitWriter {
public:
    // n from 0 to 32; value's lower n bits.
    void WriteBits(unsigned n, std::uint32_t value);
    void WriteFlag(bool value) { WriteBits(1, value ? 1u : 0u); }
    void WriteUe(std::uint32_t value);
    void WriteSe(std::int32_t value);
    // rbsp_trailing_bits: a stop bit, then zero bits to the byte boundary.
    void WriteTrailingBits();

    bool IsByteAligned() const { return m_nBits % 8 == 0; }
    std::size_t BitCount() const { return m_nBits; }
    // The bytes written; a last partial byte is padded with zero bits.
    const std::vector<std::uint8_t>& Bytes() const { return m_bytes; }

private:
    std::vector<std::uint8_t> m_bytes;
    std::size_t m_nBits = 0;
};

#include "bitwriter.h"

void CBitWriter::WriteBits(unsigned n, std::uint32_t value) {
    for (unsigned i = n; i-- > 0;) {
        if (m_nBits % 8 == 0) m_bytes.push_back(0);
        if ((value >> i) & 1u) m_bytes.back() |= static_cast<std::uint8_t>(0x80u >> (m_nBits % 8));
        ++m_nBits;
    }
}

void CBitWriter::WriteUe(std::uint32_t value) {
    // value + 1 in binary, after as many zeros as it has bits less one.
    const std::uint64_t code = std::uint64_t{value} + 1;
    unsigned bits = 0;
    while ((code >> bits) > 1) ++bits;
    WriteBits(bits, 0);
    WriteBits(bits + 1, static_cast<std::uint32_t>(code));
}

void CBitWriter::WriteSe(std::int32_t value) {
    // 1, -1, 2, -2 ... map to 1, 2, 3, 4 ...
    const std::int64_t v = value;
    WriteUe(static_cast<std::uint32_t>(v > 0 ? 2 * v - 1 : -2 * v));
}

void CBitWriter::WriteTrailingBits() {
    WriteBits(1, 1);
    while (!IsByteAligned()) WriteBits(1, 0);
}

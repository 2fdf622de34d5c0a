#include "bitreader.h"

bool CBitReader::ReadBits(unsigned n, std::uint32_t& value) {
    if (n > 32 || BitsLeft() < n) return false;
    std::uint32_t v = 0;
    for (unsigned i = 0; i < n; ++i, ++m_nPos) {
        v = (v << 1) | ((m_pData[m_nPos / 8] >> (7 - m_nPos % 8)) & 1u);
    }
    value = v;
    return true;
}

bool CBitReader::ReadFlag(bool& value) {
    std::uint32_t bit = 0;
    if (!ReadBits(1, bit)) return false;
    value = bit != 0;
    return true;
}

bool CBitReader::Skip(std::size_t n) {
    if (BitsLeft() < n) return false;
    m_nPos += n;
    return true;
}

bool CBitReader::ReadUe(std::uint32_t& value) {
    unsigned zeros = 0;
    for (;;) {
        std::uint32_t bit = 0;
        if (!ReadBits(1, bit)) return false;
        if (bit) break;
        if (++zeros > 31) return false;
    }
    std::uint32_t suffix = 0;
    if (!ReadBits(zeros, suffix)) return false;
    value = static_cast<std::uint32_t>((std::uint64_t{1} << zeros) - 1 + suffix);
    return true;
}

bool CBitReader::ReadSe(std::int32_t& value) {
    std::uint32_t code = 0;
    if (!ReadUe(code)) return false;
    // 1, 2, 3, 4 ... map to 1, -1, 2, -2 ...
    std::int64_t magnitude = (static_cast<std::int64_t>(code) + 1) / 2;
    value = static_cast<std::int32_t>(code & 1u ? magnitude : -magnitude);
    return true;
}

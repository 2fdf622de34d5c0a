// CGammaTable: the gamma of a source as a lookup table on B, G and R.
#pragma once

#include <array>
#include <cstdint>

class CGammaTable {
public:
    CGammaTable() { Set(100); }
    // 0..200 (clamped); 100 is the identity. v -> 255 x (v / 255) ^ (100 / gamma),
    // gamma below 1 counting as 1.
    void Set(int gamma);
    int Get() const { return m_nGamma; }
    bool IsIdentity() const { return m_nGamma == 100; }
    std::uint8_t Map(std::uint8_t v) const { return m_table[v]; }
    // Maps B, G and R of w x h BGRA pixels; alpha stays.
    void Apply(std::uint8_t* bits, int w, int h, int stride) const;

private:
    int m_nGamma = 100;
    std::array<std::uint8_t, 256> m_table{};
};

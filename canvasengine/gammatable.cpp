#include "gammatable.h"

#include <algorithm>
#include <cmath>

void CGammaTable::Set(int gamma) {
    m_nGamma = std::clamp(gamma, 0, 200);
    const double exponent = 100.0 / std::max(m_nGamma, 1);
    for (int v = 0; v < 256; ++v)
        m_table[v] = m_nGamma == 100 ? static_cast<std::uint8_t>(v)
                                     : static_cast<std::uint8_t>(std::lround(255.0 * std::pow(v / 255.0, exponent)));
}

void CGammaTable::Apply(std::uint8_t* bits, int w, int h, int stride) const {
    if (IsIdentity() || !bits) return;
    for (int y = 0; y < h; ++y) {
        std::uint8_t* p = bits + static_cast<std::ptrdiff_t>(y) * stride;
        for (int x = 0; x < w; ++x, p += 4) {
            p[0] = m_table[p[0]];
            p[1] = m_table[p[1]];
            p[2] = m_table[p[2]];
        }
    }
}

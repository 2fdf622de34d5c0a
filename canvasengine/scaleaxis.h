// CScaleAxis: the filter of one axis of CHalftoneScaler, a fixed number of
// taps per destination pixel with integer weights that sum to 1 << bits.
#pragma once

#include <cstdint>
#include <vector>

class CScaleAxis {
public:
    // Computes the taps for src source pixels onto dst destination pixels
    // (both >= 1): area coverage when dst <= src, linear interpolation when
    // dst > src. 1 <= bits <= 15.
    void Build(int src, int dst, int bits);

    bool Matches(int src, int dst, int bits) const {
        return m_nSrc == src && m_nDst == dst && m_nBits == bits;
    }
    int GetTaps() const { return m_nTaps; }
    int GetDst() const { return m_nDst; }
    // First source pixel of destination pixel d; Start(d) + GetTaps() <= src.
    int Start(int d) const { return m_starts[d]; }
    // Start(d) of every destination pixel, in order.
    const int* Starts() const { return m_starts.data(); }
    // GetTaps() weights of destination pixel d.
    const std::uint16_t* Weights(int d) const { return &m_weights[static_cast<std::size_t>(d) * m_nTaps]; }

private:
    // Raw (start, weights) of one destination pixel before padding.
    void AreaTaps(int d, int& start, std::vector<std::uint32_t>& w) const;
    void LinearTaps(int d, int& start, std::vector<std::uint32_t>& w) const;
    // Rounds the raw weights of one pixel (sum `total`) to sum exactly 1 << bits.
    void Normalize(std::vector<std::uint32_t>& w, std::uint64_t total) const;

    int m_nSrc = 0;
    int m_nDst = 0;
    int m_nBits = 0;
    int m_nTaps = 0;
    std::vector<int> m_starts;
    std::vector<std::uint16_t> m_weights;
};

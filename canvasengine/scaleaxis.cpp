#include "scaleaxis.h"

#include <algorithm>

void CScaleAxis::AreaTaps(int d, int& start, std::vector<std::uint32_t>& w) const {
    // In units of 1/dst source pixels, destination pixel d covers
    // [d*src, (d+1)*src) and source pixel i covers [i*dst, (i+1)*dst).
    const std::uint64_t lo = static_cast<std::uint64_t>(d) * m_nSrc;
    const std::uint64_t hi = lo + m_nSrc;
    const int first = static_cast<int>(lo / m_nDst);
    const int last = static_cast<int>((hi - 1) / m_nDst);
    start = first;
    w.clear();
    for (int i = first; i <= last; ++i) {
        const std::uint64_t a = std::max<std::uint64_t>(lo, static_cast<std::uint64_t>(i) * m_nDst);
        const std::uint64_t b = std::min<std::uint64_t>(hi, static_cast<std::uint64_t>(i + 1) * m_nDst);
        w.push_back(static_cast<std::uint32_t>(b - a));
    }
    Normalize(w, static_cast<std::uint64_t>(m_nSrc));
}

void CScaleAxis::LinearTaps(int d, int& start, std::vector<std::uint32_t>& w) const {
    // Centre of destination pixel d in source pixels: (d + 0.5) * src / dst - 0.5,
    // here times 2*dst to stay in integers.
    const std::int64_t num = (2 * static_cast<std::int64_t>(d) + 1) * m_nSrc - m_nDst;
    const std::int64_t den = 2 * static_cast<std::int64_t>(m_nDst);
    w.clear();
    if (num <= 0) {
        start = 0;
        w.push_back(1);
        Normalize(w, 1);
        return;
    }
    start = static_cast<int>(num / den);
    const std::int64_t rem = num % den;
    if (start >= m_nSrc - 1 || rem == 0) {
        start = std::min(start, m_nSrc - 1);
        w.push_back(1);
        Normalize(w, 1);
        return;
    }
    w.push_back(static_cast<std::uint32_t>(den - rem));
    w.push_back(static_cast<std::uint32_t>(rem));
    Normalize(w, static_cast<std::uint64_t>(den));
}

void CScaleAxis::Normalize(std::vector<std::uint32_t>& w, std::uint64_t total) const {
    const std::uint64_t one = std::uint64_t{1} << m_nBits;
    std::uint64_t sum = 0;
    for (auto& v : w) {
        v = static_cast<std::uint32_t>((v * one + total / 2) / total);
        sum += v;
    }
    // Rounding may miss the total by a little: the largest weight takes the difference.
    auto largest = std::max_element(w.begin(), w.end());
    *largest = static_cast<std::uint32_t>(*largest + one - sum);
}

void CScaleAxis::Build(int src, int dst, int bits) {
    m_nSrc = src;
    m_nDst = dst;
    m_nBits = bits;
    std::vector<int> starts(dst);
    std::vector<std::vector<std::uint32_t>> taps(dst);
    int maxTaps = 1;
    for (int d = 0; d < dst; ++d) {
        if (dst <= src)
            AreaTaps(d, starts[d], taps[d]);
        else
            LinearTaps(d, starts[d], taps[d]);
        maxTaps = std::max(maxTaps, static_cast<int>(taps[d].size()));
    }
    // Every pixel gets the same number of taps; the extra ones weigh 0. A
    // pixel near the end starts earlier instead of reading past the source.
    m_nTaps = std::min(maxTaps, src);
    m_starts.assign(dst, 0);
    m_weights.assign(static_cast<std::size_t>(dst) * m_nTaps, 0);
    for (int d = 0; d < dst; ++d) {
        const int first = std::min(starts[d], src - m_nTaps);
        m_starts[d] = first;
        std::uint16_t* out = &m_weights[static_cast<std::size_t>(d) * m_nTaps];
        for (std::size_t k = 0; k < taps[d].size(); ++k)
            out[starts[d] - first + static_cast<int>(k)] = static_cast<std::uint16_t>(taps[d][k]);
    }
}

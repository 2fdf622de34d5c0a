#include "canvasengine/halftonescaler.h"

#include <cstring>
#include <vector>

#include "scaleaxis.h"

namespace {
// Fixed-point weight bits per axis: a column sum stays below 255 << 11, a
// filtered pixel below 255 << 22, far inside 32 bits.
constexpr int kVerticalBits = 11;
constexpr int kHorizontalBits = 11;
constexpr int kTotalBits = kVerticalBits + kHorizontalBits;
constexpr std::uint32_t kRound = std::uint32_t{1} << (kTotalBits - 1);
}  // namespace

struct CHalftoneScaler::Impl {
    CScaleAxis horizontal;
    CScaleAxis vertical;
    std::vector<std::uint32_t> columns;  // one row of vertically filtered channels, sw x 4

    void FilterColumns(const std::uint8_t* src, int sw, int srcStride, int dy);
    void FilterRow(std::uint8_t* out, int dw) const;
};

void CHalftoneScaler::Impl::FilterColumns(const std::uint8_t* src, int sw, int srcStride, int dy) {
    const int n = sw * 4;
    std::uint32_t* __restrict acc = columns.data();
    const std::uint16_t* w = vertical.Weights(dy);
    const std::uint8_t* __restrict row = src + static_cast<std::ptrdiff_t>(vertical.Start(dy)) * srcStride;
    const std::uint32_t w0 = w[0];
    for (int i = 0; i < n; ++i) acc[i] = w0 * row[i];
    for (int t = 1; t < vertical.GetTaps(); ++t) {
        const std::uint32_t wt = w[t];
        row += srcStride;
        if (wt == 0) continue;
        for (int i = 0; i < n; ++i) acc[i] += wt * row[i];
    }
}

namespace {
// One destination row from the column sums; kTaps > 0 fixes the tap count at
// compile time for the common small filters, 0 takes it from the axis.
template <int kTaps>
void FilterRowTaps(const CScaleAxis& axis, const std::uint32_t* acc, std::uint8_t* out, int dw) {
    const int taps = kTaps > 0 ? kTaps : axis.GetTaps();
    for (int dx = 0; dx < dw; ++dx, out += 4) {
        const std::uint16_t* w = axis.Weights(dx);
        const std::uint32_t* p = acc + static_cast<std::ptrdiff_t>(axis.Start(dx)) * 4;
        std::uint32_t sum[4] = {kRound, kRound, kRound, kRound};
        for (int t = 0; t < taps; ++t, p += 4) {
            const std::uint32_t wt = w[t];
            for (int c = 0; c < 4; ++c) sum[c] += wt * p[c];
        }
        for (int c = 0; c < 4; ++c) out[c] = static_cast<std::uint8_t>(sum[c] >> kTotalBits);
    }
}
}  // namespace

void CHalftoneScaler::Impl::FilterRow(std::uint8_t* out, int dw) const {
    switch (horizontal.GetTaps()) {
        case 1: FilterRowTaps<1>(horizontal, columns.data(), out, dw); break;
        case 2: FilterRowTaps<2>(horizontal, columns.data(), out, dw); break;
        case 3: FilterRowTaps<3>(horizontal, columns.data(), out, dw); break;
        default: FilterRowTaps<0>(horizontal, columns.data(), out, dw); break;
    }
}

CHalftoneScaler::CHalftoneScaler() : m_pImpl(std::make_unique<Impl>()) {}

CHalftoneScaler::~CHalftoneScaler() = default;

bool CHalftoneScaler::Draw(const std::uint8_t* src, int sw, int sh, int srcStride, std::uint8_t* dst,
                           int dw, int dh, int dstStride) {
    if (!src || !dst || sw < 1 || sh < 1 || dw < 1 || dh < 1) return false;
    if (srcStride / 4 < sw || dstStride / 4 < dw) return false;
    if (sw == dw && sh == dh) {
        const std::size_t rowBytes = static_cast<std::size_t>(sw) * 4;
        for (int y = 0; y < sh; ++y)
            std::memcpy(dst + static_cast<std::ptrdiff_t>(y) * dstStride,
                        src + static_cast<std::ptrdiff_t>(y) * srcStride, rowBytes);
        return true;
    }
    Impl& s = *m_pImpl;
    if (!s.horizontal.Matches(sw, dw, kHorizontalBits)) s.horizontal.Build(sw, dw, kHorizontalBits);
    if (!s.vertical.Matches(sh, dh, kVerticalBits)) s.vertical.Build(sh, dh, kVerticalBits);
    s.columns.resize(static_cast<std::size_t>(sw) * 4);
    for (int dy = 0; dy < dh; ++dy) {
        s.FilterColumns(src, sw, srcStride, dy);
        s.FilterRow(dst + static_cast<std::ptrdiff_t>(dy) * dstStride, dw);
    }
    return true;
}

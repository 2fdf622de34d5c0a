#include "canvasengine/halftonescaler.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "halftonepasses.h"
#include "scaleaxis.h"

struct CHalftoneScaler::Impl {
    CScaleAxis horizontal;
    CScaleAxis vertical;
    std::vector<std::uint32_t> rowPairs;  // the horizontal weights as FilterRow takes them
    std::vector<std::int16_t> columns;    // one row of vertically filtered channels, sw x 4 + padding

    void Prepare(int sw, int sh, int dw, int dh);
};

void CHalftoneScaler::Impl::Prepare(int sw, int sh, int dw, int dh) {
    if (!vertical.Matches(sh, dh, halftone::kWeightBits)) vertical.Build(sh, dh, halftone::kWeightBits);
    if (horizontal.Matches(sw, dw, halftone::kWeightBits) && !rowPairs.empty()) return;
    horizontal.Build(sw, dw, halftone::kWeightBits);
    rowPairs = halftone::PackRowPairs(horizontal);
    columns.assign(static_cast<std::size_t>(sw) * 4 + halftone::kColumnPadding, 0);
}

CHalftoneScaler::CHalftoneScaler() : m_pImpl(std::make_unique<Impl>()) {}

CHalftoneScaler::~CHalftoneScaler() = default;

bool CHalftoneScaler::Draw(const std::uint8_t* src, int sw, int sh, int srcStride, std::uint8_t* dst,
                           int dw, int dh, int dstStride) {
    return DrawRows(src, sw, sh, srcStride, dst, dw, dh, dstStride, 0, dh);
}

void CHalftoneScaler::RowsReading(int sh, int dh, int syFrom, int syTo, int& dyFrom, int& dyTo) {
    dyFrom = dyTo = 0;
    if (sh < 1 || dh < 1) return;
    syFrom = std::max(syFrom, 0);
    syTo = std::min(syTo, sh);
    if (syFrom >= syTo) return;
    if (sh == dh) {
        dyFrom = syFrom;
        dyTo = syTo;
        return;
    }
    CScaleAxis& axis = m_pImpl->vertical;
    if (!axis.Matches(sh, dh, halftone::kWeightBits)) axis.Build(sh, dh, halftone::kWeightBits);
    // Every tap counts, even one of weight 0: more rows than needed is safe.
    const int taps = axis.GetTaps();
    int first = dh, last = -1;
    for (int d = 0; d < dh; ++d) {
        if (axis.Start(d) < syTo && axis.Start(d) + taps > syFrom) {
            first = std::min(first, d);
            last = d;
        }
    }
    if (last >= first) {
        dyFrom = first;
        dyTo = last + 1;
    }
}

bool CHalftoneScaler::DrawRows(const std::uint8_t* src, int sw, int sh, int srcStride, std::uint8_t* dst, int dw,
                               int dh, int dstStride, int dyFrom, int dyTo) {
    if (!src || !dst || sw < 1 || sh < 1 || dw < 1 || dh < 1) return false;
    if (srcStride / 4 < sw || dstStride / 4 < dw) return false;
    dyFrom = std::max(dyFrom, 0);
    dyTo = std::min(dyTo, dh);
    if (sw == dw && sh == dh) {
        const std::size_t rowBytes = static_cast<std::size_t>(sw) * 4;
        for (int y = dyFrom; y < dyTo; ++y)
            std::memcpy(dst + static_cast<std::ptrdiff_t>(y) * dstStride,
                        src + static_cast<std::ptrdiff_t>(y) * srcStride, rowBytes);
        return true;
    }
    Impl& s = *m_pImpl;
    s.Prepare(sw, sh, dw, dh);
    for (int dy = dyFrom; dy < dyTo; ++dy) {
        const std::uint8_t* rows = src + static_cast<std::ptrdiff_t>(s.vertical.Start(dy)) * srcStride;
        halftone::FilterColumns(rows, srcStride, s.vertical.GetTaps(), s.vertical.Weights(dy), sw * 4,
                                s.columns.data());
        halftone::FilterRow(s.columns.data(), s.horizontal.Starts(), s.rowPairs.data(), s.horizontal.GetTaps(), dw,
                            dst + static_cast<std::ptrdiff_t>(dy) * dstStride);
    }
    return true;
}

// CHalftoneScaler: draws a BGRA picture onto a BGRA surface of another size.
//
// Equal sizes are copied row by row. Otherwise the picture is filtered
// separably in fixed point: along an axis that shrinks, each destination pixel
// is the mean of the source pixels it covers, weighted by the covered area;
// along an axis that grows (where an area mean would only repeat pixels) it
// is the linear interpolation of the two nearest source pixels. The weights of
// each destination pixel sum to exactly one, so a uniform picture stays
// exactly uniform, and no source pixel outside the picture is ever read. The
// spans and weights are computed once per pair of sizes and kept.
//
// One object is used by one thread at a time.
#pragma once

#include <cstdint>
#include <memory>

#include "canvasengine/canvasengineapi.h"

class CANVASENGINE_API CHalftoneScaler {
public:
    CHalftoneScaler();
    ~CHalftoneScaler();
    CHalftoneScaler(const CHalftoneScaler&) = delete;
    CHalftoneScaler& operator=(const CHalftoneScaler&) = delete;

    // src: sw x sh pixels, srcStride bytes per row; dst: dw x dh pixels,
    // dstStride bytes per row. False (nothing drawn) for a null pointer, a
    // size below 1 or a stride shorter than a row.
    bool Draw(const std::uint8_t* src, int sw, int sh, int srcStride, std::uint8_t* dst, int dw,
              int dh, int dstStride);
    // Draw limited to destination rows [dyFrom, dyTo) (dst still points at
    // row 0): the same values Draw gives those rows, the others untouched.
    bool DrawRows(const std::uint8_t* src, int sw, int sh, int srcStride, std::uint8_t* dst, int dw,
                  int dh, int dstStride, int dyFrom, int dyTo);
    // The destination rows [dyFrom, dyTo) that read any of source rows
    // [syFrom, syTo) when sh rows are scaled to dh; an empty span when none.
    void RowsReading(int sh, int dh, int syFrom, int syTo, int& dyFrom, int& dyTo);

private:
    struct Impl;
    std::unique_ptr<Impl> m_pImpl;
};

// The two passes of CHalftoneScaler's separable filter, in 16-bit fixed
// point so that SSE2's multiply-add (8 products per instruction) does the
// work; a scalar version gives exactly the same values (it serves machines
// without SSE2, the tails of rows, and the tests as the reference).
//
// Weights are the 11-bit ones of CScaleAxis (each at most 2048, summing to
// 2048). A column value keeps 7 fraction bits: at most 255 << 7, so it fits
// a signed 16-bit lane and a weighted sum of them a 32-bit one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

class CScaleAxis;

namespace halftone {

constexpr int kWeightBits = 11;
constexpr int kColumnFractionBits = 7;
// Extra zero values a column row carries after its sw * 4 values: the row
// pass reads pixels in pairs, one past the last for an odd tap count.
constexpr int kColumnPadding = 8;

enum class EPath { Scalar, Vector };

// out[i] = sum over t < taps of weights[t] * rows[t * stride + i], for
// i < n, rounded to kColumnFractionBits fraction bits.
void FilterColumns(const std::uint8_t* rows, std::ptrdiff_t stride, int taps, const std::uint16_t* weights, int n,
                   std::int16_t* out, EPath path = EPath::Vector);

// One destination row of dw BGRA pixels from a row of column values:
// pixel d is the sum over its taps of the weights times the pixels from
// starts[d] on, rounded to 8 bits. pairs holds, per pixel, (taps + 1) / 2
// words of two weights (the lower one in the low 16 bits, 0 past the last tap).
void FilterRow(const std::int16_t* columns, const int* starts, const std::uint32_t* pairs, int taps, int dw,
               std::uint8_t* out, EPath path = EPath::Vector);

// The weights of every destination pixel of `axis` packed as FilterRow's pairs.
std::vector<std::uint32_t> PackRowPairs(const CScaleAxis& axis);

}  // namespace halftone

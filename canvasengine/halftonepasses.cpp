#include "halftonepasses.h"

#include <cstring>

#include "scaleaxis.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace halftone {
namespace {

constexpr int kColumnShift = kWeightBits - kColumnFractionBits;
constexpr std::int32_t kColumnRound = 1 << (kColumnShift - 1);
constexpr int kRowShift = kWeightBits + kColumnFractionBits;
constexpr std::int32_t kRowRound = 1 << (kRowShift - 1);

void ColumnsScalar(const std::uint8_t* rows, std::ptrdiff_t stride, int taps, const std::uint16_t* weights, int from,
                   int n, std::int16_t* out) {
    for (int i = from; i < n; ++i) {
        std::int32_t sum = kColumnRound;
        for (int t = 0; t < taps; ++t) sum += std::int32_t{weights[t]} * rows[t * stride + i];
        out[i] = static_cast<std::int16_t>(sum >> kColumnShift);
    }
}

void RowScalar(const std::int16_t* columns, const int* starts, const std::uint32_t* pairs, int taps, int dw,
               std::uint8_t* out) {
    const int nPairs = (taps + 1) / 2;
    for (int d = 0; d < dw; ++d, out += 4, pairs += nPairs) {
        const std::int16_t* p = columns + static_cast<std::ptrdiff_t>(starts[d]) * 4;
        for (int c = 0; c < 4; ++c) {
            std::int32_t sum = kRowRound;
            for (int k = 0; k < nPairs; ++k) {
                const std::int32_t w0 = static_cast<std::int32_t>(pairs[k] & 0xFFFF);
                const std::int32_t w1 = static_cast<std::int32_t>(pairs[k] >> 16);
                sum += w0 * p[8 * k + c] + w1 * p[8 * k + 4 + c];
            }
            out[c] = static_cast<std::uint8_t>(sum >> kRowShift);
        }
    }
}

#if defined(__SSE2__)
// 16 columns at a time: the bytes of two tap rows interleaved as 16-bit
// lanes, multiplied by their two weights and added pairwise.
int ColumnsSse2(const std::uint8_t* rows, std::ptrdiff_t stride, int taps, const std::uint16_t* weights, int n,
                std::int16_t* out) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i round = _mm_set1_epi32(kColumnRound);
    int i = 0;
    for (; i + 16 <= n; i += 16) {
        __m128i s0 = round, s1 = round, s2 = round, s3 = round;
        for (int t = 0; t < taps; t += 2) {
            const bool two = t + 1 < taps;
            const std::uint8_t* ra = rows + t * stride + i;
            const std::uint8_t* rb = two ? ra + stride : ra;
            const std::uint32_t w = weights[t] | (two ? std::uint32_t{weights[t + 1]} << 16 : 0u);
            const __m128i wv = _mm_set1_epi32(static_cast<int>(w));
            const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(ra));
            const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rb));
            const __m128i alo = _mm_unpacklo_epi8(a, zero), ahi = _mm_unpackhi_epi8(a, zero);
            const __m128i blo = _mm_unpacklo_epi8(b, zero), bhi = _mm_unpackhi_epi8(b, zero);
            s0 = _mm_add_epi32(s0, _mm_madd_epi16(_mm_unpacklo_epi16(alo, blo), wv));
            s1 = _mm_add_epi32(s1, _mm_madd_epi16(_mm_unpackhi_epi16(alo, blo), wv));
            s2 = _mm_add_epi32(s2, _mm_madd_epi16(_mm_unpacklo_epi16(ahi, bhi), wv));
            s3 = _mm_add_epi32(s3, _mm_madd_epi16(_mm_unpackhi_epi16(ahi, bhi), wv));
        }
        s0 = _mm_srai_epi32(s0, kColumnShift);
        s1 = _mm_srai_epi32(s1, kColumnShift);
        s2 = _mm_srai_epi32(s2, kColumnShift);
        s3 = _mm_srai_epi32(s3, kColumnShift);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_packs_epi32(s0, s1));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i + 8), _mm_packs_epi32(s2, s3));
    }
    return i;
}

// One pixel per step: a pair of neighbouring pixels (8 lanes) reordered to
// (b0 b1 g0 g1 r0 r1 a0 a1) and multiplied by the pair's weights.
void RowSse2(const std::int16_t* columns, const int* starts, const std::uint32_t* pairs, int taps, int dw,
             std::uint8_t* out) {
    const int nPairs = (taps + 1) / 2;
    const __m128i round = _mm_set1_epi32(kRowRound);
    for (int d = 0; d < dw; ++d, out += 4, pairs += nPairs) {
        const std::int16_t* p = columns + static_cast<std::ptrdiff_t>(starts[d]) * 4;
        __m128i sum = round;
        for (int k = 0; k < nPairs; ++k, p += 8) {
            __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            x = _mm_unpacklo_epi16(x, _mm_srli_si128(x, 8));
            sum = _mm_add_epi32(sum, _mm_madd_epi16(x, _mm_set1_epi32(static_cast<int>(pairs[k]))));
        }
        sum = _mm_srai_epi32(sum, kRowShift);
        sum = _mm_packs_epi32(sum, sum);
        sum = _mm_packus_epi16(sum, sum);
        const int pixel = _mm_cvtsi128_si32(sum);
        std::memcpy(out, &pixel, 4);
    }
}
#endif

}  // namespace

void FilterColumns(const std::uint8_t* rows, std::ptrdiff_t stride, int taps, const std::uint16_t* weights, int n,
                   std::int16_t* out, EPath path) {
    int done = 0;
#if defined(__SSE2__)
    if (path == EPath::Vector) done = ColumnsSse2(rows, stride, taps, weights, n, out);
#else
    (void)path;
#endif
    ColumnsScalar(rows, stride, taps, weights, done, n, out);
}

void FilterRow(const std::int16_t* columns, const int* starts, const std::uint32_t* pairs, int taps, int dw,
               std::uint8_t* out, EPath path) {
#if defined(__SSE2__)
    if (path == EPath::Vector) {
        RowSse2(columns, starts, pairs, taps, dw, out);
        return;
    }
#else
    (void)path;
#endif
    RowScalar(columns, starts, pairs, taps, dw, out);
}

std::vector<std::uint32_t> PackRowPairs(const CScaleAxis& axis) {
    const int taps = axis.GetTaps();
    const int nPairs = (taps + 1) / 2;
    const int dst = axis.GetDst();
    std::vector<std::uint32_t> pairs(static_cast<std::size_t>(dst) * nPairs, 0);
    for (int d = 0; d < dst; ++d) {
        const std::uint16_t* w = axis.Weights(d);
        for (int t = 0; t < taps; ++t)
            pairs[static_cast<std::size_t>(d) * nPairs + t / 2] |= std::uint32_t{w[t]} << (t % 2 * 16);
    }
    return pairs;
}

}  // namespace halftone

#include "bgratoi420.h"

#include <algorithm>
#include <cstddef>

#include <libyuv/planar_functions.h>

namespace {

// BT.709, limited range, in 1/65536: the luma row of the matrix scaled by
// 219/255, the chroma rows by 224/255 (each chroma row sums to zero, so
// grey stays at 128).
constexpr int kYR = 11966, kYG = 40254, kYB = 4064;
constexpr int kUR = -6596, kUG = -22189, kUB = 28785;
constexpr int kVR = 28785, kVG = -26145, kVB = -2640;
constexpr int kYOffset = (16 << 16) + (1 << 15);
// Chroma works on the sum of four pixels: 2 more fraction bits.
constexpr int kUVOffset = (128 << 18) + (1 << 17);

inline std::uint8_t Luma(const std::uint8_t* p) {
    return static_cast<std::uint8_t>((kYR * p[2] + kYG * p[1] + kYB * p[0] + kYOffset) >> 16);
}

// Built twice, the second time for AVX2 machines, and picked at load time
// (an ifunc). ThreadSanitizer's runtime is not ready when ifunc resolvers
// run, so its builds keep the one portable version.
#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define YUV_ROW_NO_CLONES
#endif
#endif
#if defined(__SANITIZE_THREAD__) || defined(YUV_ROW_NO_CLONES)
#define YUV_ROW_CLONES
#else
#define YUV_ROW_CLONES __attribute__((target_clones("avx2", "default")))
#endif

// One pair of picture rows: two luma rows and one row of each chroma plane.
YUV_ROW_CLONES
void ConvertRowPair(const std::uint8_t* __restrict row0, const std::uint8_t* __restrict row1,
                    int width, std::uint8_t* __restrict y0, std::uint8_t* __restrict y1,
                    std::uint8_t* __restrict u, std::uint8_t* __restrict v) {
    for (int x = 0; x < width; ++x) {
        y0[x] = Luma(row0 + 4 * x);
        y1[x] = Luma(row1 + 4 * x);
    }
    const int half = width / 2;
    for (int x = 0; x < half; ++x) {
        const std::uint8_t* a = row0 + 8 * x;
        const std::uint8_t* b = row1 + 8 * x;
        const int sb = a[0] + a[4] + b[0] + b[4];
        const int sg = a[1] + a[5] + b[1] + b[5];
        const int sr = a[2] + a[6] + b[2] + b[6];
        u[x] = static_cast<std::uint8_t>((kUR * sr + kUG * sg + kUB * sb + kUVOffset) >> 18);
        v[x] = static_cast<std::uint8_t>((kVR * sr + kVG * sg + kVB * sb + kUVOffset) >> 18);
    }
}

}  // namespace

void CBgraToI420::ConvertRows(const std::uint8_t* pBgra, int nStride, int nWidth, int nTop,
                              int nRows, const I420Planes& dst) {
    for (int row = nTop; row + 1 < nTop + nRows; row += 2) {
        const std::uint8_t* src = pBgra + static_cast<std::ptrdiff_t>(nStride) * row;
        ConvertRowPair(src, src + nStride, nWidth,
                       dst.pY + static_cast<std::ptrdiff_t>(dst.nStrideY) * row,
                       dst.pY + static_cast<std::ptrdiff_t>(dst.nStrideY) * (row + 1),
                       dst.pU + static_cast<std::ptrdiff_t>(dst.nStrideUV) * (row / 2),
                       dst.pV + static_cast<std::ptrdiff_t>(dst.nStrideUV) * (row / 2));
    }
}

void CBgraToI420::CopyRows(const I420Planes& src, const I420Planes& dst, int nWidth, int nTop,
                           int nRows) {
    if (nRows <= 0) return;
    auto rowOf = [](std::uint8_t* plane, int stride, int row) {
        return plane + static_cast<std::ptrdiff_t>(stride) * row;
    };
    libyuv::CopyPlane(rowOf(src.pY, src.nStrideY, nTop), src.nStrideY, rowOf(dst.pY, dst.nStrideY, nTop),
                      dst.nStrideY, nWidth, nRows);
    const int top = nTop / 2, rows = nRows / 2, width = nWidth / 2;
    libyuv::CopyPlane(rowOf(src.pU, src.nStrideUV, top), src.nStrideUV, rowOf(dst.pU, dst.nStrideUV, top),
                      dst.nStrideUV, width, rows);
    libyuv::CopyPlane(rowOf(src.pV, src.nStrideUV, top), src.nStrideUV, rowOf(dst.pV, dst.nStrideUV, top),
                      dst.nStrideUV, width, rows);
}

bool CBgraToI420::EvenBand(int nHeight, int& nTop, int& nRows) {
    const long long top = std::max<long long>(0, nTop);
    const long long end = std::min<long long>(nHeight, static_cast<long long>(nTop) + nRows);
    if (nRows <= 0 || top >= end) return false;
    nTop = static_cast<int>(top & ~1LL);
    nRows = static_cast<int>(std::min<long long>(nHeight, (end + 1) & ~1LL) - nTop);
    return true;
}

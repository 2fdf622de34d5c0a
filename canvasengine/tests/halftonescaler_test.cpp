#include "canvasengine/halftonescaler.h"
#include "halftonepasses.h"
#include "scaleaxis.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

namespace {

using Picture = std::vector<std::uint8_t>;

Picture Uniform(int w, int h, std::uint8_t b, std::uint8_t g, std::uint8_t r, std::uint8_t a) {
    Picture p(static_cast<std::size_t>(w) * h * 4);
    for (std::size_t i = 0; i < p.size(); i += 4) {
        p[i] = b;
        p[i + 1] = g;
        p[i + 2] = r;
        p[i + 3] = a;
    }
    return p;
}

// The exact area mean of destination pixel (dx, dy), channel c, in doubles.
double AreaMean(const Picture& src, int sw, int sh, int dw, int dh, int dx, int dy, int c) {
    const double x0 = dx * double(sw) / dw, x1 = (dx + 1) * double(sw) / dw;
    const double y0 = dy * double(sh) / dh, y1 = (dy + 1) * double(sh) / dh;
    double sum = 0;
    for (int y = int(std::floor(y0)); y < int(std::ceil(y1)); ++y)
        for (int x = int(std::floor(x0)); x < int(std::ceil(x1)); ++x) {
            const double wx = std::min<double>(x + 1, x1) - std::max<double>(x, x0);
            const double wy = std::min<double>(y + 1, y1) - std::max<double>(y, y0);
            sum += wx * wy * src[(std::size_t(y) * sw + x) * 4 + c];
        }
    return sum / ((x1 - x0) * (y1 - y0));
}

}  // namespace

TEST(HalftoneScalerTest, UniformPicturesStayExactAtAnySize) {
    CHalftoneScaler scaler;
    const int sizes[][4] = {{1920, 1080, 1280, 720}, {7, 5, 3, 2}, {3, 3, 10, 7}, {1, 1, 5, 5},
                            {1000, 1, 1, 1},        {2, 9, 7, 2}, {1281, 721, 1280, 720}};
    for (const auto& s : sizes) {
        const Picture src = Uniform(s[0], s[1], 17, 130, 251, 255);
        Picture dst(static_cast<std::size_t>(s[2]) * s[3] * 4, 0);
        ASSERT_TRUE(scaler.Draw(src.data(), s[0], s[1], s[0] * 4, dst.data(), s[2], s[3], s[2] * 4));
        EXPECT_EQ(dst, Uniform(s[2], s[3], 17, 130, 251, 255)) << s[0] << "x" << s[1] << " -> " << s[2] << "x" << s[3];
    }
}

TEST(HalftoneScalerTest, HalvingAveragesACheckerboardToGrey) {
    const int w = 64, h = 36;
    Picture src(static_cast<std::size_t>(w) * h * 4);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            std::fill_n(&src[(std::size_t(y) * w + x) * 4], 4, ((x + y) & 1) ? 255 : 0);
    Picture dst(static_cast<std::size_t>(w / 2) * (h / 2) * 4);
    CHalftoneScaler scaler;
    ASSERT_TRUE(scaler.Draw(src.data(), w, h, w * 4, dst.data(), w / 2, h / 2, w * 2));
    for (std::uint8_t v : dst) ASSERT_TRUE(v == 127 || v == 128) << int(v);
}

TEST(HalftoneScalerTest, ShrinkingMatchesTheExactAreaMean) {
    std::mt19937 rng(7);
    CHalftoneScaler scaler;
    const int sizes[][4] = {{1920, 1080, 1280, 720}, {37, 23, 11, 7}, {100, 100, 99, 33}, {5, 640, 2, 480}};
    for (const auto& s : sizes) {
        Picture src(static_cast<std::size_t>(s[0]) * s[1] * 4);
        for (auto& v : src) v = static_cast<std::uint8_t>(rng());
        Picture dst(static_cast<std::size_t>(s[2]) * s[3] * 4);
        ASSERT_TRUE(scaler.Draw(src.data(), s[0], s[1], s[0] * 4, dst.data(), s[2], s[3], s[2] * 4));
        // Spot checks over the whole picture, every channel.
        for (int k = 0; k < 400; ++k) {
            const int dx = static_cast<int>(rng() % s[2]), dy = static_cast<int>(rng() % s[3]);
            for (int c = 0; c < 4; ++c) {
                const double want = AreaMean(src, s[0], s[1], s[2], s[3], dx, dy, c);
                ASSERT_NEAR(dst[(std::size_t(dy) * s[2] + dx) * 4 + c], want, 1.0)
                    << s[0] << "x" << s[1] << " -> " << s[2] << "x" << s[3] << " at " << dx << "," << dy;
            }
        }
    }
}

TEST(HalftoneScalerTest, EnlargingInterpolatesBetweenNeighbours) {
    // Two pixels, 0 and 255, onto four: centres at -0.25, 0.25, 0.75, 1.25.
    const Picture src = {0, 0, 0, 0, 255, 255, 255, 255};
    Picture dst(4 * 4);
    CHalftoneScaler scaler;
    ASSERT_TRUE(scaler.Draw(src.data(), 2, 1, 8, dst.data(), 4, 1, 16));
    const int want[4] = {0, 64, 191, 255};
    for (int x = 0; x < 4; ++x) EXPECT_EQ(dst[x * 4], want[x]) << x;
}

TEST(HalftoneScalerTest, EqualSizesCopyRowsAcrossStrides) {
    const int w = 5, h = 3, srcStride = 24, dstStride = 32;
    Picture src(srcStride * h);
    for (std::size_t i = 0; i < src.size(); ++i) src[i] = static_cast<std::uint8_t>(i * 7);
    Picture dst(dstStride * h, 0xEE);
    CHalftoneScaler scaler;
    ASSERT_TRUE(scaler.Draw(src.data(), w, h, srcStride, dst.data(), w, h, dstStride));
    for (int y = 0; y < h; ++y) {
        EXPECT_TRUE(std::equal(&src[y * srcStride], &src[y * srcStride + w * 4], &dst[y * dstStride])) << y;
        EXPECT_EQ(dst[y * dstStride + w * 4], 0xEE) << "wrote past the row";
    }
}

TEST(HalftoneScalerTest, OddSizesStayInsideTheirBuffers) {
    // Exactly sized buffers: a read or write past either one is an ASan failure.
    const int sizes[] = {1, 2, 3, 5, 7, 13, 31, 64};
    CHalftoneScaler scaler;
    for (int sw : sizes)
        for (int sh : sizes)
            for (int dw : sizes)
                for (int dh : {1, 4, 9, 33}) {
                    const Picture src = Uniform(sw, sh, 1, 2, 3, 4);
                    std::vector<std::uint8_t> dst(static_cast<std::size_t>(dw) * dh * 4);
                    ASSERT_TRUE(scaler.Draw(src.data(), sw, sh, sw * 4, dst.data(), dw, dh, dw * 4));
                    ASSERT_EQ(dst, Uniform(dw, dh, 1, 2, 3, 4));
                }
}

TEST(HalftoneScalerTest, RefusesBadArguments) {
    Picture buf(64, 0);
    CHalftoneScaler scaler;
    EXPECT_FALSE(scaler.Draw(nullptr, 2, 2, 8, buf.data(), 2, 2, 8));
    EXPECT_FALSE(scaler.Draw(buf.data(), 2, 2, 8, nullptr, 2, 2, 8));
    EXPECT_FALSE(scaler.Draw(buf.data(), 0, 2, 8, buf.data(), 2, 2, 8));
    EXPECT_FALSE(scaler.Draw(buf.data(), 2, 2, 8, buf.data(), 2, -1, 8));
    EXPECT_FALSE(scaler.Draw(buf.data(), 3, 2, 8, buf.data(), 2, 2, 8));  // stride shorter than a row
}

// The SSE2 passes against the scalar ones, bit for bit, with tap counts odd
// and even, rows whose length is no multiple of 16 and full-scale values.
TEST(HalftonePassesTest, VectorAndScalarPassesAgreeExactly) {
    std::mt19937 rng(11);
    const int sizes[][2] = {{1920, 1280}, {1080, 720}, {37, 11}, {100, 33}, {5, 2}, {3, 10}, {2, 7}, {1281, 1280}};
    for (const auto& s : sizes) {
        CScaleAxis axis;
        axis.Build(s[0], s[1], halftone::kWeightBits);
        const int taps = axis.GetTaps();
        // Columns: taps rows of a random picture row of s[0] pixels.
        const int n = s[0] * 4;
        std::vector<std::uint8_t> rows(static_cast<std::size_t>(n) * taps);
        for (auto& v : rows) v = static_cast<std::uint8_t>(rng() % 3 == 0 ? 255 : rng());
        std::vector<std::uint16_t> weights(axis.Weights(s[1] / 2), axis.Weights(s[1] / 2) + taps);
        std::vector<std::int16_t> vec(n + halftone::kColumnPadding, 0), ref(vec);
        halftone::FilterColumns(rows.data(), n, taps, weights.data(), n, vec.data(), halftone::EPath::Vector);
        halftone::FilterColumns(rows.data(), n, taps, weights.data(), n, ref.data(), halftone::EPath::Scalar);
        ASSERT_EQ(vec, ref) << "columns " << s[0] << " -> " << s[1];
        // A row: every destination pixel of the axis over full-scale columns.
        for (auto& v : vec) v = static_cast<std::int16_t>(rng() % (255 << halftone::kColumnFractionBits));
        std::fill(vec.end() - halftone::kColumnPadding, vec.end(), 0);
        const std::vector<std::uint32_t> pairs = halftone::PackRowPairs(axis);
        Picture outVec(static_cast<std::size_t>(s[1]) * 4), outRef(outVec.size());
        halftone::FilterRow(vec.data(), axis.Starts(), pairs.data(), taps, s[1], outVec.data(), halftone::EPath::Vector);
        halftone::FilterRow(vec.data(), axis.Starts(), pairs.data(), taps, s[1], outRef.data(), halftone::EPath::Scalar);
        ASSERT_EQ(outVec, outRef) << "row " << s[0] << " -> " << s[1];
    }
}

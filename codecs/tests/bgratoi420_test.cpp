// CBgraToI420 against libswscale set up as the encoder had it (BT.709,
// limited range, bicubic, full chroma input), on known colours, noise and
// smooth pictures, and its row bands.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <random>
#include <vector>

#include "bgratoi420.h"

extern "C" {
#include <libswscale/swscale.h>
}

namespace {

struct I420 {
    int w, h;
    std::vector<std::uint8_t> y, u, v;
    I420(int width, int height)
        : w(width), h(height), y(static_cast<std::size_t>(width) * height),
          u(static_cast<std::size_t>(width / 2) * (height / 2)), v(u.size()) {}
    I420Planes Planes() { return I420Planes{y.data(), u.data(), v.data(), w, w / 2}; }
};

I420 Ours(const std::vector<std::uint8_t>& bgra, int w, int h) {
    I420 out(w, h);
    CBgraToI420::ConvertRows(bgra.data(), w * 4, w, 0, h, out.Planes());
    return out;
}

I420 Swscale(const std::vector<std::uint8_t>& bgra, int w, int h) {
    I420 out(w, h);
    SwsContext* sws = sws_getContext(w, h, AV_PIX_FMT_BGRA, w, h, AV_PIX_FMT_YUV420P,
                                     SWS_BICUBIC | SWS_FULL_CHR_H_INP, nullptr, nullptr, nullptr);
    const int* bt709 = sws_getCoefficients(SWS_CS_ITU709);
    sws_setColorspaceDetails(sws, bt709, 1, bt709, 0, 0, 1 << 16, 1 << 16);
    const std::uint8_t* src[4] = {bgra.data()};
    int srcStride[4] = {w * 4};
    std::uint8_t* dst[4] = {out.y.data(), out.u.data(), out.v.data()};
    int dstStride[4] = {w, w / 2, w / 2};
    sws_scale(sws, src, srcStride, 0, h, dst, dstStride);
    sws_freeContext(sws);
    return out;
}

int MaxDiff(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b) {
    int worst = 0;
    for (std::size_t i = 0; i < a.size(); ++i) worst = std::max(worst, std::abs(a[i] - b[i]));
    return worst;
}

std::vector<std::uint8_t> Filled(int w, int h, std::uint8_t b, std::uint8_t g, std::uint8_t r) {
    std::vector<std::uint8_t> pic(static_cast<std::size_t>(w) * h * 4);
    for (std::size_t i = 0; i < pic.size(); i += 4) {
        pic[i] = b;
        pic[i + 1] = g;
        pic[i + 2] = r;
        pic[i + 3] = 255;
    }
    return pic;
}

TEST(BgraToI420, KnownColoursGiveTheirBt709LimitedRangeValues) {
    struct Case {
        std::uint8_t b, g, r;
        int y, u, v;
    };
    // BT.709: Y = 16 + 219 (0.2126 R + 0.7152 G + 0.0722 B) / 255, and so on.
    const Case cases[] = {
        {0, 0, 0, 16, 128, 128},     {255, 255, 255, 235, 128, 128}, {128, 128, 128, 126, 128, 128},
        {0, 0, 255, 63, 102, 240},   {0, 255, 0, 173, 42, 26},       {255, 0, 0, 32, 240, 118},
    };
    for (const Case& c : cases) {
        I420 out = Ours(Filled(8, 4, c.b, c.g, c.r), 8, 4);
        EXPECT_NEAR(out.y[5], c.y, 1) << int(c.r) << "," << int(c.g) << "," << int(c.b);
        EXPECT_NEAR(out.u[3], c.u, 1) << int(c.r) << "," << int(c.g) << "," << int(c.b);
        EXPECT_NEAR(out.v[3], c.v, 1) << int(c.r) << "," << int(c.g) << "," << int(c.b);
    }
}

TEST(BgraToI420, MatchesLibswscaleWithinOneLumaAndTwoChromaLevels) {
    const int w = 320, h = 240;
    std::mt19937 rng(7);
    // Noise: luma is per pixel in both, so it must agree everywhere; chroma
    // filters differ (2x2 average against bicubic), so it is compared on
    // smooth content only.
    std::vector<std::uint8_t> noise(static_cast<std::size_t>(w) * h * 4);
    for (auto& byte : noise) byte = static_cast<std::uint8_t>(rng());
    EXPECT_LE(MaxDiff(Ours(noise, w, h).y, Swscale(noise, w, h).y), 1);

    // Gradients in every channel and flat blocks of random colours.
    std::vector<std::uint8_t> smooth(noise.size());
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            std::uint8_t* p = &smooth[(static_cast<std::size_t>(y) * w + x) * 4];
            p[0] = static_cast<std::uint8_t>(x * 255 / (w - 1));
            p[1] = static_cast<std::uint8_t>(y * 255 / (h - 1));
            p[2] = static_cast<std::uint8_t>((x + y) * 255 / (w + h - 2));
            p[3] = 255;
        }
    }
    I420 ours = Ours(smooth, w, h), ref = Swscale(smooth, w, h);
    EXPECT_LE(MaxDiff(ours.y, ref.y), 1);
    EXPECT_LE(MaxDiff(ours.u, ref.u), 2);
    EXPECT_LE(MaxDiff(ours.v, ref.v), 2);

    std::vector<std::uint8_t> blocks = Filled(w, h, 0, 0, 0);
    for (int by = 0; by < h; by += 16) {
        for (int bx = 0; bx < w; bx += 16) {
            std::uint8_t c[3] = {static_cast<std::uint8_t>(rng()), static_cast<std::uint8_t>(rng()),
                                 static_cast<std::uint8_t>(rng())};
            for (int y = by; y < by + 16; ++y)
                for (int x = bx; x < bx + 16; ++x)
                    for (int k = 0; k < 3; ++k) blocks[(static_cast<std::size_t>(y) * w + x) * 4 + k] = c[k];
        }
    }
    ours = Ours(blocks, w, h);
    ref = Swscale(blocks, w, h);
    EXPECT_LE(MaxDiff(ours.y, ref.y), 1);
    // Away from block edges, where the filters see only one colour.
    for (int cy = 0; cy < h / 2; ++cy) {
        for (int cx = 0; cx < w / 2; ++cx) {
            if (cx % 8 < 2 || cx % 8 > 5 || cy % 8 < 2 || cy % 8 > 5) continue;
            std::size_t i = static_cast<std::size_t>(cy) * (w / 2) + cx;
            ASSERT_LE(std::abs(ours.u[i] - ref.u[i]), 2) << cx << "," << cy;
            ASSERT_LE(std::abs(ours.v[i] - ref.v[i]), 2) << cx << "," << cy;
        }
    }
}

TEST(BgraToI420, ABandConvertsOnlyItsRowsAndHonoursTheStride) {
    const int w = 64, h = 32, stride = w * 4 + 32;  // padded rows
    std::mt19937 rng(3);
    std::vector<std::uint8_t> padded(static_cast<std::size_t>(stride) * h), tight(static_cast<std::size_t>(w) * h * 4);
    for (int y = 0; y < h; ++y)
        for (int i = 0; i < w * 4; ++i)
            tight[static_cast<std::size_t>(y) * w * 4 + i] = padded[static_cast<std::size_t>(y) * stride + i] =
                static_cast<std::uint8_t>(rng());
    I420 whole = Ours(tight, w, h);
    I420 band(w, h);
    std::fill(band.y.begin(), band.y.end(), 7);
    std::fill(band.u.begin(), band.u.end(), 7);
    std::fill(band.v.begin(), band.v.end(), 7);
    CBgraToI420::ConvertRows(padded.data(), stride, w, 10, 6, band.Planes());
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            ASSERT_EQ(band.y[y * w + x], y >= 10 && y < 16 ? whole.y[y * w + x] : 7) << x << "," << y;
    for (int y = 0; y < h / 2; ++y)
        for (int x = 0; x < w / 2; ++x)
            ASSERT_EQ(band.u[y * w / 2 + x], y >= 5 && y < 8 ? whole.u[y * w / 2 + x] : 7) << x << "," << y;
}

TEST(BgraToI420, EvenBandWidensToEvenRowsInsideThePicture) {
    struct Case {
        int height, top, rows;
        bool ok;
        int evenTop, evenRows;
    };
    const Case cases[] = {
        {10, 3, 2, true, 2, 4},   {10, 4, 2, true, 4, 2},   {10, 9, 1, true, 8, 2},
        {10, 0, 10, true, 0, 10}, {10, -4, 6, true, 0, 2},  {10, 8, 100, true, 8, 2},
        {10, 10, 1, false, 0, 0}, {10, -5, 5, false, 0, 0}, {10, 2, 0, false, 0, 0},
        {10, 2147483600, 2147483600, false, 0, 0},
    };
    for (const Case& c : cases) {
        int top = c.top, rows = c.rows;
        ASSERT_EQ(CBgraToI420::EvenBand(c.height, top, rows), c.ok) << c.top << "+" << c.rows;
        if (!c.ok) continue;
        EXPECT_EQ(top, c.evenTop) << c.top << "+" << c.rows;
        EXPECT_EQ(rows, c.evenRows) << c.top << "+" << c.rows;
    }
}

}  // namespace

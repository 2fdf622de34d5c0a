// gtest goes before the X headers, whose macros (None, Bool) clash with it.
#include <gtest/gtest.h>

#include <X11/extensions/Xfixes.h>

#include "screengrabber.h"

#include <algorithm>
#include <vector>

#include "devicecontext.h"
#include "testscreen.h"
#include "xtestfixture.h"

namespace {

// Four quadrants of the 1280x720 screen and a small bar across the middle.
void PaintScene(CTestScreen& screen) {
    screen.FillRect(0, 0, 640, 360, 0xff0000);
    screen.FillRect(640, 0, 640, 360, 0x00ff00);
    screen.FillRect(0, 360, 640, 360, 0x0000ff);
    screen.FillRect(640, 360, 640, 360, 0x808080);
    screen.FillRect(600, 340, 80, 40, 0x123456);
}

// B, G, R of every pixel (the fourth byte is not part of the picture).
std::vector<unsigned> Rgb(const GrabbedPicture& p) {
    std::vector<unsigned> out;
    for (int y = 0; y < p.nHeight; ++y)
        for (int x = 0; x < p.nWidth; ++x) out.push_back(RgbAt(p.pBits, p.nStride, x, y));
    return out;
}

using ScreenGrabberTest = CXTestFixture;

}  // namespace

TEST_F(ScreenGrabberTest, GrabsKnownColoursWithSharedMemoryAndWithout) {
    CTestScreen screen(DisplayName());
    ASSERT_TRUE(screen.IsOpen());
    PaintScene(screen);
    auto grabber = CScreenGrabber::Open(nullptr);
    ASSERT_TRUE(grabber);
    EXPECT_TRUE(grabber->IsUsingShm());
    EXPECT_EQ(grabber->GetWidth(), 1280);
    EXPECT_EQ(grabber->GetHeight(), 720);
    grabber->SetDrawCursor(false);

    GrabbedPicture shm;
    ASSERT_TRUE(grabber->Grab(0, 0, 1280, 720, shm));
    EXPECT_EQ(RgbAt(shm.pBits, shm.nStride, 10, 10), 0xff0000u);
    EXPECT_EQ(RgbAt(shm.pBits, shm.nStride, 1270, 10), 0x00ff00u);
    EXPECT_EQ(RgbAt(shm.pBits, shm.nStride, 10, 710), 0x0000ffu);
    EXPECT_EQ(RgbAt(shm.pBits, shm.nStride, 1270, 710), 0x808080u);
    EXPECT_EQ(RgbAt(shm.pBits, shm.nStride, 600, 340), 0x123456u);
    EXPECT_EQ(RgbAt(shm.pBits, shm.nStride, 679, 379), 0x123456u);
    EXPECT_EQ(RgbAt(shm.pBits, shm.nStride, 680, 380), 0x808080u);
    const std::vector<unsigned> full = Rgb(shm);
    // An area sticking out of the screen: black outside, the screen inside.
    ASSERT_TRUE(grabber->Grab(1200, -20, 100, 60, shm));
    const std::vector<unsigned> edge = Rgb(shm);
    EXPECT_EQ(edge[0], 0u);
    EXPECT_EQ(RgbAt(shm.pBits, shm.nStride, 79, 19), 0u);
    EXPECT_EQ(RgbAt(shm.pBits, shm.nStride, 80, 20), 0u);
    EXPECT_EQ(RgbAt(shm.pBits, shm.nStride, 79, 20), 0x00ff00u);
    EXPECT_EQ(shm.pBits[3], 255) << "padding is opaque black";
    // Entirely off screen: all black.
    ASSERT_TRUE(grabber->Grab(-500, -500, 20, 20, shm));
    EXPECT_EQ(Rgb(shm), std::vector<unsigned>(400, 0u));

    grabber->SetUseShm(false);
    EXPECT_FALSE(grabber->IsUsingShm());
    GrabbedPicture plain;
    ASSERT_TRUE(grabber->Grab(0, 0, 1280, 720, plain));
    EXPECT_EQ(Rgb(plain), full);
    ASSERT_TRUE(grabber->Grab(1200, -20, 100, 60, plain));
    EXPECT_EQ(Rgb(plain), edge);
    // Too large an area is refused rather than allocated.
    EXPECT_FALSE(grabber->Grab(0, 0, 65535, 65535, plain));
    EXPECT_FALSE(grabber->Grab(0, 0, 0, 10, plain));
}

TEST_F(ScreenGrabberTest, BlitsAndStretchesIntoADeviceContext) {
    CTestScreen screen(DisplayName());
    PaintScene(screen);
    auto grabber = CScreenGrabber::Open(nullptr);
    ASSERT_TRUE(grabber);
    grabber->SetDrawCursor(false);
    std::vector<std::uint8_t> bits(320 * 4 * 180, 0);
    CDeviceContext dc(bits.data(), 320, 180, 320 * 4, grabber.get());
    ASSERT_EQ(dc.GetScreenDC(), grabber.get());
    // 1:1 at an offset: the destination keeps what lies outside.
    dc.FillColor(0xff010203);
    ASSERT_TRUE(grabber->BitBlt(&dc, 10, 20, 100, 50, 560, 320));
    EXPECT_EQ(RgbAt(bits.data(), 1280, 9, 20), 0x010203u);
    EXPECT_EQ(RgbAt(bits.data(), 1280, 10, 20), 0xff0000u);
    EXPECT_EQ(RgbAt(bits.data(), 1280, 50, 40), 0x123456u);
    EXPECT_EQ(RgbAt(bits.data(), 1280, 109, 69), 0x123456u);
    EXPECT_EQ(RgbAt(bits.data(), 1280, 109, 20), 0x00ff00u);
    EXPECT_EQ(RgbAt(bits.data(), 1280, 110, 69), 0x010203u);
    // A blit hanging over the dc's corner is clipped to it.
    ASSERT_TRUE(grabber->BitBlt(&dc, 300, 170, 100, 100, 700, 400));
    EXPECT_EQ(RgbAt(bits.data(), 1280, 319, 179), 0x808080u);
    // The whole screen shrunk to a quarter: uniform quadrants stay exact,
    // the edges of the bar blend.
    ASSERT_TRUE(grabber->StretchBlt(&dc, 0, 0, 320, 180, 0, 0, 1280, 720));
    EXPECT_EQ(RgbAt(bits.data(), 1280, 5, 5), 0xff0000u);
    EXPECT_EQ(RgbAt(bits.data(), 1280, 315, 5), 0x00ff00u);
    EXPECT_EQ(RgbAt(bits.data(), 1280, 5, 175), 0x0000ffu);
    EXPECT_EQ(RgbAt(bits.data(), 1280, 315, 175), 0x808080u);
    EXPECT_EQ(RgbAt(bits.data(), 1280, 155, 88), 0x123456u);
    // Enlarged and only partly inside the dc.
    ASSERT_TRUE(grabber->StretchBlt(&dc, 200, 100, 400, 400, 0, 0, 100, 100));
    EXPECT_EQ(RgbAt(bits.data(), 1280, 319, 179), 0xff0000u);
    EXPECT_FALSE(grabber->StretchBlt(&dc, 0, 0, 0, 10, 0, 0, 10, 10));
}

TEST_F(ScreenGrabberTest, DrawsTheCursorAtItsPosition) {
    CTestScreen screen(DisplayName());
    screen.FillRect(0, 0, 1280, 720, 0x204060);
    screen.WarpPointer(300, 200);
    XFixesCursorImage* cursor = XFixesGetCursorImage(screen.GetDisplay());
    ASSERT_NE(cursor, nullptr);
    ASSERT_EQ(cursor->x, 300);
    ASSERT_EQ(cursor->y, 200);
    auto grabber = CScreenGrabber::Open(nullptr);
    ASSERT_TRUE(grabber);
    GrabbedPicture p;
    ASSERT_TRUE(grabber->Grab(250, 150, 200, 200, p));
    // Expected: the premultiplied cursor over the background, each pixel.
    const int left = 300 - cursor->xhot - 250, top = 200 - cursor->yhot - 150;
    int covered = 0;
    for (int y = 0; y < 200; ++y)
        for (int x = 0; x < 200; ++x) {
            unsigned want = 0x204060;
            const int cx = x - left, cy = y - top;
            if (cx >= 0 && cy >= 0 && cx < cursor->width && cy < cursor->height) {
                const unsigned long argb = cursor->pixels[cy * cursor->width + cx];
                const unsigned a = (argb >> 24) & 0xff;
                const unsigned bg[3] = {0x60, 0x40, 0x20};
                want = 0;
                for (int c = 0; c < 3; ++c) {
                    const unsigned v = unsigned((argb >> (8 * c)) & 0xff) + (bg[c] * (255 - a) + 127) / 255;
                    want |= std::min(v, 255u) << (8 * c);
                }
                if (a) ++covered;
            }
            ASSERT_EQ(RgbAt(p.pBits, p.nStride, x, y), want) << x << "," << y;
        }
    EXPECT_GT(covered, 10) << "the cursor has visible pixels";
    XFree(cursor);
    // Without the cursor the server's picture is the plain background.
    grabber->SetDrawCursor(false);
    ASSERT_TRUE(grabber->Grab(250, 150, 200, 200, p));
    for (int y = 0; y < 200; ++y)
        for (int x = 0; x < 200; ++x) ASSERT_EQ(RgbAt(p.pBits, p.nStride, x, y), 0x204060u);
    // The cursor follows the pointer.
    grabber->SetDrawCursor(true);
    screen.WarpPointer(1000, 600);
    ASSERT_TRUE(grabber->Grab(250, 150, 200, 200, p));
    for (int y = 0; y < 200; ++y)
        for (int x = 0; x < 200; ++x) ASSERT_EQ(RgbAt(p.pBits, p.nStride, x, y), 0x204060u);
    ASSERT_TRUE(grabber->Grab(950, 550, 100, 100, p));
    EXPECT_NE(Rgb(p), std::vector<unsigned>(100 * 100, 0x204060u));
}

TEST(ScreenGrabberServerTest, ReadsAServerWithoutSharedMemory) {
    CXvfbServer server;
    ASSERT_TRUE(server.Start(640, 480, 24, "-extension", "MIT-SHM"));
    {
        CTestScreen screen(server.GetDisplayName());
        screen.FillRect(0, 0, 640, 480, 0x336699);
        screen.FillRect(100, 100, 10, 10, 0xfedcba);
    }
    auto grabber = CScreenGrabber::Open(server.GetDisplayName().c_str());
    ASSERT_TRUE(grabber);
    EXPECT_FALSE(grabber->IsUsingShm());
    grabber->SetDrawCursor(false);
    GrabbedPicture p;
    ASSERT_TRUE(grabber->Grab(95, 95, 20, 20, p));
    EXPECT_EQ(RgbAt(p.pBits, p.nStride, 0, 0), 0x336699u);
    EXPECT_EQ(RgbAt(p.pBits, p.nStride, 5, 5), 0xfedcbau);
    EXPECT_EQ(RgbAt(p.pBits, p.nStride, 14, 14), 0xfedcbau);
    EXPECT_EQ(RgbAt(p.pBits, p.nStride, 15, 15), 0x336699u);
}

TEST(ScreenGrabberServerTest, ConvertsASixteenBitScreen) {
    CXvfbServer server;
    ASSERT_TRUE(server.Start(640, 480, 16));
    {
        CTestScreen screen(server.GetDisplayName());
        screen.FillRect(0, 0, 320, 480, 0xff0000);
        screen.FillRect(320, 0, 320, 480, 0xffffff);
    }
    for (bool shm : {true, false}) {
        auto grabber = CScreenGrabber::Open(server.GetDisplayName().c_str());
        ASSERT_TRUE(grabber);
        grabber->SetUseShm(shm);
        grabber->SetDrawCursor(false);
        GrabbedPicture p;
        ASSERT_TRUE(grabber->Grab(310, 0, 20, 10, p));
        EXPECT_EQ(RgbAt(p.pBits, p.nStride, 0, 0), 0xff0000u) << shm;
        EXPECT_EQ(RgbAt(p.pBits, p.nStride, 19, 9), 0xffffffu) << shm;
        EXPECT_EQ(p.pBits[3], 255);
    }
}

#include "regiongeometry.h"

#include <gtest/gtest.h>

#include <climits>

namespace {

const GeoRect kDesktop{0, 0, 1920, 1080};

RegionRect saved(int left, int top, int width, int height) {
    return RegionRect{left, top, left + width, top + height};
}

RegionRect toSaved(const GeoRect& inner) { return RegionRect{inner.left, inner.top, inner.right, inner.bottom}; }

CRegionGeometry::DragInput dragFrom(const GeoRect& window, bool aspect16x9, int startX, int startY) {
    CRegionGeometry::DragInput in;
    in.window = window;
    in.aspect16x9 = aspect16x9;
    in.startX = in.lastX = in.x = startX;
    in.startY = in.lastY = in.y = startY;
    return in;
}

}  // namespace

TEST(RegionGeometry, ConvertsBetweenInnerAndWindow) {
    const GeoRect window{100, 200, 914, 825};
    EXPECT_EQ(CRegionGeometry::innerFromWindow(window, false), (GeoRect{107, 218, 907, 818}));
    EXPECT_EQ(CRegionGeometry::innerFromWindow(window, true), (GeoRect{105, 205, 909, 820}));
    EXPECT_EQ(CRegionGeometry::windowFromInner(GeoRect{107, 218, 907, 818}), window);
    EXPECT_EQ(CRegionGeometry::innerClient(814, 625, false), (GeoRect{7, 18, 807, 618}));
}

TEST(RegionGeometry, AspectConversionsTruncate) {
    EXPECT_EQ(CRegionGeometry::heightFromWidth(1000, true), 562);
    EXPECT_EQ(CRegionGeometry::heightFromWidth(801, false), 600);
    EXPECT_EQ(CRegionGeometry::widthFromHeight(300, true), 533);
    EXPECT_EQ(CRegionGeometry::widthFromHeight(301, false), 401);
}

TEST(RegionGeometry, PlaceRestoresTheAspectOfTheSavedRectangle) {
    auto p = CRegionGeometry::place(saved(300, 200, 800, 600), kDesktop);
    EXPECT_FALSE(p.aspect16x9);
    EXPECT_EQ(p.window, (GeoRect{293, 182, 1107, 807}));

    p = CRegionGeometry::place(saved(300, 200, 1280, 720), kDesktop);
    EXPECT_TRUE(p.aspect16x9);
    EXPECT_EQ(p.window, (GeoRect{293, 182, 1587, 927}));

    // 0.7 is no 4:3: the height follows the width in 16:9.
    p = CRegionGeometry::place(saved(300, 200, 1000, 700), kDesktop);
    EXPECT_TRUE(p.aspect16x9);
    EXPECT_EQ(CRegionGeometry::innerFromWindow(p.window, false), (GeoRect{300, 200, 1300, 762}));

    // The 0.01 tolerance around 0.75.
    EXPECT_FALSE(CRegionGeometry::place(saved(300, 200, 1000, 741), kDesktop).aspect16x9);
    EXPECT_FALSE(CRegionGeometry::place(saved(300, 200, 1000, 759), kDesktop).aspect16x9);
    EXPECT_TRUE(CRegionGeometry::place(saved(300, 200, 1000, 739), kDesktop).aspect16x9);
}

TEST(RegionGeometry, PlaceFallsBackToTheCentredDefault) {
    const GeoRect expected{960 - 487, 540 - 372, 960 + 487, 540 - 372 + 745};
    const RegionRect never;
    EXPECT_EQ(CRegionGeometry::place(never, kDesktop).window, expected);
    EXPECT_FALSE(CRegionGeometry::place(never, kDesktop).aspect16x9);
    // The default inner rectangle is 4:3 itself.
    EXPECT_EQ(CRegionGeometry::innerFromWindow(expected, false).width(), 960);
    EXPECT_EQ(CRegionGeometry::innerFromWindow(expected, false).height(), 720);

    // The window would stick out of the desktop (top border above 0, right edge beyond).
    EXPECT_EQ(CRegionGeometry::place(saved(100, 10, 800, 600), kDesktop).window, expected);
    EXPECT_EQ(CRegionGeometry::place(saved(1200, 200, 800, 600), kDesktop).window, expected);
    // Empty, inverted, tiny and hostile values.
    EXPECT_EQ(CRegionGeometry::place(saved(100, 100, 0, 0), kDesktop).window, expected);
    EXPECT_EQ(CRegionGeometry::place(RegionRect{500, 500, 100, 100}, kDesktop).window, expected);
    EXPECT_EQ(CRegionGeometry::place(RegionRect{INT_MIN, INT_MIN, INT_MAX, INT_MAX}, kDesktop).window, expected);
    EXPECT_EQ(CRegionGeometry::place(RegionRect{INT_MAX - 3, 100, INT_MAX, 200}, kDesktop).window, expected);

    // Small is kept (a resize can grow it again).
    EXPECT_EQ(CRegionGeometry::place(saved(100, 100, 40, 30), kDesktop).window, (GeoRect{93, 82, 147, 137}));

    // Centred on a desktop that does not start at 0.
    const GeoRect shifted{1920, 0, 3840, 1200};
    EXPECT_EQ(CRegionGeometry::place(never, shifted).window, (GeoRect{2880 - 487, 228, 2880 + 487, 973}));
}

TEST(RegionGeometry, PlacedRectanglesSurviveSaveAndRestore) {
    for (const bool wide : {false, true}) {
        const GeoRect inner{200, 150, 200 + 960, 150 + CRegionGeometry::heightFromWidth(960, wide)};
        const auto first = CRegionGeometry::place(toSaved(inner), kDesktop);
        ASSERT_EQ(first.aspect16x9, wide);
        const auto again =
            CRegionGeometry::place(toSaved(CRegionGeometry::innerFromWindow(first.window, false)), kDesktop);
        EXPECT_EQ(again.window, first.window);
        EXPECT_EQ(again.aspect16x9, wide);
    }
    const auto fallback = CRegionGeometry::place(RegionRect{}, kDesktop);
    const auto restored =
        CRegionGeometry::place(toSaved(CRegionGeometry::innerFromWindow(fallback.window, false)), kDesktop);
    EXPECT_EQ(restored.window, fallback.window);
    EXPECT_FALSE(restored.aspect16x9);
}

TEST(RegionGeometry, SwitchingTheAspectKeepsTheHeight) {
    // 4:3 with inner height 300 -> 16:9 inner 533 x 300, same top and centre.
    const GeoRect inner43{500, 300, 900, 600};
    const GeoRect wide = CRegionGeometry::switchAspect(CRegionGeometry::windowFromInner(inner43), true, kDesktop);
    const GeoRect innerWide = CRegionGeometry::innerFromWindow(wide, false);
    EXPECT_EQ(innerWide.width(), 533);
    EXPECT_EQ(innerWide.height(), 300);
    EXPECT_EQ(innerWide.top, 300);
    EXPECT_EQ(innerWide.left + innerWide.width() / 2, 700);

    // Too narrow: the smallest size of the new aspect.
    const GeoRect small{500, 300, 767, 500};
    EXPECT_EQ(CRegionGeometry::innerFromWindow(
                  CRegionGeometry::switchAspect(CRegionGeometry::windowFromInner(small), true, kDesktop), false)
                  .width(),
              480);
    EXPECT_EQ(CRegionGeometry::innerFromWindow(
                  CRegionGeometry::switchAspect(CRegionGeometry::windowFromInner(small), true, kDesktop), false)
                  .height(),
              270);
    const GeoRect inner169{500, 300, 980, 570};
    const GeoRect back = CRegionGeometry::switchAspect(CRegionGeometry::windowFromInner(inner169), false, kDesktop);
    EXPECT_EQ(CRegionGeometry::innerFromWindow(back, false).width(), 480);
    EXPECT_EQ(CRegionGeometry::innerFromWindow(back, false).height(), 360);

    // An inner top above 19 centres the window on the desktop.
    const GeoRect high{500, 18, 900, 318};
    const GeoRect centred = CRegionGeometry::switchAspect(CRegionGeometry::windowFromInner(high), true, kDesktop);
    EXPECT_EQ(centred.width(), 533 + 14);
    EXPECT_EQ(centred.height(), 300 + 25);
    EXPECT_EQ(centred.left, (1920 - 547) / 2);
    EXPECT_EQ(centred.top, (1080 - 325) / 2);
    const GeoRect justLowEnough{500, 19, 900, 319};
    EXPECT_EQ(CRegionGeometry::switchAspect(CRegionGeometry::windowFromInner(justLowEnough), true, kDesktop).top, 1);
}

TEST(RegionGeometry, HitTestFindsTheFirstHandle) {
    const GeoRect inner{7, 18, 807, 618};
    EXPECT_EQ(CRegionGeometry::handleAt(inner, 3, 14), 8);
    EXPECT_EQ(CRegionGeometry::handleAt(inner, 59, 17), 0);
    EXPECT_EQ(CRegionGeometry::handleAt(inner, 60, 17), -1);
    EXPECT_EQ(CRegionGeometry::handleAt(inner, 810, 620), 9);
    EXPECT_EQ(CRegionGeometry::handleAt(inner, 400, 300), -1);
    // On a narrow frame the two top handles overlap: the first one wins.
    const GeoRect narrow{7, 18, 87, 78};
    EXPECT_EQ(CRegionGeometry::handleAt(narrow, 40, 14), 0);
    EXPECT_EQ(CRegionGeometry::handleAt(narrow, 70, 14), 1);
}

TEST(RegionGeometry, ButtonDownChoosesHandleOrMove) {
    // Editable: the handle under the cursor, else moving.
    EXPECT_EQ(CRegionGeometry::dragModeAt(814, 625, false, true, 3, 30), 4);
    EXPECT_EQ(CRegionGeometry::dragModeAt(814, 625, false, true, 400, 5), CRegionGeometry::kDragMove);
    // Recording: a former handle moves the window.
    EXPECT_EQ(CRegionGeometry::dragModeAt(814, 625, false, false, 3, 30), CRegionGeometry::kDragMove);
    EXPECT_EQ(CRegionGeometry::dragModeAt(814, 625, false, false, 810, 620), CRegionGeometry::kDragMove);
    // The full-screen outline does not move.
    EXPECT_EQ(CRegionGeometry::dragModeAt(1920, 1080, true, true, 2, 2), -1);
}

TEST(RegionGeometry, EdgeHandlesKeepTheAspectAndTheOppositeEdge) {
    const GeoRect window{293, 182, 1107, 807};  // inner 800 x 600, 4:3
    auto in = dragFrom(window, false, 300, 190);

    in.y = 282;  // top handle at the left end: 100 pixels lower
    auto r = CRegionGeometry::drag(0, in);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->top, 282);
    EXPECT_EQ(r->right, window.right);
    EXPECT_EQ(r->bottom, window.bottom);
    GeoRect inner = CRegionGeometry::innerFromWindow(*r, false);
    EXPECT_EQ(inner.height(), 500);
    EXPECT_EQ(inner.width(), 666);

    r = CRegionGeometry::drag(1, in);  // right end keeps the left edge
    ASSERT_TRUE(r);
    EXPECT_EQ(r->left, window.left);
    EXPECT_EQ(r->width(), 666 + 14);

    in.y = 900;  // bottom handles
    r = CRegionGeometry::drag(3, in);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->top, window.top);
    EXPECT_EQ(r->bottom, 900);
    EXPECT_EQ(r->left, window.left);
    inner = CRegionGeometry::innerFromWindow(*r, false);
    EXPECT_EQ(inner.width(), CRegionGeometry::widthFromHeight(inner.height(), false));
    r = CRegionGeometry::drag(2, in);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->right, window.right);

    in.y = 190;
    in.x = 393;  // left side at the top end: keeps the bottom
    r = CRegionGeometry::drag(4, in);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->left, 393);
    EXPECT_EQ(r->bottom, window.bottom);
    inner = CRegionGeometry::innerFromWindow(*r, false);
    EXPECT_EQ(inner.width(), 700);
    EXPECT_EQ(inner.height(), 525);
    r = CRegionGeometry::drag(6, in);  // bottom end keeps the top
    ASSERT_TRUE(r);
    EXPECT_EQ(r->top, window.top);
    EXPECT_EQ(r->height(), 525 + 25);

    in.x = 1207;  // right side
    r = CRegionGeometry::drag(7, in);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->right, 1207);
    EXPECT_EQ(r->top, window.top);
    EXPECT_EQ(CRegionGeometry::innerFromWindow(*r, false).height(), 675);
    r = CRegionGeometry::drag(5, in);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->bottom, window.bottom);

    // A window left by a drag restores in the same aspect.
    for (const bool wide : {false, true}) {
        auto d = dragFrom(CRegionGeometry::place(saved(300, 200, 960, wide ? 540 : 720), kDesktop).window, wide,
                          1267, 500);
        d.x = 1100;
        auto resized = CRegionGeometry::drag(7, d);
        ASSERT_TRUE(resized);
        auto back = CRegionGeometry::place(toSaved(CRegionGeometry::innerFromWindow(*resized, false)), kDesktop);
        EXPECT_EQ(back.aspect16x9, wide);
        EXPECT_EQ(back.window, *resized);
    }
}

TEST(RegionGeometry, CornersFollowTheLargerMovementSinceButtonDown) {
    const GeoRect window{293, 182, 1107, 807};
    // Top-left corner, mostly vertical: acts as the top handle (right edge kept).
    auto in = dragFrom(window, false, 296, 185);
    in.x = 306;
    in.y = 285;
    auto r = CRegionGeometry::drag(8, in);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->top, 285);
    EXPECT_EQ(r->right, window.right);
    EXPECT_EQ(r->bottom, window.bottom);
    // Mostly horizontal: the left side (bottom kept).
    in.x = 396;
    in.y = 195;
    r = CRegionGeometry::drag(8, in);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->left, 396);
    EXPECT_EQ(r->bottom, window.bottom);
    EXPECT_EQ(r->right, window.right);

    // Bottom-right: vertical -> bottom (left kept); horizontal -> right side (top kept).
    in = dragFrom(window, false, 1104, 804);
    in.x = 1094;
    in.y = 704;
    r = CRegionGeometry::drag(9, in);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->bottom, 704);
    EXPECT_EQ(r->left, window.left);
    EXPECT_EQ(r->top, window.top);
    in.x = 1004;
    in.y = 800;
    r = CRegionGeometry::drag(9, in);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->right, 1004);
    EXPECT_EQ(r->top, window.top);
    EXPECT_EQ(r->left, window.left);

    // Top-right vertical keeps the left and bottom; bottom-left horizontal keeps the right and top.
    in = dragFrom(window, false, 1104, 185);
    in.y = 285;
    r = CRegionGeometry::drag(10, in);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->left, window.left);
    EXPECT_EQ(r->bottom, window.bottom);
    in = dragFrom(window, false, 296, 804);
    in.x = 396;
    r = CRegionGeometry::drag(11, in);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->right, window.right);
    EXPECT_EQ(r->top, window.top);
}

TEST(RegionGeometry, ResizesOutsideTheLimitsAreRefused) {
    EXPECT_FALSE(CRegionGeometry::acceptableSize(493, 400, false));
    EXPECT_TRUE(CRegionGeometry::acceptableSize(494, 385, false));
    EXPECT_FALSE(CRegionGeometry::acceptableSize(494, 373, false));
    EXPECT_TRUE(CRegionGeometry::acceptableSize(494, 284, true));
    EXPECT_FALSE(CRegionGeometry::acceptableSize(494, 283, true));
    EXPECT_TRUE(CRegionGeometry::acceptableSize(1934, 1094, true));
    EXPECT_FALSE(CRegionGeometry::acceptableSize(1935, 1000, true));
    EXPECT_TRUE(CRegionGeometry::acceptableSize(1454, 1094, false));
    EXPECT_FALSE(CRegionGeometry::acceptableSize(1455, 1000, false));
    EXPECT_FALSE(CRegionGeometry::acceptableSize(1000, 1095, true));

    // Dragging the right edge in below the smallest width is ignored.
    const GeoRect window{293, 182, 787, 477};  // 494 x 295: inner 480 x 270, 16:9
    auto in = dragFrom(window, true, 785, 300);
    in.x = 784;
    EXPECT_FALSE(CRegionGeometry::drag(7, in));
    in.x = 786;
    EXPECT_FALSE(CRegionGeometry::drag(7, in));  // 493 wide
    in.x = 788;
    EXPECT_TRUE(CRegionGeometry::drag(7, in));
    // Too tall.
    in = dragFrom(window, true, 500, 475);
    in.y = 182 + 1095;
    EXPECT_FALSE(CRegionGeometry::drag(3, in));
    EXPECT_FALSE(CRegionGeometry::drag(-1, in));
    EXPECT_FALSE(CRegionGeometry::drag(13, in));
}

TEST(RegionGeometry, MovingOffsetsByTheLastMovement) {
    const GeoRect window{293, 182, 1107, 807};
    auto in = dragFrom(window, false, 500, 500);
    in.lastX = 510;
    in.lastY = 505;
    in.x = 530;
    in.y = 495;
    auto r = CRegionGeometry::drag(CRegionGeometry::kDragMove, in);
    ASSERT_TRUE(r);
    EXPECT_EQ(*r, window.offset(20, -10));
    // Moving keeps even a size no resize would leave.
    in.window = GeoRect{0, 0, 2000, 1200};
    EXPECT_TRUE(CRegionGeometry::drag(CRegionGeometry::kDragMove, in));
}

TEST(RegionGeometry, CustomShapeWhileEditable) {
    const int w = 814, h = 625;
    const QRegion s = CRegionGeometry::shape(w, h, false, true);
    // Inner rectangle clear except the toolbar; the rows above the frame clear except the tab.
    EXPECT_FALSE(s.contains(QPoint(400, 300)));
    EXPECT_FALSE(s.contains(QPoint(7, 18)));
    EXPECT_FALSE(s.contains(QPoint(806, 617)));
    EXPECT_FALSE(s.contains(QPoint(20, 5)));
    // Corner brackets full width, 2-pixel line in between.
    EXPECT_TRUE(s.contains(QPoint(0, 11)));
    EXPECT_TRUE(s.contains(QPoint(59, 11)));
    EXPECT_FALSE(s.contains(QPoint(60, 11)));
    EXPECT_FALSE(s.contains(QPoint(300, 15)));
    EXPECT_TRUE(s.contains(QPoint(300, 16)));
    EXPECT_TRUE(s.contains(QPoint(300, 17)));
    EXPECT_TRUE(s.contains(QPoint(0, 70)));
    EXPECT_FALSE(s.contains(QPoint(0, 71)));
    EXPECT_TRUE(s.contains(QPoint(5, 300)));
    EXPECT_FALSE(s.contains(QPoint(4, 300)));
    EXPECT_FALSE(s.contains(QPoint(813, 300)));
    EXPECT_TRUE(s.contains(QPoint(813, h - 60)));
    EXPECT_FALSE(s.contains(QPoint(813, h - 61)));
    EXPECT_TRUE(s.contains(QPoint(400, h - 6)));
    EXPECT_FALSE(s.contains(QPoint(400, h - 5)));
    EXPECT_TRUE(s.contains(QPoint(w - 60, h - 1)));
    EXPECT_FALSE(s.contains(QPoint(w - 61, h - 1)));
    // Grip tab: cut upper corners, 2 x 2 holes in two rows.
    const int tab = (w - 80) / 2;
    EXPECT_FALSE(s.contains(QPoint(tab, 0)));
    EXPECT_FALSE(s.contains(QPoint(tab + 79, 0)));
    EXPECT_TRUE(s.contains(QPoint(tab + 1, 0)));
    EXPECT_TRUE(s.contains(QPoint(tab, 1)));
    EXPECT_FALSE(s.contains(QPoint(tab - 1, 5)));
    for (int column = 0; column < 9; ++column) {
        for (const int row : {5, 12}) {
            const int x = tab + 11 + 7 * column;
            EXPECT_FALSE(s.contains(QPoint(x, row)));
            EXPECT_FALSE(s.contains(QPoint(x + 1, row + 1)));
            EXPECT_TRUE(s.contains(QPoint(x + 2, row)));
            EXPECT_TRUE(s.contains(QPoint(x, row + 2)));
        }
    }
    EXPECT_TRUE(s.contains(QPoint(tab + 10, 5)));
    EXPECT_TRUE(s.contains(QPoint(tab + 72, 12)));
    // Toolbar rounded rectangles.
    const auto bar = CRegionGeometry::toolbar(w, h, false);
    EXPECT_TRUE(s.contains(QPoint(bar.background.left + 1, bar.background.top)));
    EXPECT_FALSE(s.contains(QPoint(bar.background.left, bar.background.top)));
    EXPECT_FALSE(s.contains(QPoint(bar.background.right - 1, bar.background.bottom - 1)));
    EXPECT_TRUE(s.contains(QPoint(bar.dropDown.left + 5, bar.dropDown.top + 5)));
    EXPECT_FALSE(s.contains(QPoint(bar.dropDown.right - 1, bar.dropDown.top)));
    EXPECT_FALSE(s.contains(QPoint(bar.background.right, bar.background.top + 5)));  // gap between the two
}

TEST(RegionGeometry, CustomShapeWhileRecording) {
    const int w = 814, h = 625;
    const QRegion s = CRegionGeometry::shape(w, h, false, false);
    // Only a 2-pixel line: no brackets, no toolbar; the tab stays.
    EXPECT_FALSE(s.contains(QPoint(0, 11)));
    EXPECT_FALSE(s.contains(QPoint(4, 15)));
    EXPECT_TRUE(s.contains(QPoint(5, 16)));
    EXPECT_TRUE(s.contains(QPoint(6, 300)));
    EXPECT_FALSE(s.contains(QPoint(7, 300)));
    EXPECT_TRUE(s.contains(QPoint(w - 6, 300)));
    EXPECT_FALSE(s.contains(QPoint(w - 5, 300)));
    EXPECT_TRUE(s.contains(QPoint(400, h - 6)));
    EXPECT_FALSE(s.contains(QPoint(400, h - 5)));
    EXPECT_FALSE(s.contains(QPoint(0, h - 1)));
    const auto bar = CRegionGeometry::toolbar(w, h, false);
    EXPECT_FALSE(s.contains(QPoint(bar.dropDown.left + 5, bar.dropDown.top + 5)));
    EXPECT_FALSE(s.contains(QPoint(bar.background.left + 5, bar.background.top + 5)));
    EXPECT_TRUE(s.contains(QPoint(w / 2, 1)));
    // Exactly the line, the tab and nothing else.
    const int lineArea = (w - 10) * (h - 16 - 5) - (w - 14) * (h - 25);
    int tabArea = 80 * 18 - 2 - 2 * 9 * 4;
    // The tab's lower rows overlap the line (rows 16 and 17).
    tabArea -= 80 * 2;
    int area = 0;
    for (const QRect& r : s) area += r.width() * r.height();
    EXPECT_EQ(area, lineArea + tabArea);
}

TEST(RegionGeometry, FullScreenShapeIsAFiveByFiveOutline) {
    const QRegion s = CRegionGeometry::shape(1920, 1080, true, false);
    EXPECT_TRUE(s.contains(QPoint(0, 0)));
    EXPECT_TRUE(s.contains(QPoint(4, 500)));
    EXPECT_FALSE(s.contains(QPoint(5, 500)));
    EXPECT_TRUE(s.contains(QPoint(1919, 1079)));
    EXPECT_FALSE(s.contains(QPoint(1914, 1074)));
    EXPECT_TRUE(s.contains(QPoint(960, 1)));
    EXPECT_FALSE(s.contains(QPoint(960, 6)));
    // Editable: the drop-down only.
    const QRegion e = CRegionGeometry::shape(1920, 1080, true, true);
    const auto bar = CRegionGeometry::toolbar(1920, 1080, true);
    EXPECT_TRUE(e.contains(QPoint(bar.dropDown.left + 3, bar.dropDown.top + 3)));
    EXPECT_FALSE(e.contains(QPoint(bar.background.left + 3, bar.background.top + 3)));
    EXPECT_TRUE(CRegionGeometry::shape(0, 100, false, true).isEmpty());
}

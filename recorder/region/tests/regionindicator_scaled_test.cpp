// The indicator under Qt's display scaling: a 3840 x 2160 Xvfb shown to Qt
// at a device pixel ratio of 2 (QT_SCALE_FACTOR). The indicator works in
// logical pixels; the X server, the monitor table and the capture see
// physical ones.
#include <gtest/gtest.h>

#include <QApplication>
#include <QTest>

#include <cstdlib>
#include <functional>

#include "monitortable.h"
#include "regionindicator.h"
#include "privatescreen.h"
#include "xscreenprobe.h"

namespace {

constexpr unsigned kGreen = 0x00FF00;
constexpr unsigned kRed = 0xFF0000;

CXScreenProbe g_screen;

QRect times2(const QRect& r) { return QRect(r.x() * 2, r.y() * 2, r.width() * 2, r.height() * 2); }

}  // namespace

TEST(RegionScaledTest, CaptureRectangleInPhysicalPixels) {
    CRegionIndicator indicator;
    ASSERT_EQ(indicator.desktopRect(), QRect(0, 0, 1920, 1080));
    indicator.place(RegionRect{300, 200, 1100, 800}, nullptr, false);
    indicator.showTopMost();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&indicator));
    ASSERT_EQ(indicator.windowRect(), QRect(293, 182, 814, 625));
    ASSERT_TRUE(WaitUntil([&] { return g_screen.windowGeometry(indicator.winId()) == times2(indicator.windowRect()); }));

    CMonitorTable table;
    ASSERT_TRUE(table.refresh());
    EXPECT_EQ(table.primaryRect(), (GeoRect{0, 0, 3840, 2160}));
    const CRegionIndicator::CaptureArea area = indicator.captureArea();
    EXPECT_DOUBLE_EQ(area.devicePixelRatio, 2.0);
    const GeoRect capture = table.toCapturePixels(CRegionGeometry::fromQRect(area.rect), area.devicePixelRatio);
    EXPECT_EQ(capture, (GeoRect{600, 400, 2200, 1600}));

    // The mask scales with the window: the captured area is clear, the
    // (now 4-pixel) line lies just outside it.
    EXPECT_TRUE(WaitUntil([&] { return g_screen.pixel(capture.left - 1, 1000) == kRed; }));
    EXPECT_EQ(g_screen.pixel(capture.left - 4, 1000), kRed);
    EXPECT_EQ(g_screen.pixel(capture.left - 5, 1000), kGreen);
    EXPECT_EQ(g_screen.pixel(capture.left, 1000), kGreen);
    EXPECT_EQ(g_screen.pixel(capture.right - 1, capture.bottom - 1), kGreen);
    EXPECT_EQ(g_screen.pixel(capture.right, capture.bottom), kRed);
}

int main(int argc, char** argv) {
    setenv("QT_SCALE_FACTOR", "2", 1);
    return RunTestsOnPrivateScreen(argc, argv, 3840, 2160, kGreen, g_screen);
}

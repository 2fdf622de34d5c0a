// The indicator and the monitor table on a real X server: a private
// 1920 x 1080 Xvfb with a green root window, Qt on xcb, the mouse driven by
// xdotool, pixels read back from the root window. Screenshots of the three
// looks go to the build folder's screenshots/.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QImage>
#include <QProcess>
#include <QTest>

#include <cstdlib>
#include <functional>
#include <memory>

#include "imagebutton.h"
#include "languagetable.h"
#include "monitortable.h"
#include "pelldroppop.h"
#include "pelldropsel.h"
#include "regionindicator.h"
#include "privatescreen.h"
#include "xscreenprobe.h"

namespace {

constexpr unsigned kGreen = 0x00FF00;
constexpr unsigned kRed = 0xFF0000;
constexpr unsigned kToolbarGrey = 0x5C5C5C;

CXScreenProbe g_screen;

unsigned pixelAt(int x, int y) { return g_screen.pixel(x, y); }

// Waits until the screen shows colour at (x, y): painting and mask changes
// reach the server asynchronously.
bool showsColour(int x, int y, unsigned colour) {
    return WaitUntil([&] { return pixelAt(x, y) == colour; });
}

void saveScreenshot(const QRect& area, const char* name) {
    QDir().mkpath(TOLVANE_SCREENSHOT_DIR);
    g_screen.grab(area).save(QString(TOLVANE_SCREENSHOT_DIR) + "/" + name);
}

// The window's place as the X server has it (no window manager: the
// indicator is a child of the root).
QRect serverGeometry(const QWidget& widget) { return g_screen.windowGeometry(widget.winId()); }

bool xdotool(const QStringList& arguments) {
    const bool ok = QProcess::execute("xdotool", arguments) == 0;
    QTest::qWait(60);
    return ok;
}

// Waits until the indicator's state satisfies condition and the server
// has the window where the indicator says it is.
bool settlesAt(const QWidget& indicator, const std::function<bool()>& condition) {
    return WaitUntil([&] { return condition() && serverGeometry(indicator) == indicator.geometry(); });
}

// Press at a screen point, move there in steps, release.
void dragOnScreen(QPoint from, QPoint to) {
    xdotool({"mousemove", QString::number(from.x()), QString::number(from.y())});
    xdotool({"mousedown", "1"});
    for (int step = 1; step <= 4; ++step) {
        const QPoint p = from + (to - from) * step / 4;
        xdotool({"mousemove", QString::number(p.x()), QString::number(p.y())});
    }
    xdotool({"mouseup", "1"});
}

void clickOnScreen(QPoint at) {
    xdotool({"mousemove", QString::number(at.x()), QString::number(at.y())});
    xdotool({"click", "1"});
}

class RegionXvfbTest : public ::testing::Test {
protected:
    void TearDown() override { xdotool({"mousemove", "1900", "1060"}); }

    // Shows an indicator at the saved inner rectangle and waits until the
    // server shows it there.
    void showAt(CRegionIndicator& indicator, const RegionRect& saved, bool fullScreen) {
        indicator.place(saved, nullptr, fullScreen);
        indicator.showTopMost();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&indicator));
        ASSERT_TRUE(WaitUntil([&] { return serverGeometry(indicator) == indicator.windowRect(); }));
    }
};

}  // namespace

TEST_F(RegionXvfbTest, OneScreenIsOnePrimaryMonitor) {
    CMonitorTable table;
    ASSERT_TRUE(table.refresh());
    ASSERT_EQ(table.count(), 1);
    EXPECT_EQ(table.primaryIndex(), 0);
    const MonitorInfo& m = table.at(0);
    EXPECT_EQ(m.monitorRect, (GeoRect{0, 0, 1920, 1080}));
    EXPECT_EQ(m.workRect, m.monitorRect);  // no window manager, no work area
    EXPECT_EQ(m.modeWidth, 1920);
    EXPECT_EQ(m.modeHeight, 1080);
    EXPECT_FALSE(m.description.empty());
    EXPECT_DOUBLE_EQ(table.scaleX(), 1.0);
    EXPECT_DOUBLE_EQ(table.scaleY(), 1.0);
    EXPECT_EQ(table.primaryRect(), m.monitorRect);

    // A work area published on the root window (two desktops, the second current).
    g_screen.setRootCardinals("_NET_WORKAREA", {0, 0, 1920, 1080, 0, 30, 1920, 1010});
    g_screen.setRootCardinals("_NET_CURRENT_DESKTOP", {1});
    ASSERT_TRUE(table.refresh());
    EXPECT_EQ(table.at(0).workRect, (GeoRect{0, 30, 1920, 1040}));
    g_screen.deleteRootProperty("_NET_WORKAREA");
    g_screen.deleteRootProperty("_NET_CURRENT_DESKTOP");
}

TEST_F(RegionXvfbTest, CustomFrameLandsWhereAskedAndLeavesTheInsideClear) {
    CRegionIndicator indicator;
    showAt(indicator, RegionRect{300, 200, 1100, 800}, false);
    EXPECT_EQ(serverGeometry(indicator), QRect(293, 182, 814, 625));

    EXPECT_TRUE(g_screen.isOverrideRedirect(indicator.winId()));

    const QPoint o = indicator.windowRect().topLeft();
    EXPECT_TRUE(showsColour(o.x() + 300, o.y() + 16, kRed));  // the 2-pixel line
    EXPECT_TRUE(showsColour(o.x() + 1, o.y() + 12, kRed));    // a corner bracket
    EXPECT_EQ(pixelAt(o.x() + 300, o.y() + 12), kGreen);      // thinned between the brackets
    EXPECT_EQ(pixelAt(700, 500), kGreen);                     // the inside
    EXPECT_EQ(pixelAt(300, 200), kGreen);                     // first inner pixel
    EXPECT_EQ(pixelAt(o.x() + 100, o.y() + 5), kGreen);       // above the frame, beside the tab
    EXPECT_EQ(pixelAt(o.x() + 407 - 40 + 11, o.y() + 5), kGreen);  // a hole of the tab
    EXPECT_EQ(pixelAt(o.x() + 407 - 40 + 10, o.y() + 5), kRed);    // the tab
    const CRegionGeometry::Toolbar bar = CRegionGeometry::toolbar(814, 625, false);
    EXPECT_EQ(pixelAt(o.x() + bar.background.left + 2, o.y() + bar.background.top + 2), kToolbarGrey);
    EXPECT_EQ(pixelAt(o.x() + bar.background.left, o.y() + bar.background.top), kGreen);  // rounded corner
    saveScreenshot(indicator.windowRect().adjusted(-20, -20, 20, 20), "region-custom-editable.png");
}

TEST_F(RegionXvfbTest, DraggingHandlesKeepsTheAspect) {
    CRegionIndicator indicator;
    showAt(indicator, RegionRect{300, 200, 1100, 800}, false);

    // Bottom-right corner sideways: the right edge follows, the top stays.
    const QRect before = indicator.windowRect();
    dragOnScreen(before.topLeft() + QPoint(810, 621), QPoint(1003, 806));
    ASSERT_TRUE(settlesAt(indicator, [&] { return indicator.windowRect().right() == 1003 - 1; }));
    QRect inner = indicator.captureRect();
    EXPECT_EQ(indicator.windowRect().topLeft(), before.topLeft());
    EXPECT_EQ(indicator.windowRect().right(), 1003 - 1);
    EXPECT_EQ(inner.width(), 696);
    EXPECT_EQ(inner.height(), 522);
    EXPECT_FALSE(indicator.isAspect16x9());

    // 16:9, then the top handle down: the right edge and bottom stay.
    indicator.setAspect16x9(true);
    ASSERT_TRUE(WaitUntil([&] { return serverGeometry(indicator) == indicator.windowRect(); }));
    const QRect wide = indicator.windowRect();
    dragOnScreen(wide.topLeft() + QPoint(30, 14), wide.topLeft() + QPoint(32, 74));
    ASSERT_TRUE(settlesAt(indicator, [&] { return indicator.windowRect().top() == wide.top() + 74; }));
    inner = indicator.captureRect();
    EXPECT_EQ(indicator.windowRect().top(), wide.top() + 74);  // the top edge goes to the cursor
    EXPECT_EQ(indicator.windowRect().right(), wide.right());
    EXPECT_EQ(indicator.windowRect().bottom(), wide.bottom());
    EXPECT_EQ(inner.width(), CRegionGeometry::widthFromHeight(inner.height(), true));

    // A press inside the frame goes to the window below: nothing moves.
    const QRect still = indicator.windowRect();
    dragOnScreen(still.center(), still.center() + QPoint(50, 50));
    QTest::qWait(200);
    EXPECT_EQ(indicator.windowRect(), still);

    // The grip tab moves the window.
    const QRect sized = indicator.windowRect();
    dragOnScreen(sized.topLeft() + QPoint(sized.width() / 2, 3), sized.topLeft() + QPoint(sized.width() / 2 + 40, 33));
    ASSERT_TRUE(WaitUntil([&] { return serverGeometry(indicator) == sized.translated(40, 30); }));
    EXPECT_TRUE(showsColour(indicator.windowRect().x() + 300, indicator.windowRect().y() + 16, kRed));
}

TEST_F(RegionXvfbTest, RecordingThinsTheFrameAndMovesOnFormerHandles) {
    CRegionIndicator indicator;
    showAt(indicator, RegionRect{300, 200, 1100, 800}, false);
    const QPoint o = indicator.windowRect().topLeft();
    const CRegionGeometry::Toolbar bar = CRegionGeometry::toolbar(814, 625, false);
    ASSERT_TRUE(showsColour(o.x() + bar.background.left + 2, o.y() + bar.background.top + 2, kToolbarGrey));

    indicator.setRecording(true);
    EXPECT_TRUE(showsColour(o.x() + bar.background.left + 2, o.y() + bar.background.top + 2, kGreen));
    EXPECT_EQ(pixelAt(o.x() + 1, o.y() + 12), kGreen);  // no brackets
    EXPECT_EQ(pixelAt(o.x() + 5, o.y() + 300), kRed);  // the line
    EXPECT_EQ(pixelAt(o.x() + 300, o.y() + 17), kRed);
    saveScreenshot(indicator.windowRect().adjusted(-20, -20, 20, 20), "region-custom-recording.png");

    // The former bottom-right corner handle moves the window now.
    const QRect before = indicator.windowRect();
    dragOnScreen(o + QPoint(807, 618), o + QPoint(747, 598));
    ASSERT_TRUE(WaitUntil([&] { return serverGeometry(indicator) == before.translated(-60, -20); }));
    EXPECT_EQ(indicator.windowRect().size(), before.size());
}

TEST_F(RegionXvfbTest, FullScreenOutlinesTheDesktopAndTheDropDownSwitchesBack) {
    CRegionIndicator indicator;
    QObject::connect(&indicator, &CRegionIndicator::recordTypeRequested, &indicator,
                     [&](int type) { indicator.setFullScreen(type == 0); });
    showAt(indicator, RegionRect{300, 200, 1100, 800}, true);
    EXPECT_EQ(serverGeometry(indicator), QRect(0, 0, 1920, 1080));
    EXPECT_TRUE(showsColour(2, 2, kRed));
    EXPECT_EQ(pixelAt(4, 600), kRed);
    EXPECT_EQ(pixelAt(1919, 1079), kRed);
    EXPECT_EQ(pixelAt(5, 600), kGreen);
    EXPECT_EQ(pixelAt(960, 540), kGreen);
    EXPECT_EQ(pixelAt(960, 7), kGreen);  // no grip tab
    const CRegionGeometry::Toolbar bar = CRegionGeometry::toolbar(1920, 1080, true);
    EXPECT_NE(pixelAt(bar.dropDown.left + 40, bar.dropDown.top + 12), kGreen);
    EXPECT_EQ(pixelAt(bar.background.left + 2, bar.background.top + 2), kGreen);
    saveScreenshot(QRect(0, 0, 1920, 1080), "region-fullscreen.png");
    saveScreenshot(QRect(1920 - 300, 0, 300, 120), "region-fullscreen-dropdown.png");

    // The drop-down: open it, pick "custom".
    CPellDropSel* drop = indicator.modeDropDown();
    clickOnScreen(QPoint(bar.dropDown.left + 30, bar.dropDown.top + 12));
    ASSERT_TRUE(WaitUntil([&] { return drop->isPopupOpen(); }));
    QWidget* popup = drop->popup();
    ASSERT_NE(popup, nullptr);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(popup));
    saveScreenshot(QRect(1920 - 300, 0, 300, 120), "region-fullscreen-dropdown-open.png");
    // The middle of the "custom" item.
    int first = -1, last = -1;
    for (int y = 0; y < popup->height(); ++y) {
        if (drop->popup()->itemAt(QPoint(popup->width() / 2, y)) != CRegionIndicator::ITEM_CUSTOM) continue;
        if (first < 0) first = y;
        last = y;
    }
    ASSERT_GE(first, 0);
    clickOnScreen(popup->mapToGlobal(QPoint(popup->width() / 2, (first + last) / 2)));
    ASSERT_TRUE(WaitUntil([&] { return !indicator.isBorderless(); }));
    EXPECT_EQ(indicator.captureRect(), QRect(300, 200, 800, 600));
    ASSERT_TRUE(WaitUntil([&] { return serverGeometry(indicator) == QRect(293, 182, 814, 625); }));
    EXPECT_TRUE(showsColour(960, 540, kGreen));
    EXPECT_TRUE(showsColour(293 + 300, 182 + 16, kRed));
    EXPECT_EQ(drop->selectedIndex(), CRegionIndicator::ITEM_CUSTOM);
}

int main(int argc, char** argv) {
    return RunTestsOnPrivateScreen(argc, argv, 1920, 1080, kGreen, g_screen, [] {
        CLanguageTable::instance().load(CLanguageTable::LANGUAGE_ENGLISH, TOLVANE_LANGUAGE_XML);
    });
}

// The indicator's state, controls and mouse handling on the offscreen
// platform (no window system; geometry is what the widget was given).
#include "regionindicator.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QMouseEvent>
#include <QSignalSpy>

#include "imagebutton.h"
#include "pelldropsel.h"

namespace {

const QRect kDesktop(0, 0, 1920, 1080);

class RegionIndicatorTest : public ::testing::Test {
protected:
    void SetUp() override { indicator.setDesktopRect(kDesktop); }

    // One mouse event at a client position, the screen position following
    // from the window's current place.
    void mouse(QEvent::Type type, QPoint local, Qt::MouseButtons buttons = Qt::LeftButton) {
        const QPoint global = indicator.windowRect().topLeft() + local;
        const Qt::MouseButton button = type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton;
        QMouseEvent event(type, QPointF(local), QPointF(global), button, buttons, Qt::NoModifier);
        QApplication::sendEvent(&indicator, &event);
    }
    // Press at a client position, then move the cursor by (dx, dy) on the screen.
    void dragBy(QPoint local, int dx, int dy) {
        const QPoint start = indicator.windowRect().topLeft() + local;
        mouse(QEvent::MouseButtonPress, local);
        const QPoint target = start + QPoint(dx, dy);
        mouse(QEvent::MouseMove, target - indicator.windowRect().topLeft());
        mouse(QEvent::MouseButtonRelease, target - indicator.windowRect().topLeft(), Qt::NoButton);
    }

    CRegionIndicator indicator;
};

}  // namespace

TEST_F(RegionIndicatorTest, StartsHiddenAsAFramelessTopMostToolWindow) {
    EXPECT_FALSE(indicator.isVisible());
    EXPECT_TRUE(indicator.isWindow());
    const Qt::WindowFlags flags = indicator.windowFlags();
    EXPECT_TRUE(flags.testFlag(Qt::FramelessWindowHint));
    EXPECT_TRUE(flags.testFlag(Qt::WindowStaysOnTopHint));
    EXPECT_TRUE(flags.testFlag(Qt::Tool));
    EXPECT_TRUE(indicator.isEditable());
    EXPECT_FALSE(indicator.isBorderless());
}

TEST_F(RegionIndicatorTest, PlaceInCustomModeRestoresRectangleAndAspect) {
    QWidget owner;
    indicator.place(RegionRect{300, 200, 1300, 900}, &owner, false);  // 1000 x 700: 16:9
    EXPECT_EQ(indicator.ownerWindow(), &owner);
    EXPECT_TRUE(indicator.isAspect16x9());
    EXPECT_EQ(indicator.windowRect(), QRect(QPoint(293, 182), QPoint(1306, 768)));
    EXPECT_EQ(indicator.captureRect(), QRect(300, 200, 1000, 562));
    EXPECT_EQ(indicator.innerRect(), indicator.captureRect());
    EXPECT_TRUE(indicator.aspect16x9Button()->isSelected());
    EXPECT_FALSE(indicator.aspect4x3Button()->isSelected());
    EXPECT_FALSE(indicator.aspect4x3Button()->isHidden());
    EXPECT_EQ(indicator.modeDropDown()->selectedIndex(), CRegionIndicator::ITEM_CUSTOM);
    EXPECT_EQ(indicator.modeDropDown()->geometry(), QRect(1014 - 86, 18 + 5, 78, 24));
    EXPECT_EQ(indicator.mask(), CRegionGeometry::shape(1014, 587, false, true));

    const RegionRect saved = indicator.regionRectToSave();
    EXPECT_EQ(saved.left, 300);
    EXPECT_EQ(saved.bottom, 762);
}

TEST_F(RegionIndicatorTest, FullScreenCoversTheDesktopAndComesBackToTheCustomFrame) {
    indicator.place(RegionRect{300, 200, 1100, 800}, nullptr, true);
    EXPECT_TRUE(indicator.isBorderless());
    EXPECT_EQ(indicator.windowRect(), kDesktop);
    EXPECT_EQ(indicator.captureRect(), kDesktop);
    EXPECT_EQ(indicator.innerRect(), kDesktop.adjusted(5, 5, -5, -5));
    EXPECT_TRUE(indicator.aspect4x3Button()->isHidden());
    EXPECT_TRUE(indicator.aspect16x9Button()->isHidden());
    EXPECT_FALSE(indicator.modeDropDown()->isHidden());
    EXPECT_EQ(indicator.modeDropDown()->selectedIndex(), CRegionIndicator::ITEM_FULL_SCREEN);
    // Closing now saves the custom rectangle, not the screen.
    EXPECT_EQ(indicator.regionRectToSave().right, 1100);

    indicator.setFullScreen(false);
    EXPECT_FALSE(indicator.isBorderless());
    EXPECT_FALSE(indicator.isAspect16x9());
    EXPECT_EQ(indicator.captureRect(), QRect(300, 200, 800, 600));
    EXPECT_FALSE(indicator.aspect4x3Button()->isHidden());
    EXPECT_EQ(indicator.modeDropDown()->selectedIndex(), CRegionIndicator::ITEM_CUSTOM);

    // A frame moved before switching comes back where it was moved to.
    dragBy(QPoint(400, 300), 50, 40);
    EXPECT_EQ(indicator.captureRect(), QRect(350, 240, 800, 600));
    indicator.setFullScreen(true);
    EXPECT_EQ(indicator.windowRect(), kDesktop);
    indicator.setFullScreen(false);
    EXPECT_EQ(indicator.captureRect(), QRect(350, 240, 800, 600));
    // Switching to custom while custom changes nothing.
    indicator.setFullScreen(false);
    EXPECT_EQ(indicator.captureRect(), QRect(350, 240, 800, 600));
}

TEST_F(RegionIndicatorTest, AspectButtonsSwitchTheAspect) {
    indicator.place(RegionRect{500, 300, 900, 600}, nullptr, false);  // 400 x 300, 4:3
    ASSERT_FALSE(indicator.isAspect16x9());
    emit indicator.aspect16x9Button()->commanded(CRegionIndicator::ID_ASPECT_16X9);
    EXPECT_TRUE(indicator.isAspect16x9());
    EXPECT_EQ(indicator.captureRect().size(), QSize(533, 300));
    EXPECT_TRUE(indicator.aspect16x9Button()->isSelected());
    EXPECT_FALSE(indicator.aspect4x3Button()->isSelected());

    emit indicator.aspect4x3Button()->commanded(CRegionIndicator::ID_ASPECT_4X3);
    EXPECT_FALSE(indicator.isAspect16x9());
    EXPECT_EQ(indicator.captureRect().size(), QSize(480, 360));
    EXPECT_TRUE(indicator.aspect4x3Button()->isSelected());
}

TEST_F(RegionIndicatorTest, DropDownAsksForTheRecordType) {
    indicator.place(RegionRect{500, 300, 1300, 900}, nullptr, false);
    QSignalSpy spy(&indicator, &CRegionIndicator::recordTypeRequested);
    indicator.modeDropDown()->choose(CRegionIndicator::ITEM_FULL_SCREEN);
    ASSERT_EQ(spy.count(), 1);
    EXPECT_EQ(spy.at(0).at(0).toInt(), 0);
    // The owner did not switch: the caption still shows the mode in force.
    EXPECT_EQ(indicator.modeDropDown()->selectedIndex(), CRegionIndicator::ITEM_CUSTOM);
    indicator.modeDropDown()->choose(CRegionIndicator::ITEM_CUSTOM);
    ASSERT_EQ(spy.count(), 2);
    EXPECT_EQ(spy.at(1).at(0).toInt(), 1);
}

TEST_F(RegionIndicatorTest, HandlesResizeWhileEditableAndMoveWhileRecording) {
    indicator.place(RegionRect{300, 200, 1100, 800}, nullptr, false);  // window 814 x 625
    const QRect before = indicator.windowRect();

    // The bottom-right corner dragged sideways: the right side, 4:3 kept.
    dragBy(QPoint(810, 621), -100, 3);
    QRect inner = indicator.captureRect();
    EXPECT_EQ(indicator.windowRect().topLeft(), before.topLeft());
    EXPECT_EQ(indicator.windowRect().right() + 1, before.right() + 1 - 104);  // the right edge at the cursor
    EXPECT_EQ(inner.width(), 696);
    EXPECT_EQ(inner.height(), inner.width() * 3 / 4);
    EXPECT_EQ(indicator.mask(), CRegionGeometry::shape(indicator.width(), indicator.height(), false, true));

    // A drag below the smallest size is ignored.
    const QRect sized = indicator.windowRect();
    dragBy(QPoint(indicator.width() - 3, indicator.height() - 30), -400, 0);
    EXPECT_EQ(indicator.windowRect(), sized);

    // Recording: the same handle now moves the whole window.
    indicator.setRecording(true);
    EXPECT_FALSE(indicator.isEditable());
    EXPECT_TRUE(indicator.modeDropDown()->isHidden());
    EXPECT_TRUE(indicator.aspect4x3Button()->isHidden());
    EXPECT_EQ(indicator.mask(), CRegionGeometry::shape(indicator.width(), indicator.height(), false, false));
    dragBy(QPoint(indicator.width() - 3, indicator.height() - 3), -100, 3);
    EXPECT_EQ(indicator.windowRect(), sized.translated(-100, 3));

    indicator.setRecording(false);
    EXPECT_TRUE(indicator.isEditable());
    EXPECT_FALSE(indicator.modeDropDown()->isHidden());
}

TEST_F(RegionIndicatorTest, CursorShowsTheHandleUnderIt) {
    indicator.place(RegionRect{300, 200, 1100, 800}, nullptr, false);
    const auto shapeAt = [&](QPoint local) {
        mouse(QEvent::MouseMove, local, Qt::NoButton);
        return indicator.cursor().shape();
    };
    EXPECT_EQ(shapeAt(QPoint(30, 14)), Qt::SizeVerCursor);
    EXPECT_EQ(shapeAt(QPoint(3, 40)), Qt::SizeHorCursor);
    EXPECT_EQ(shapeAt(QPoint(3, 14)), Qt::SizeFDiagCursor);
    EXPECT_EQ(shapeAt(QPoint(810, 14)), Qt::SizeBDiagCursor);
    EXPECT_EQ(shapeAt(QPoint(400, 5)), Qt::SizeAllCursor);
    indicator.setFullScreen(true);
    EXPECT_EQ(shapeAt(QPoint(2, 2)), Qt::ArrowCursor);
}

TEST_F(RegionIndicatorTest, MovesWithoutTheButtonEndADragWhoseReleaseWasLost) {
    indicator.place(RegionRect{300, 200, 1100, 800}, nullptr, false);
    const QRect before = indicator.windowRect();
    mouse(QEvent::MouseButtonPress, QPoint(400, 300));
    mouse(QEvent::MouseMove, QPoint(410, 300), Qt::NoButton);
    EXPECT_EQ(indicator.windowRect(), before);
    mouse(QEvent::MouseMove, QPoint(420, 300));
    EXPECT_EQ(indicator.windowRect(), before);
}

TEST_F(RegionIndicatorTest, FullScreenOutlineDoesNotMove) {
    indicator.place(RegionRect{}, nullptr, true);
    dragBy(QPoint(2, 500), 100, 100);
    EXPECT_EQ(indicator.windowRect(), kDesktop);
}

int main(int argc, char** argv) {
    // Test discovery runs the program without the test's environment.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

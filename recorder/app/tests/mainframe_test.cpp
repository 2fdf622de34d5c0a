// Where the bar is placed, and the switch confirmation dialog as the bar
// shows it (no control of the bar opens it yet, so its picture is taken
// here rather than in the end-to-end tests).
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>

#include "dlgcomfirmswitch.h"
#include "languagetable.h"
#include "mainframe.h"

TEST(MainFramePlacement, InitialRectangleIsCentredAsIf420WideAndNeverLeavesTheWorkArea) {
    EXPECT_EQ(CMainFrame::initialRect(QRect(0, 0, 1280, 720)), QRect(430, 0, 420, 40));
    // Narrower than 420: at x = 0.
    EXPECT_EQ(CMainFrame::initialRect(QRect(0, 0, 400, 300)), QRect(0, 0, 420, 40));
    EXPECT_EQ(CMainFrame::initialRect(QRect(0, 0, 419, 300)).x(), 0);
    // A work area below a top panel starts there; a negative top becomes 0.
    EXPECT_EQ(CMainFrame::initialRect(QRect(0, 32, 1280, 688)).y(), 32);
    EXPECT_EQ(CMainFrame::initialRect(QRect(0, -20, 1280, 720)).y(), 0);
}

TEST(MainFramePlacement, DefaultPositionIsCentredAtY10OnTheWorkAreasScreen) {
    EXPECT_EQ(CMainFrame::defaultBarPosition(QRect(0, 0, 1920, 1040)), QPoint(750, 10));
    EXPECT_EQ(CMainFrame::defaultBarPosition(QRect(0, 0, 400, 300)), QPoint(0, 10));
    // A work area on a monitor right of the first one.
    EXPECT_EQ(CMainFrame::defaultBarPosition(QRect(1920, 0, 1280, 720)), QPoint(2350, 10));
}

TEST(MainFrameDialogs, SwitchConfirmationScreenshot) {
    int argc = 1;
    char name[] = "recorderapp_tests";
    char* argv[] = {name, nullptr};
    QApplication app(argc, argv);
    CLanguageTable::instance().load(2, TOLVANE_LANGUAGE_XML);
    CDlgComfirmSwitch dialog(nullptr);
    dialog.show();
    QApplication::processEvents();
    ASSERT_TRUE(QDir().mkpath(TOLVANE_SCREENSHOTS));
    EXPECT_TRUE(dialog.grab().save(QStringLiteral(TOLVANE_SCREENSHOTS "/dialog-switch-confirm.png")));
    dialog.hide();
}

#include <gtest/gtest.h>

#include <set>

#include "dockhost.h"
#include "dockslide.h"

namespace {

struct FakeDockHost : IDockHost {
    int top = 10;
    bool inside = false;
    int cursor = 300;
    int fullShows = 0;
    std::set<int> timers;
    int barTop() override { return top; }
    bool cursorInBar() override { return inside; }
    int cursorY() override { return cursor; }
    void moveBarTop(int y) override { top = y; }
    void showBarFully() override {
        ++fullShows;
        top = 0;
    }
    void startTimer(int id, int) override { timers.insert(id); }
    void stopTimer(int id) override { timers.erase(id); }
    void debugLog(const char*) override {}
};

}  // namespace

TEST(DockSlide, StepPositions) {
    EXPECT_EQ(CDockSlide::stepTop(10), 0);
    EXPECT_EQ(CDockSlide::stepTop(9), -4);
    EXPECT_EQ(CDockSlide::stepTop(2), -32);
    EXPECT_EQ(CDockSlide::stepTop(1), -39) << "one pixel row stays visible";
}

TEST(DockSlide, DockedBarSlidesUpAndComesBackUnderTheCursor) {
    FakeDockHost host;
    CDockSlide dock(host);
    host.top = 0;
    dock.onMoved();
    EXPECT_TRUE(dock.isDocked());
    dock.onHitTest();
    EXPECT_TRUE(dock.isLeaveWatch());
    EXPECT_TRUE(host.timers.count(IDockHost::TIMER_SLIDE));
    std::vector<int> tops;
    for (int i = 0; i < 12; ++i) {
        dock.onTimer(IDockHost::TIMER_SLIDE);
        tops.push_back(host.top);
    }
    EXPECT_EQ(tops.front(), 0);
    EXPECT_EQ(tops[9], -39);
    EXPECT_EQ(tops.back(), -39);
    EXPECT_TRUE(dock.isSlideDone());

    // The cursor reaches the visible row: the bar shows fully.
    host.inside = true;
    dock.onTimer(IDockHost::TIMER_SLIDE);
    EXPECT_TRUE(dock.isHovering());
    EXPECT_EQ(host.top, 0);
    EXPECT_EQ(dock.slideStep(), 10);
    // It leaves again: sliding starts over.
    host.inside = false;
    dock.onTimer(IDockHost::TIMER_SLIDE);
    EXPECT_FALSE(dock.isHovering());
    EXPECT_TRUE(dock.isDocked());
    EXPECT_FALSE(dock.isSlideDone());
    dock.onTimer(IDockHost::TIMER_LEAVE_WATCH);
    EXPECT_FALSE(dock.isLeaveWatch());
    EXPECT_FALSE(host.timers.count(IDockHost::TIMER_LEAVE_WATCH));
}

TEST(DockSlide, BarAwayFromTheEdgeStaysAndTheStartHideTimerDocksIt) {
    FakeDockHost host;
    CDockSlide dock(host);
    host.top = 200;
    dock.onMoved();
    EXPECT_FALSE(dock.isDocked());
    dock.onHitTest();
    EXPECT_FALSE(dock.isLeaveWatch());
    dock.onTimer(IDockHost::TIMER_SLIDE);
    EXPECT_EQ(host.top, 200);

    host.top = 0;
    dock.startHideLater();
    EXPECT_TRUE(dock.isStartHidePending());
    dock.onTimer(IDockHost::TIMER_START_HIDE);
    EXPECT_FALSE(dock.isStartHidePending());
    EXPECT_TRUE(dock.isDocked());
    EXPECT_TRUE(dock.isSlideEnabled());
    EXPECT_FALSE(host.timers.count(IDockHost::TIMER_START_HIDE));
    dock.onTimer(IDockHost::TIMER_SLIDE);
    dock.onTimer(IDockHost::TIMER_SLIDE);
    EXPECT_EQ(host.top, -4);
}

// IDockHost: what the dock-and-slide logic asks of the bar's window.
#pragma once

class IDockHost {
public:
    enum { TIMER_LEAVE_WATCH = 252, TIMER_SLIDE = 255, TIMER_START_HIDE = 256 };

    virtual int barTop() = 0;
    // The cursor lies inside the bar's window rectangle.
    virtual bool cursorInBar() = 0;
    virtual int cursorY() = 0;
    // Moves the bar's top edge to y, x unchanged.
    virtual void moveBarTop(int y) = 0;
    // Moves the bar to y = 0 and gives it its full width for the state.
    virtual void showBarFully() = 0;
    virtual void startTimer(int id, int periodMs) = 0;
    virtual void stopTimer(int id) = 0;
    virtual void debugLog(const char* text) = 0;

protected:
    ~IDockHost() = default;
};

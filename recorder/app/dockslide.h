// CDockSlide: the bar hides at the top edge of the screen like a drawer.
// Docked, it slides up in steps of 4 pixels (timer 255) until one pixel
// row is left; the cursor coming back shows it fully again. Timer 252 ends
// the watch for the cursor leaving, timer 256 hides the bar a while after
// it was shown.
#pragma once

class IDockHost;

class CDockSlide {
public:
    static constexpr int kSlideStepTop = 10;
    enum { SLIDE_PERIOD_MS = 100, LEAVE_WATCH_PERIOD_MS = 500, START_HIDE_DELAY_MS = 3000 };

    explicit CDockSlide(IDockHost& host) : m_host(host) {}

    // The bar's top edge at slide step n: n x 4 - 40, step 1 leaves one row.
    static int stepTop(int step);

    // The bar moved (its top is barTop()).
    void onMoved();
    // Mouse entered / moved over the bar; left it.
    void onMouseMove();
    void onMouseLeave() { m_bHovering = false; }
    // The window system asks where the cursor is (the whole bar drags).
    void onHitTest();
    void onTimer(int id);
    // After window creation: sliding off; a docked bar goes to step 10.
    void resetToTop();
    // Tray double-click restored a bar at y = 0: hide it again later.
    void startHideLater();

    bool isDocked() const { return m_bDocked; }
    bool isHovering() const { return m_bHovering; }
    bool isSlideDone() const { return m_bSlideDone; }
    bool isSlideEnabled() const { return m_bSlideEnabled; }
    bool isLeaveWatch() const { return m_bLeaveWatch; }
    bool isStartHidePending() const { return m_bStartHidePending; }
    int slideStep() const { return m_nSlideStep; }

private:
    void showFully();
    void startSliding();
    void onSlideTimer();
    void onLeaveWatchTimer();

    IDockHost& m_host;
    bool m_bDocked = false;
    bool m_bHovering = false;
    int m_nSlideStep = kSlideStepTop;
    bool m_bSlideDone = false;
    bool m_bSlideEnabled = false;
    bool m_bLeaveWatch = false;
    bool m_bStartHidePending = false;
};

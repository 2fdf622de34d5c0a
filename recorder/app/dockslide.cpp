#include "dockslide.h"

#include "dockhost.h"

int CDockSlide::stepTop(int step) {
    return step == 1 ? -39 : step * 4 - 40;
}

void CDockSlide::showFully() {
    m_nSlideStep = kSlideStepTop;
    m_host.showBarFully();
}

void CDockSlide::onMoved() {
    if (m_host.barTop() < 10 || m_host.cursorY() < 16) {
        m_bDocked = true;
        m_host.stopTimer(IDockHost::TIMER_START_HIDE);
    } else {
        m_bDocked = false;
    }
    if (m_bStartHidePending) {
        m_bStartHidePending = false;
        m_host.stopTimer(IDockHost::TIMER_START_HIDE);
    }
}

void CDockSlide::onMouseMove() {
    if (m_bHovering) return;
    m_bHovering = true;
    showFully();
}

void CDockSlide::startSliding() {
    m_bSlideEnabled = true;
    m_host.startTimer(IDockHost::TIMER_SLIDE, SLIDE_PERIOD_MS);
    m_host.stopTimer(IDockHost::TIMER_LEAVE_WATCH);
    m_host.startTimer(IDockHost::TIMER_LEAVE_WATCH, LEAVE_WATCH_PERIOD_MS);
    m_bLeaveWatch = true;
    m_bSlideDone = false;
}

void CDockSlide::onHitTest() {
    if (!m_bDocked || m_bLeaveWatch) return;
    m_host.debugLog("OnNcHitTest kill 3s自动隐藏");
    m_host.stopTimer(IDockHost::TIMER_START_HIDE);
    m_host.stopTimer(IDockHost::TIMER_SLIDE);
    startSliding();
}

void CDockSlide::onSlideTimer() {
    if (m_bSlideEnabled && !m_bHovering && m_bDocked && !m_bSlideDone) {
        if (m_nSlideStep > 0) {
            m_host.moveBarTop(stepTop(m_nSlideStep));
            --m_nSlideStep;
        } else {
            m_bSlideDone = true;
        }
    }
    const bool inside = m_host.cursorInBar();
    if (m_bHovering) {
        if (!inside) {
            m_bHovering = false;
            m_bDocked = m_host.barTop() <= 10;
            m_bSlideDone = false;
        }
    } else if (inside) {
        m_bHovering = true;
        if (m_host.barTop() <= 10) showFully();
    }
}

void CDockSlide::onLeaveWatchTimer() {
    if (m_host.cursorInBar()) return;
    m_host.debugLog("TIMER_ID_FLOAT3 消息结束\n");
    m_host.stopTimer(IDockHost::TIMER_LEAVE_WATCH);
    m_bLeaveWatch = false;
}

void CDockSlide::onTimer(int id) {
    switch (id) {
        case IDockHost::TIMER_SLIDE: onSlideTimer(); break;
        case IDockHost::TIMER_LEAVE_WATCH: onLeaveWatchTimer(); break;
        case IDockHost::TIMER_START_HIDE:
            m_host.stopTimer(IDockHost::TIMER_START_HIDE);
            m_bStartHidePending = false;
            m_host.debugLog("初始状态定时3s开始隐藏");
            m_bDocked = true;
            startSliding();
            break;
        default: break;
    }
}

void CDockSlide::resetToTop() {
    m_host.stopTimer(IDockHost::TIMER_SLIDE);
    m_bSlideEnabled = false;
    m_nSlideStep = kSlideStepTop;
    if (m_bDocked) m_host.moveBarTop(stepTop(kSlideStepTop));
}

void CDockSlide::startHideLater() {
    m_bStartHidePending = true;
    m_host.startTimer(IDockHost::TIMER_START_HIDE, START_HIDE_DELAY_MS);
}

// What the update tests share: pumping the Qt event loop until something
// happened, and a watch on the GUI thread that measures its longest stall
// (the largest gap between the ticks of a 10 ms timer).
#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <chrono>
#include <functional>
#include <thread>

// The longest the update check may hold the GUI thread in one step.
constexpr double kMaxGuiStepMs = 100;
// The longest gap between event-loop ticks a test accepts: far below the
// transfers' time limits (a blocking check would stall for all of them),
// above what a loaded machine or a sanitizer adds to an idle event loop.
constexpr qint64 kMaxTickGapMs = 1000;

// Runs the event loop until done() or the time is up; done()'s last value.
inline bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeout.count()) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

class CGuiStallWatch {
public:
    CGuiStallWatch() {
        m_clock.start();
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            const qint64 now = m_clock.elapsed();
            if (now - m_nLast > m_nLongest) m_nLongest = now - m_nLast;
            m_nLast = now;
        });
        m_timer.start(10);
    }
    // The longest gap between two ticks, in milliseconds.
    qint64 longestMs() const { return m_nLongest; }

private:
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_nLast = 0;
    qint64 m_nLongest = 0;
};

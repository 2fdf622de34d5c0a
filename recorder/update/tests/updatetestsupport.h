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

// The longest the GUI thread may go without running its events while the
// update check works: 100 ms; ThreadSanitizer slows the event loop itself
// several times over.
#if defined(__SANITIZE_THREAD__)
constexpr qint64 kMaxGuiStallMs = 300;
#else
constexpr qint64 kMaxGuiStallMs = 100;
#endif

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

#include "frameclock.h"

CFrameClock::CFrameClock(std::uint64_t startMs, int fps)
    : m_nStartMs(startMs), m_nFps(fps > 0 ? static_cast<std::uint64_t>(fps) : 1) {}

std::uint64_t CFrameClock::TimeOf(std::uint64_t n) const { return m_nStartMs + n * 1000 / m_nFps; }

std::uint64_t CFrameClock::LatestDue(std::uint64_t nowMs) const {
    std::uint64_t n = (nowMs - m_nStartMs) * m_nFps / 1000;
    while (TimeOf(n + 1) <= nowMs) ++n;
    while (n > 0 && TimeOf(n) > nowMs) --n;
    return n;
}

bool CFrameClock::Take(std::uint64_t nowMs, std::uint64_t& index, std::uint64_t& skipped) {
    if (nowMs < NextDueMs()) return false;
    index = LatestDue(nowMs);
    skipped = index - m_nNext;
    m_nNext = index + 1;
    return true;
}

void CFrameClock::SkipTo(std::uint64_t nowMs) {
    // The picture due at nowMs stays to be taken.
    if (nowMs >= NextDueMs()) m_nNext = LatestDue(nowMs);
}

void CFrameClock::ResumeAt(std::uint64_t resumeMs) {
    SkipTo(resumeMs);
    if (NextDueMs() < resumeMs) ++m_nNext;
}

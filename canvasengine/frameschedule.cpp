#include "frameschedule.h"

#include <algorithm>
#include <cmath>

void CFrameSchedule::Reset(std::uint64_t startMs, double fps) {
    m_nStartMs = startMs;
    m_dFps = fps;
    m_dPeriodMs = 1000.0 / fps;
}

std::uint64_t CFrameSchedule::DueTime(std::int64_t slot) const {
    return m_nStartMs + static_cast<std::uint64_t>(std::floor(static_cast<double>(slot) * 1000.0 / m_dFps));
}

bool CFrameSchedule::IsMissed(std::int64_t slot, std::uint64_t nowMs) const {
    return static_cast<double>(nowMs) > static_cast<double>(DueTime(slot)) + m_dPeriodMs / 2;
}

std::int64_t CFrameSchedule::FirstOnTimeSlot(std::int64_t slot, std::uint64_t nowMs) const {
    if (!IsMissed(slot, nowMs)) return slot;
    const double elapsed = static_cast<double>(nowMs - m_nStartMs) - m_dPeriodMs / 2;
    std::int64_t next = std::max<std::int64_t>(slot, static_cast<std::int64_t>(std::ceil(elapsed / m_dPeriodMs)));
    while (IsMissed(next, nowMs)) ++next;
    return next;
}

// CFrameSchedule: the picture times of a canvas on the engine clock. Slot n
// is due at start + floor(n x 1000 / fps) ms, computed from the start every
// time so that rounding never accumulates (15 fps stays exact over hours).
#pragma once

#include <cstdint>

class CFrameSchedule {
public:
    void Reset(std::uint64_t startMs, double fps);
    std::uint64_t DueTime(std::int64_t slot) const;
    double GetPeriodMs() const { return m_dPeriodMs; }
    // The first slot from `slot` on that is not more than half a period
    // late at `nowMs`: a late wake-up or a slow picture skips the slots it
    // missed instead of producing them in a burst, and no picture is ever
    // produced more than half a period after its time.
    std::int64_t FirstOnTimeSlot(std::int64_t slot, std::uint64_t nowMs) const;

private:
    bool IsMissed(std::int64_t slot, std::uint64_t nowMs) const;

    std::uint64_t m_nStartMs = 0;
    double m_dFps = 15.0;
    double m_dPeriodMs = 1000.0 / 15.0;
};

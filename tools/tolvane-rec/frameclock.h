// CFrameClock: the picture grid of a recording on the engine clock. Picture
// n is due at start + n * 1000 / fps milliseconds (computed from the start
// each time, so the grid never drifts). A caller that comes late takes the
// latest due picture and skips the ones it missed, instead of pushing a
// bunch of them at once.
#pragma once

#include <cstdint>

class CFrameClock {
public:
    CFrameClock(std::uint64_t startMs, int fps);

    // The time picture n is due.
    std::uint64_t TimeOf(std::uint64_t n) const;
    // The time of the next picture not taken yet.
    std::uint64_t NextDueMs() const { return TimeOf(m_nNext); }
    // True when a picture is due at nowMs: `index` is the latest due one and
    // `skipped` the number of due pictures passed over since the last take.
    bool Take(std::uint64_t nowMs, std::uint64_t& index, std::uint64_t& skipped);
    // Moves the grid on to nowMs without counting what is passed over (a
    // pause produces no pictures); the picture due at nowMs is the next.
    void SkipTo(std::uint64_t nowMs);
    // After a resume at resumeMs: the first picture due at or after it is
    // the next (one due earlier would be stamped inside the pause, which the
    // engine leaves out).
    void ResumeAt(std::uint64_t resumeMs);

private:
    // The latest picture due at nowMs (nowMs >= start).
    std::uint64_t LatestDue(std::uint64_t nowMs) const;

    std::uint64_t m_nStartMs;
    std::uint64_t m_nFps;
    std::uint64_t m_nNext = 0;
};

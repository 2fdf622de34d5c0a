// CTimeValueWrapper: a time value of 64-bit seconds and microseconds. Every
// constructor and arithmetic operation normalizes, so that the microseconds
// lie in [0, 1000000) (negative values carry a negative second count).
#pragma once

#include <compare>
#include <cstdint>

class CTimeValueWrapper {
public:
    CTimeValueWrapper() = default;
    CTimeValueWrapper(std::int64_t sec, std::int64_t usec) : m_lSec(sec), m_lUsec(usec) { Normalize(); }
    static CTimeValueWrapper FromMilliseconds(std::int64_t ms) { return {ms / 1000, (ms % 1000) * 1000}; }
    // The current wall-clock time.
    static CTimeValueWrapper GetTimeOfDay();

    void Set(std::int64_t sec, std::int64_t usec) {
        m_lSec = sec;
        m_lUsec = usec;
        Normalize();
    }
    std::int64_t GetSec() const { return m_lSec; }
    std::int64_t GetUsec() const { return m_lUsec; }
    // seconds x 1000 + microseconds / 1000
    std::int64_t GetTotalInMsec() const { return m_lSec * 1000 + m_lUsec / 1000; }

    void Normalize();

    CTimeValueWrapper& operator+=(const CTimeValueWrapper& o) {
        m_lSec += o.m_lSec;
        m_lUsec += o.m_lUsec;
        Normalize();
        return *this;
    }
    CTimeValueWrapper& operator-=(const CTimeValueWrapper& o) {
        m_lSec -= o.m_lSec;
        m_lUsec -= o.m_lUsec;
        Normalize();
        return *this;
    }
    friend CTimeValueWrapper operator+(CTimeValueWrapper a, const CTimeValueWrapper& b) { return a += b; }
    friend CTimeValueWrapper operator-(CTimeValueWrapper a, const CTimeValueWrapper& b) { return a -= b; }
    friend bool operator==(const CTimeValueWrapper& a, const CTimeValueWrapper& b) {
        return a.m_lSec == b.m_lSec && a.m_lUsec == b.m_lUsec;
    }
    friend auto operator<=>(const CTimeValueWrapper& a, const CTimeValueWrapper& b) {
        if (auto c = a.m_lSec <=> b.m_lSec; c != 0) return c;
        return a.m_lUsec <=> b.m_lUsec;
    }

private:
    std::int64_t m_lSec = 0;
    std::int64_t m_lUsec = 0;
};

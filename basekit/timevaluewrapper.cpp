#include "basekit/timevaluewrapper.h"

#include <sys/time.h>

namespace {
constexpr std::int64_t kUsecPerSec = 1000000;
}

void CTimeValueWrapper::Normalize() {
    // Carry whole seconds out of the microseconds first, then make the
    // remainder non-negative by borrowing one second.
    m_lSec += m_lUsec / kUsecPerSec;
    m_lUsec %= kUsecPerSec;
    if (m_lUsec < 0) {
        m_lUsec += kUsecPerSec;
        --m_lSec;
    }
}

CTimeValueWrapper CTimeValueWrapper::GetTimeOfDay() {
    timeval tv{};
    gettimeofday(&tv, nullptr);
    return {static_cast<std::int64_t>(tv.tv_sec), static_cast<std::int64_t>(tv.tv_usec)};
}

#include "basekit/eventwrapper.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <exception>

#include "basekit/logwrapper.h"

namespace {
// Time-outs are capped (about 35 years) so that the deadline on the steady
// clock cannot overflow.
constexpr long long kMaxTimeoutMs = 1LL << 40;
constexpr int kNotReleased = -1;
}  // namespace

// One waiting thread. The events it waits on hand themselves to it with
// Release(); the first release (or the time-out) decides the result. Events
// call Release() while holding their own mutex, and a waiter leaves only after
// it has removed itself from every event under that event's mutex, so an
// event never touches a waiter that is gone.
struct CEventWrapper::Waiter {
    std::mutex m_mutex;
    std::condition_variable m_cond;
    int m_nResult = kNotReleased;
    CEventWrapper* m_pEvents[2] = {nullptr, nullptr};
    int m_nRegistered = 0;  // events [0, m_nRegistered) list this waiter

    Waiter() = default;
    Waiter(const Waiter&) = delete;
    Waiter& operator=(const Waiter&) = delete;
    ~Waiter() {
        for (int i = 0; i < m_nRegistered; ++i) m_pEvents[i]->RemoveWaiter(this);
    }

    // Hands event `index` to this waiter; false when it was already released
    // or has timed out.
    bool Release(int index) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_nResult != kNotReleased) return false;
        m_nResult = index;
        m_cond.notify_one();
        return true;
    }

    bool Released() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_nResult != kNotReleased;
    }

    int IndexOf(const CEventWrapper* e) const { return m_pEvents[0] == e ? 0 : 1; }

    // Blocks until released or until the time-out; the result either way.
    int Await(long long timeoutMs) {
        std::unique_lock<std::mutex> lock(m_mutex);
        auto released = [this] { return m_nResult != kNotReleased; };
        if (timeoutMs < 0) {
            m_cond.wait(lock, released);
        } else {
            auto deadline = std::chrono::steady_clock::now() +
                            std::chrono::milliseconds(std::min(timeoutMs, kMaxTimeoutMs));
            if (!m_cond.wait_until(lock, deadline, released)) m_nResult = EVENT_TIMEOUT;
        }
        return m_nResult;
    }
};

CEventWrapper::CEventWrapper(bool manualReset, bool initialState)
    : m_bManualReset(manualReset), m_bSignaled(initialState) {}

CEventWrapper::~CEventWrapper() {
    std::lock_guard<std::mutex> lock(m_mutex);
    UC_ASSERTE(m_waiters.empty());
}

bool CEventWrapper::TryTakeLocked() {
    if (!m_bSignaled) return false;
    if (!m_bManualReset) m_bSignaled = false;
    return true;
}

bool CEventWrapper::ReleaseWaitersLocked(bool all) {
    bool any = false;
    for (Waiter* w : m_waiters) {
        if (w->Release(w->IndexOf(this))) {
            any = true;
            if (!all) break;
        }
    }
    return any;
}

void CEventWrapper::AddWaiterLocked(Waiter* w) {
    m_waiters.push_back(w);
}

void CEventWrapper::RemoveWaiter(Waiter* w) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = std::find(m_waiters.begin(), m_waiters.end(), w);
    if (it != m_waiters.end()) m_waiters.erase(it);
}

int CEventWrapper::WaitForAny(CEventWrapper* const* events, int count, long long timeoutMs) {
    Waiter w;
    for (int i = 0; i < count; ++i) w.m_pEvents[i] = events[i];
    // Look at the events in order: one that is set already is taken at once
    // (the earlier one wins), otherwise the waiter stays registered on it so
    // that no signal given from here on can be missed.
    for (int i = 0; i < count && !w.Released(); ++i) {
        CEventWrapper* e = events[i];
        std::lock_guard<std::mutex> lock(e->m_mutex);
        if (e->m_bSignaled) {
            if (w.Release(i)) e->TryTakeLocked();
            break;
        }
        e->AddWaiterLocked(&w);
        ++w.m_nRegistered;
    }
    return w.Await(timeoutMs);
}

int CEventWrapper::Wait() {
    try {
        CEventWrapper* self = this;
        return WaitForAny(&self, 1, -1) == 0 ? EVENT_OK : EVENT_FAILED;
    } catch (const std::exception&) {
        return EVENT_FAILED;
    }
}

int CEventWrapper::TimedWait(const CTimeValueWrapper& timeout) {
    try {
        CEventWrapper* self = this;
        int rv = WaitForAny(&self, 1, std::max<long long>(0, timeout.GetTotalInMsec()));
        return rv == 0 ? EVENT_OK : EVENT_TIMEOUT;
    } catch (const std::exception&) {
        return EVENT_FAILED;
    }
}

int CEventWrapper::Signal() {
    try {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_bManualReset) {
            m_bSignaled = true;
            ReleaseWaitersLocked(true);
        } else if (!ReleaseWaitersLocked(false)) {
            m_bSignaled = true;  // kept for the next thread that waits
        }
        return EVENT_OK;
    } catch (const std::exception&) {
        return EVENT_FAILED;
    }
}

int CEventWrapper::Pulse() {
    try {
        std::lock_guard<std::mutex> lock(m_mutex);
        ReleaseWaitersLocked(m_bManualReset);
        m_bSignaled = false;
        return EVENT_OK;
    } catch (const std::exception&) {
        return EVENT_FAILED;
    }
}

int CEventWrapper::Reset() {
    try {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bSignaled = false;
        return EVENT_OK;
    } catch (const std::exception&) {
        return EVENT_FAILED;
    }
}

bool CEventWrapper::IsSignaled() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_bSignaled;
}

int CEventWrapper::WaitForTwo(CEventWrapper& first, CEventWrapper& second, const CTimeValueWrapper* timeout) {
    try {
        CEventWrapper* events[2] = {&first, &second};
        int count = &first == &second ? 1 : 2;
        long long ms = timeout ? std::max<long long>(0, timeout->GetTotalInMsec()) : -1;
        return WaitForAny(events, count, ms);
    } catch (const std::exception&) {
        return EVENT_FAILED;
    }
}

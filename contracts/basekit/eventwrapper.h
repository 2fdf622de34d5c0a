// CEventWrapper: an event object with manual- or auto-reset semantics.
// Wait, Signal, Pulse and Reset return 0, or 10001 on failure; TimedWait
// returns 10014 on time-out. WaitForTwo waits for either of two events and
// reports the first one when both are set (the engine passes its stop event
// first).
#pragma once

#include <condition_variable>
#include <mutex>
#include <vector>

#include "basekit/timevaluewrapper.h"

class CEventWrapper {
public:
    enum { EVENT_OK = 0, EVENT_FAILED = 10001, EVENT_TIMEOUT = 10014 };

    explicit CEventWrapper(bool manualReset = false, bool initialState = false);
    ~CEventWrapper();
    CEventWrapper(const CEventWrapper&) = delete;
    CEventWrapper& operator=(const CEventWrapper&) = delete;

    int Wait();
    // Waits seconds x 1000 + microseconds / 1000 milliseconds.
    int TimedWait(const CTimeValueWrapper& timeout);
    // Sets the event: a manual-reset event stays set until Reset(); an
    // auto-reset one releases one waiter (or the next one to come) and clears.
    int Signal();
    // Releases the threads waiting now (one for auto-reset) and leaves the event clear.
    int Pulse();
    int Reset();
    bool IsSignaled() const;

    // 0 when `first` was set, 1 when `second` was, EVENT_TIMEOUT on time-out
    // (timeout null: wait without limit). An auto-reset event that is
    // reported is consumed; the other is left as it is.
    static int WaitForTwo(CEventWrapper& first, CEventWrapper& second,
                          const CTimeValueWrapper* timeout = nullptr);

private:
    struct Waiter;
    bool TryConsumeLocked();
    bool TryConsume();
    void AddWaiter(Waiter* w);
    void RemoveWaiter(Waiter* w);
    void WakeWaitersLocked();

    mutable std::mutex m_mutex;
    std::condition_variable m_cond;
    std::vector<Waiter*> m_waiters;  // threads in WaitForTwo on this event
    const bool m_bManualReset;
    bool m_bSignaled;
    unsigned long m_nPulseGeneration = 0;
    unsigned m_nPendingPulseWakeups = 0;  // auto-reset Pulse: one waiter to release
    int m_nWaiting = 0;
};

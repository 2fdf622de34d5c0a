// CEventWrapper: an event object with manual- or auto-reset semantics.
// Wait, Signal, Pulse and Reset return 0, or UC_ERR_BAD_DATA on failure; TimedWait
// returns UC_ERR_TIMEOUT on time-out. WaitForTwo waits for either of two events and
// reports the first one when both are set (the engine passes its stop event
// first).
#pragma once

#include <mutex>
#include <vector>

#include "basekit/timevaluewrapper.h"
#include "basekit/resultcodes.h"

class CEventWrapper {
public:
    enum { EVENT_OK = 0, EVENT_FAILED = UC_ERR_BAD_DATA, EVENT_TIMEOUT = UC_ERR_TIMEOUT };

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
    // Waits on `count` events (1 or 2); the index of the one reported, or
    // EVENT_TIMEOUT. timeoutMs < 0 waits without limit.
    static int WaitForAny(CEventWrapper* const* events, int count, long long timeoutMs);
    // Under m_mutex: takes the set state when there is one (auto-reset clears it).
    bool TryTakeLocked();
    // Under m_mutex: hands the event to waiting threads, to all of them or to
    // the first that is still free; true when at least one took it.
    bool ReleaseWaitersLocked(bool all);
    void AddWaiterLocked(Waiter* w);
    void RemoveWaiter(Waiter* w);

    mutable std::mutex m_mutex;
    std::vector<Waiter*> m_waiters;  // threads waiting on this event, oldest first
    const bool m_bManualReset;
    bool m_bSignaled;
};

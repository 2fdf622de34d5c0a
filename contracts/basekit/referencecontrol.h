// CReferenceControlT: a reference-count base. AddReference() returns the new
// count; ReleaseReference() at 0 logs a warning and returns 0, otherwise
// decrements and, on reaching 0, calls OnReferenceDestory(), which deletes the
// object. The single-thread policy counts with a plain integer, the mutex
// policy with an atomic one.
#pragma once

#include <atomic>

#include "basekit/logwrapper.h"

class CSingleThreadMutexWrapper {
public:
    using Counter = unsigned;
    static unsigned Load(const Counter& c) { return c; }
    static unsigned Increment(Counter& c) { return ++c; }
    static unsigned Decrement(Counter& c) { return --c; }
};

class CMutexWrapper {
public:
    using Counter = std::atomic<unsigned>;
    static unsigned Load(const Counter& c) { return c.load(std::memory_order_acquire); }
    static unsigned Increment(Counter& c) { return c.fetch_add(1, std::memory_order_relaxed) + 1; }
    static unsigned Decrement(Counter& c) { return c.fetch_sub(1, std::memory_order_acq_rel) - 1; }
};

template <class MutexPolicy>
class CReferenceControlT {
public:
    CReferenceControlT() = default;
    virtual ~CReferenceControlT() = default;
    CReferenceControlT(const CReferenceControlT&) = delete;
    CReferenceControlT& operator=(const CReferenceControlT&) = delete;

    unsigned AddReference() { return MutexPolicy::Increment(m_nReference); }

    unsigned ReleaseReference() {
        if (MutexPolicy::Load(m_nReference) == 0) {
            UC_LOG_THIS(CLogWrapper::LOG_WARNING,
                        "ReleaseReference,wrong value=" << MutexPolicy::Load(m_nReference));
            return 0;
        }
        unsigned n = MutexPolicy::Decrement(m_nReference);
        if (n == 0) OnReferenceDestory();
        return n;
    }

    unsigned GetReference() const { return MutexPolicy::Load(m_nReference); }

protected:
    virtual void OnReferenceDestory() { delete this; }

private:
    typename MutexPolicy::Counter m_nReference{0};
};

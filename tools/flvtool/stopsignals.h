// CStopSignals: blocks SIGINT and SIGTERM in the calling thread for its
// lifetime, so that they wait for WaitForStop instead of ending the process
// (the follow modes of flvtool stop on them and finish their work).
#pragma once

#include <signal.h>

class CStopSignals {
public:
    CStopSignals();
    ~CStopSignals();
    CStopSignals(const CStopSignals&) = delete;
    CStopSignals& operator=(const CStopSignals&) = delete;

    // Waits up to ms for SIGINT or SIGTERM; true when one came.
    bool WaitForStop(unsigned ms) const;

private:
    sigset_t m_set;
    sigset_t m_old;
};

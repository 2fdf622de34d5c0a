#include "stopsignals.h"

#include <pthread.h>

#include <ctime>

CStopSignals::CStopSignals() {
    sigemptyset(&m_set);
    sigaddset(&m_set, SIGINT);
    sigaddset(&m_set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &m_set, &m_old);
}

CStopSignals::~CStopSignals() { pthread_sigmask(SIG_SETMASK, &m_old, nullptr); }

bool CStopSignals::WaitForStop(unsigned ms) const {
    timespec wait{};
    wait.tv_sec = ms / 1000;
    wait.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
    return ::sigtimedwait(&m_set, nullptr, &wait) > 0;
}

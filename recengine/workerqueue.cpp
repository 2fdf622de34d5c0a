#include "workerqueue.h"

#include <pthread.h>

#include <system_error>
#include <utility>

CWorkerQueue::~CWorkerQueue() { Stop(); }

CWorkerQueue::StartResult CWorkerQueue::StartThread(std::function<void()> body, const char* name) {
    std::lock_guard<std::mutex> lock(m_Lock);
    if (m_Thread.joinable()) return START_RUNNING;
    try {
        m_Thread = std::thread(std::move(body));
    } catch (const std::system_error&) {
        return START_FAILED;
    }
    if (name) pthread_setname_np(m_Thread.native_handle(), name);  // a name too long stays unset
    return START_OK;
}

bool CWorkerQueue::IsRunning() const {
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_Thread.joinable();
}

void CWorkerQueue::Push(MediaPacket packet) {
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        m_Queue.push_back(std::move(packet));
    }
    // Signalled after the lock is let go: the woken thread's TakeAll takes
    // it at once. A thread that took the packet before this signal only
    // finds the queue empty on its next wake-up.
    m_DataEvent.Signal();
}

CWorkerQueue::Wake CWorkerQueue::Wait(const CTimeValueWrapper* timeout) {
    // The stop event comes first, so it wins when both are set.
    int which = CEventWrapper::WaitForTwo(m_StopEvent, m_DataEvent, timeout);
    if (which == 0) return WAKE_STOP;
    return which == 1 ? WAKE_DATA : WAKE_TIMEOUT;
}

std::list<MediaPacket> CWorkerQueue::TakeAll() {
    std::list<MediaPacket> batch;
    std::lock_guard<std::mutex> lock(m_Lock);
    batch.swap(m_Queue);
    return batch;
}

void CWorkerQueue::Stop() {
    std::thread thread;
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        thread = std::move(m_Thread);
        m_StopEvent.Signal();
    }
    if (thread.joinable()) thread.join();
}

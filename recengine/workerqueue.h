// CWorkerQueue: the thread of one engine worker (a muxer's writer, an
// encoder) with its stop and data events and its unbounded packet queue.
//
// The owner starts the thread with its own static entry function, so that the
// thread's log lines carry the owner's names. Producers Push packets from any
// thread; the worker thread loops on Wait, which reports the stop before the
// data when both are set, and takes the whole queue with TakeAll on each
// wake-up. What was pushed before the stop is still queued when Wait
// reports it, so a worker that drains once more after the stop loses
// nothing. Stop signals the stop event and joins the thread; the stop event
// stays set, so a thread started after a Stop ends at its first Wait.
//
// Threads: Push, Stop, IsRunning and Start from any thread; Wait and TakeAll
// from the worker thread. Stop must not be called while holding a lock the
// worker thread takes. The queue owns its packets (MediaPacket releases its
// payload).
#pragma once

#include <functional>
#include <list>
#include <mutex>
#include <thread>

#include "basekit/eventwrapper.h"
#include "basekit/logwrapper.h"
#include "basekit/timevaluewrapper.h"
#include "enginetypes.h"

// Defines the static function `Class::Entry(Class* pTmp)` a worker's thread
// starts in: it runs pTmp->Loop(), or logs and ends without a worker. A
// macro, so that the line logged names the worker's own function.
#define UC_WORKER_THREAD_ENTRY(Class, Entry, Loop)                            \
    int Class::Entry(Class* pTmp) {                                           \
        if (!pTmp) {                                                          \
            UC_LOG(CLogWrapper::LOG_ERROR, " --- WTF!!!! NULL == pTmp");      \
            return -1;                                                        \
        }                                                                     \
        return pTmp->Loop();                                                  \
    }

class CWorkerQueue {
public:
    enum StartResult { START_OK = 0, START_RUNNING, START_FAILED };
    enum Wake { WAKE_STOP = 0, WAKE_DATA = 1, WAKE_TIMEOUT = 2 };

    CWorkerQueue() = default;
    // Stops and joins a thread that still runs; releases what is queued.
    ~CWorkerQueue();
    CWorkerQueue(const CWorkerQueue&) = delete;
    CWorkerQueue& operator=(const CWorkerQueue&) = delete;

    // Runs entry(owner) on a new thread, named `name` (at most 15 characters,
    // shown by top -H and /proc) when given. START_RUNNING when a thread runs
    // already, START_FAILED when none could be created; the owner logs which.
    template <class Owner>
    StartResult Start(int (*entry)(Owner*), Owner* owner, const char* name = nullptr) {
        return StartThread([entry, owner] { entry(owner); }, name);
    }
    bool IsRunning() const;

    // Queues a packet and wakes the worker thread.
    void Push(MediaPacket packet);
    // Waits for the stop or for data, without limit when timeout is null.
    Wake Wait(const CTimeValueWrapper* timeout = nullptr);
    // Everything queued so far, oldest first; the queue is empty after it.
    std::list<MediaPacket> TakeAll();

    // Signals the stop (also when no thread runs) and waits for the thread.
    void Stop();

private:
    StartResult StartThread(std::function<void()> body, const char* name);

    mutable std::mutex m_Lock;
    std::thread m_Thread;
    CEventWrapper m_StopEvent{true, false};
    CEventWrapper m_DataEvent{false, false};
    std::list<MediaPacket> m_Queue;
};

// CMessageQueue: a per-thread queue of messages (callables) that other
// threads post and the owning thread runs.
//
// ForCurrentThread() creates the calling thread's queue on first use; the
// thread owns it and closes it when it exits. Anyone may keep the queue
// alive through shared_from_this() and post to it from any thread; messages
// posted after the owning thread has ended are dropped (Post returns false).
// GetFd() is an eventfd that is readable while messages are pending, so an
// event loop (QSocketNotifier, poll) can watch it and call Pump().
#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

class CMessageQueue : public std::enable_shared_from_this<CMessageQueue> {
public:
    using Message = std::function<void()>;

    // The calling thread's queue, created on first use; valid until the
    // thread exits. Null only when the eventfd could not be created.
    static CMessageQueue* ForCurrentThread();

    ~CMessageQueue();
    CMessageQueue(const CMessageQueue&) = delete;
    CMessageQueue& operator=(const CMessageQueue&) = delete;

    // Queues `message` for the owning thread; any thread. False (and the
    // message is destroyed at once) when the owning thread has ended.
    bool Post(Message message);

    // Readable while messages are pending; owned by the queue.
    int GetFd() const { return m_nFd; }

    // On the owning thread: runs the messages pending at the call, in the
    // order they were posted, and returns how many ran. Messages posted by
    // them run at the next Pump. Called from another thread it runs nothing
    // and returns -1.
    int Pump();

    // On the owning thread: waits up to `timeoutMs` (negative: without limit)
    // for a message, then pumps. Returns the number of messages run (0 on
    // time-out), -1 when called from another thread.
    int WaitAndPump(int timeoutMs);

    // Messages waiting to run.
    std::size_t PendingCount() const;
    bool IsOwnerThread() const { return std::this_thread::get_id() == m_ownerThread; }
    bool IsClosed() const;

private:
    class CThreadSlot;
    friend class CThreadSlot;

    explicit CMessageQueue(int fd);
    // Called at the owning thread's exit: drops what is pending and refuses
    // further posts.
    void Close();
    void ClearFd();

    mutable std::mutex m_mutex;
    std::deque<Message> m_messages;
    bool m_bClosed = false;
    const int m_nFd;
    const std::thread::id m_ownerThread;
};

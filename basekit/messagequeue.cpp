#include "basekit/messagequeue.h"

#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>
#include <utility>

#include "basekit/logwrapper.h"

// Holds the thread's queue; its destructor runs at the thread's exit.
class CMessageQueue::CThreadSlot {
public:
    ~CThreadSlot() {
        if (m_pQueue) m_pQueue->Close();
    }
    std::shared_ptr<CMessageQueue> m_pQueue;
};

CMessageQueue* CMessageQueue::ForCurrentThread() {
    thread_local CThreadSlot slot;
    if (!slot.m_pQueue) {
        int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (fd < 0) {
            UC_LOG(CLogWrapper::LOG_ERROR, " --- eventfd fail, errno=" << errno);
            return nullptr;
        }
        slot.m_pQueue.reset(new CMessageQueue(fd));
    }
    return slot.m_pQueue.get();
}

CMessageQueue::CMessageQueue(int fd) : m_nFd(fd), m_ownerThread(std::this_thread::get_id()) {}

CMessageQueue::~CMessageQueue() {
    close(m_nFd);
}

bool CMessageQueue::Post(Message message) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_bClosed) {
            // Destroyed outside the lock, below, with the argument.
            return false;
        }
        m_messages.push_back(std::move(message));
    }
    const std::uint64_t one = 1;
    // Fails only when the counter is near overflow, and then it is readable anyway.
    ssize_t rv = write(m_nFd, &one, sizeof(one));
    (void)rv;
    return true;
}

int CMessageQueue::Pump() {
    if (!IsOwnerThread()) {
        UC_ASSERT_TEXT("IsOwnerThread()");
        return -1;
    }
    // Clear the fd before taking the messages: a post that comes later makes
    // it readable again.
    ClearFd();
    std::deque<Message> batch;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        batch.swap(m_messages);
    }
    int ran = 0;
    for (Message& message : batch) {
        if (message) message();
        ++ran;
    }
    return ran;
}

int CMessageQueue::WaitAndPump(int timeoutMs) {
    if (!IsOwnerThread()) {
        UC_ASSERT_TEXT("IsOwnerThread()");
        return -1;
    }
    if (PendingCount() == 0) {
        pollfd pfd{m_nFd, POLLIN, 0};
        int rv;
        do {
            rv = poll(&pfd, 1, timeoutMs < 0 ? -1 : timeoutMs);
        } while (rv < 0 && errno == EINTR);
    }
    return Pump();
}

std::size_t CMessageQueue::PendingCount() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_messages.size();
}

bool CMessageQueue::IsClosed() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_bClosed;
}

void CMessageQueue::Close() {
    std::deque<Message> dropped;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bClosed = true;
        dropped.swap(m_messages);
    }
    // `dropped` releases whatever the messages captured, outside the lock.
}

void CMessageQueue::ClearFd() {
    std::uint64_t count = 0;
    ssize_t rv = read(m_nFd, &count, sizeof(count));
    (void)rv;
}

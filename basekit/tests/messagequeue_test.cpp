#include "basekit/messagequeue.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

namespace {

bool FdReadable(int fd, int timeoutMs = 0) {
    pollfd pfd{fd, POLLIN, 0};
    return poll(&pfd, 1, timeoutMs) == 1 && (pfd.revents & POLLIN);
}

}  // namespace

TEST(MessageQueue, OneQueuePerThreadRunningOnItsOwner) {
    CMessageQueue* mine = CMessageQueue::ForCurrentThread();
    ASSERT_NE(mine, nullptr);
    EXPECT_EQ(mine, CMessageQueue::ForCurrentThread());
    EXPECT_TRUE(mine->IsOwnerThread());

    CMessageQueue* other = nullptr;
    std::thread([&] { other = CMessageQueue::ForCurrentThread(); }).join();
    EXPECT_NE(other, nullptr);
    EXPECT_NE(other, mine);

    // Messages posted from other threads run here, in posting order.
    std::vector<int> order;
    std::thread::id ranOn;
    std::thread poster([&] {
        for (int i = 0; i < 5; ++i) {
            EXPECT_TRUE(mine->Post([&order, &ranOn, i] {
                order.push_back(i);
                ranOn = std::this_thread::get_id();
            }));
        }
    });
    poster.join();
    EXPECT_EQ(mine->PendingCount(), 5u);
    EXPECT_EQ(mine->Pump(), 5);
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
    EXPECT_EQ(ranOn, std::this_thread::get_id());
    EXPECT_EQ(mine->Pump(), 0);
}

TEST(MessageQueue, FdIsReadableExactlyWhileMessagesArePending) {
    CMessageQueue* q = CMessageQueue::ForCurrentThread();
    q->Pump();
    EXPECT_FALSE(FdReadable(q->GetFd()));
    q->Post([] {});
    q->Post([] {});
    EXPECT_TRUE(FdReadable(q->GetFd()));
    EXPECT_EQ(q->Pump(), 2);
    EXPECT_FALSE(FdReadable(q->GetFd()));

    // A message posted while pumping runs at the next pump, and the fd says so.
    int ranLater = 0;
    q->Post([&] { q->Post([&] { ++ranLater; }); });
    EXPECT_EQ(q->Pump(), 1);
    EXPECT_EQ(ranLater, 0);
    EXPECT_TRUE(FdReadable(q->GetFd()));
    EXPECT_EQ(q->Pump(), 1);
    EXPECT_EQ(ranLater, 1);
}

TEST(MessageQueue, PumpAndWaitFromAnotherThreadRunNothing) {
    CMessageQueue* q = CMessageQueue::ForCurrentThread();
    q->Pump();
    bool ran = false;
    q->Post([&] { ran = true; });
    int fromOther = 0, waitFromOther = 0;
    std::thread([&] {
        fromOther = q->Pump();
        waitFromOther = q->WaitAndPump(10);
    }).join();
    EXPECT_EQ(fromOther, -1);
    EXPECT_EQ(waitFromOther, -1);
    EXPECT_FALSE(ran);
    EXPECT_EQ(q->Pump(), 1);
    EXPECT_TRUE(ran);
}

TEST(MessageQueue, WaitAndPumpWakesOnPostAndTimesOut) {
    CMessageQueue* q = CMessageQueue::ForCurrentThread();
    q->Pump();
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(q->WaitAndPump(50), 0);
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(45));

    std::atomic<bool> ran{false};
    std::thread poster([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        q->Post([&] { ran = true; });
    });
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(q->WaitAndPump(5000), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
    EXPECT_TRUE(ran);
    poster.join();
}

TEST(MessageQueue, PostsAfterTheOwnerEndedAreDroppedSafely) {
    std::shared_ptr<CMessageQueue> held;
    std::atomic<int> ran{0};
    auto token = std::make_shared<int>(7);
    std::thread owner([&] {
        held = CMessageQueue::ForCurrentThread()->shared_from_this();
        // Pending at exit: dropped, and what it captured is released.
        held->Post([&ran, token] { ++ran; });
    });
    owner.join();
    ASSERT_TRUE(held);
    EXPECT_TRUE(held->IsClosed());
    EXPECT_EQ(held->PendingCount(), 0u);
    EXPECT_EQ(token.use_count(), 1);

    EXPECT_FALSE(held->Post([&ran, token] { ++ran; }));
    EXPECT_EQ(token.use_count(), 1);
    EXPECT_EQ(ran.load(), 0);
}

TEST(MessageQueue, ManyPostersWhileTheOwnerPumps) {
    CMessageQueue* q = CMessageQueue::ForCurrentThread();
    q->Pump();
    constexpr int kThreads = 4, kEach = 500;
    int ran = 0;  // touched only on this thread
    std::vector<std::thread> posters;
    for (int t = 0; t < kThreads; ++t) {
        posters.emplace_back([&] {
            for (int i = 0; i < kEach; ++i) q->Post([&ran] { ++ran; });
        });
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (ran < kThreads * kEach && std::chrono::steady_clock::now() < deadline) q->WaitAndPump(100);
    for (auto& t : posters) t.join();
    q->Pump();
    EXPECT_EQ(ran, kThreads * kEach);
}

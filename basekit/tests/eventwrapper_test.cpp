#include "basekit/eventwrapper.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kTimeout = CEventWrapper::EVENT_TIMEOUT;

CTimeValueWrapper Ms(int ms) {
    return CTimeValueWrapper::FromMilliseconds(ms);
}

long long ElapsedMs(Clock::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
}

// Gives threads that were just started time to reach their wait.
void LetThreadsBlock() {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

int ReadyCount(std::vector<std::future<int>>& results) {
    int n = 0;
    for (auto& r : results) n += r.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
    return n;
}

}  // namespace

TEST(EventWrapper, ManualResetStaysSetUntilReset) {
    CEventWrapper e(true, false);
    EXPECT_FALSE(e.IsSignaled());
    EXPECT_EQ(e.TimedWait(Ms(10)), kTimeout);
    EXPECT_EQ(e.Signal(), 0);
    EXPECT_EQ(e.Wait(), 0);
    EXPECT_EQ(e.Wait(), 0);
    EXPECT_EQ(e.TimedWait(Ms(10)), 0);
    EXPECT_TRUE(e.IsSignaled());
    EXPECT_EQ(e.Reset(), 0);
    EXPECT_EQ(e.TimedWait(Ms(10)), kTimeout);
}

TEST(EventWrapper, AutoResetIsConsumedByOneWait) {
    CEventWrapper initiallySet(false, true);
    EXPECT_EQ(initiallySet.Wait(), 0);
    EXPECT_FALSE(initiallySet.IsSignaled());

    CEventWrapper e;
    EXPECT_EQ(e.Signal(), 0);
    EXPECT_EQ(e.Signal(), 0);  // a second signal does not count twice
    EXPECT_EQ(e.TimedWait(Ms(0)), 0);
    EXPECT_EQ(e.TimedWait(Ms(10)), kTimeout);
}

TEST(EventWrapper, TimedWaitWaitsSecondsAndMilliseconds) {
    CEventWrapper e(true);
    auto start = Clock::now();
    EXPECT_EQ(e.TimedWait(CTimeValueWrapper(0, 60000)), kTimeout);
    long long took = ElapsedMs(start);
    EXPECT_GE(took, 60);
    EXPECT_LT(took, 2000);

    start = Clock::now();
    EXPECT_EQ(e.TimedWait(CTimeValueWrapper(0, 999)), kTimeout);  // 999 us count as 0 ms
    EXPECT_LT(ElapsedMs(start), 50);
}

TEST(EventWrapper, SignalFromAnotherThreadWakesTheWaiters) {
    CEventWrapper manual(true);
    std::vector<std::future<int>> results;
    for (int i = 0; i < 3; ++i) results.push_back(std::async(std::launch::async, [&] { return manual.Wait(); }));
    LetThreadsBlock();
    EXPECT_EQ(ReadyCount(results), 0);
    manual.Signal();
    for (auto& r : results) EXPECT_EQ(r.get(), 0);

    CEventWrapper autoReset;
    results.clear();
    for (int i = 0; i < 2; ++i) {
        results.push_back(std::async(std::launch::async, [&] { return autoReset.TimedWait(Ms(5000)); }));
    }
    LetThreadsBlock();
    autoReset.Signal();
    LetThreadsBlock();
    EXPECT_EQ(ReadyCount(results), 1);
    EXPECT_FALSE(autoReset.IsSignaled());
    autoReset.Signal();
    for (auto& r : results) EXPECT_EQ(r.get(), 0);
    EXPECT_FALSE(autoReset.IsSignaled());
}

TEST(EventWrapper, PulseReleasesOnlyTheWaitingThreadsAndLeavesTheEventClear) {
    CEventWrapper manual(true);
    EXPECT_EQ(manual.Pulse(), 0);  // nobody waits: nothing is kept
    EXPECT_EQ(manual.TimedWait(Ms(10)), kTimeout);
    std::vector<std::future<int>> results;
    for (int i = 0; i < 3; ++i) {
        results.push_back(std::async(std::launch::async, [&] { return manual.TimedWait(Ms(5000)); }));
    }
    LetThreadsBlock();
    manual.Pulse();
    for (auto& r : results) EXPECT_EQ(r.get(), 0);
    EXPECT_FALSE(manual.IsSignaled());
    manual.Signal();
    manual.Pulse();
    EXPECT_FALSE(manual.IsSignaled());

    CEventWrapper autoReset;
    results.clear();
    for (int i = 0; i < 2; ++i) {
        results.push_back(std::async(std::launch::async, [&] { return autoReset.TimedWait(Ms(400)); }));
    }
    LetThreadsBlock();
    autoReset.Pulse();
    int released = 0, timedOut = 0;
    for (auto& r : results) {
        int rv = r.get();
        released += rv == 0;
        timedOut += rv == kTimeout;
    }
    EXPECT_EQ(released, 1);
    EXPECT_EQ(timedOut, 1);
    EXPECT_FALSE(autoReset.IsSignaled());
}

TEST(EventWrapper, WaitForTwoReportsTheFirstAndConsumesOnlyTheReported) {
    CEventWrapper stop(true), data;
    stop.Signal();
    data.Signal();
    EXPECT_EQ(CEventWrapper::WaitForTwo(stop, data), 0);
    EXPECT_TRUE(stop.IsSignaled());
    EXPECT_TRUE(data.IsSignaled());  // not reported, so not consumed

    CEventWrapper a, b;
    a.Signal();
    b.Signal();
    EXPECT_EQ(CEventWrapper::WaitForTwo(a, b), 0);
    EXPECT_FALSE(a.IsSignaled());
    EXPECT_TRUE(b.IsSignaled());
    EXPECT_EQ(CEventWrapper::WaitForTwo(a, b), 1);
    EXPECT_FALSE(b.IsSignaled());

    CTimeValueWrapper shortWait = Ms(30);
    auto start = Clock::now();
    EXPECT_EQ(CEventWrapper::WaitForTwo(a, b, &shortWait), kTimeout);
    EXPECT_GE(ElapsedMs(start), 30);

    EXPECT_EQ(a.Signal(), 0);
    EXPECT_EQ(CEventWrapper::WaitForTwo(a, a, &shortWait), 0);
}

TEST(EventWrapper, WaitForTwoWakesForEitherEventFromAnotherThread) {
    for (int which : {0, 1}) {
        CEventWrapper stop(true), data;
        auto result = std::async(std::launch::async, [&] { return CEventWrapper::WaitForTwo(stop, data); });
        LetThreadsBlock();
        (which == 0 ? stop : data).Signal();
        EXPECT_EQ(result.get(), which);
        EXPECT_EQ(stop.IsSignaled(), which == 0);
        EXPECT_FALSE(data.IsSignaled());  // handed to the waiter
    }

    // Two threads share one auto-reset event: each signal releases exactly one.
    CEventWrapper stopA(true), stopB(true), shared;
    std::vector<std::future<int>> results;
    results.push_back(std::async(std::launch::async, [&] { return CEventWrapper::WaitForTwo(stopA, shared); }));
    results.push_back(std::async(std::launch::async, [&] { return CEventWrapper::WaitForTwo(stopB, shared); }));
    LetThreadsBlock();
    shared.Signal();
    LetThreadsBlock();
    EXPECT_EQ(ReadyCount(results), 1);
    shared.Signal();
    for (auto& r : results) EXPECT_EQ(r.get(), 1);
    EXPECT_FALSE(shared.IsSignaled());
    EXPECT_FALSE(stopA.IsSignaled());
}

// The engine's worker pattern: producers queue under a lock and signal an
// auto-reset event; the worker drains per wake-up until the stop event. Every
// item must arrive; a lost wake-up would leave items behind or hang.
TEST(EventWrapper, WorkerPatternLosesNoWakeUps) {
    CEventWrapper stop(true), data;
    std::mutex lock;
    int queued = 0, taken = 0;
    constexpr int kProducers = 3, kItems = 5000;
    std::thread worker([&] {
        for (;;) {
            int rv = CEventWrapper::WaitForTwo(stop, data);
            std::lock_guard<std::mutex> guard(lock);
            taken += queued;
            queued = 0;
            if (rv == 0) break;
        }
    });
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([&] {
            for (int i = 0; i < kItems; ++i) {
                {
                    std::lock_guard<std::mutex> guard(lock);
                    ++queued;
                }
                data.Signal();
            }
        });
    }
    for (auto& p : producers) p.join();
    stop.Signal();
    worker.join();
    EXPECT_EQ(taken, kProducers * kItems);

    // Ping-pong between two threads over two auto-reset events.
    CEventWrapper ping, pong;
    std::atomic<bool> stuck{false};
    std::thread partner([&] {
        for (int i = 0; i < 5000 && !stuck; ++i) {
            if (ping.TimedWait(Ms(5000)) != 0) stuck = true;
            pong.Signal();
        }
    });
    for (int i = 0; i < 5000 && !stuck; ++i) {
        ping.Signal();
        if (pong.TimedWait(Ms(5000)) != 0) stuck = true;
    }
    ping.Signal();
    partner.join();
    EXPECT_FALSE(stuck);
}

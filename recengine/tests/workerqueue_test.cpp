// The engine workers' thread and queue: the stop reported before the data,
// nothing pushed before the stop lost, one thread at a time.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <vector>

#include "workerqueue.h"

namespace {

struct Owner {
    CWorkerQueue worker;
    std::vector<std::uint32_t> seen;
    std::atomic<int> wakeUps{0};
    bool sawStopWithData = false;

    static int Entry(Owner* owner) { return owner->Loop(); }
    int Loop() {
        for (;;) {
            bool stopping = worker.Wait() == CWorkerQueue::WAKE_STOP;
            ++wakeUps;
            auto batch = worker.TakeAll();
            if (stopping && !batch.empty()) sawStopWithData = true;
            for (const MediaPacket& packet : batch) seen.push_back(packet.timestamp);
            if (stopping) return 0;
        }
    }
};

MediaPacket Packet(std::uint32_t timestamp) {
    MediaPacket packet;
    packet.data = new CDataPackage(1, "p", CDataPackage::FLAG_NONE, 1);
    packet.timestamp = timestamp;
    return packet;
}

}  // namespace

TEST(WorkerQueue, EverythingPushedBeforeTheStopIsTakenInOrder) {
    Owner owner;
    ASSERT_EQ(owner.worker.Start(&Owner::Entry, &owner), CWorkerQueue::START_OK);
    EXPECT_EQ(owner.worker.Start(&Owner::Entry, &owner), CWorkerQueue::START_RUNNING);
    EXPECT_TRUE(owner.worker.IsRunning());
    for (std::uint32_t i = 0; i < 1000; ++i) owner.worker.Push(Packet(i));
    owner.worker.Stop();
    EXPECT_FALSE(owner.worker.IsRunning());
    ASSERT_EQ(owner.seen.size(), 1000u);
    for (std::uint32_t i = 0; i < 1000; ++i) ASSERT_EQ(owner.seen[i], i);
}

TEST(WorkerQueue, StopWinsOverPendingDataAndStaysSet) {
    CWorkerQueue worker;
    worker.Push(Packet(7));
    worker.Stop();  // no thread: the stop is only signalled
    EXPECT_EQ(worker.Wait(), CWorkerQueue::WAKE_STOP);
    EXPECT_EQ(worker.Wait(), CWorkerQueue::WAKE_STOP);
    auto batch = worker.TakeAll();
    ASSERT_EQ(batch.size(), 1u);
    EXPECT_EQ(batch.front().timestamp, 7u);

    // A thread started after a stop ends at its first wake-up, with what was queued.
    Owner owner;
    owner.worker.Stop();
    owner.worker.Push(Packet(1));
    ASSERT_EQ(owner.worker.Start(&Owner::Entry, &owner), CWorkerQueue::START_OK);
    owner.worker.Stop();
    EXPECT_EQ(owner.wakeUps.load(), 1);
    EXPECT_TRUE(owner.sawStopWithData);
    EXPECT_EQ(owner.seen, std::vector<std::uint32_t>{1});
}

TEST(WorkerQueue, TimedWaitRunsOutWithoutStopOrData) {
    CWorkerQueue worker;
    const CTimeValueWrapper wait(0, 1000);
    EXPECT_EQ(worker.Wait(&wait), CWorkerQueue::WAKE_TIMEOUT);
    worker.Push(Packet(3));
    EXPECT_EQ(worker.Wait(&wait), CWorkerQueue::WAKE_DATA);
    EXPECT_EQ(worker.TakeAll().size(), 1u);
}

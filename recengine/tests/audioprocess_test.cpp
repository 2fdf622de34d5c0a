// CAudioProcess: the mixing rule, the per-source timeline (snap, gap, re-anchor,
// far clocks) and the pull side (ReadBlock, PeekFrontTimestamp).
#include "audioprocess.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace {

constexpr std::uint64_t kMs = 1000000ULL;
constexpr std::uint64_t kSec = 1000000000ULL;

std::vector<std::uint8_t> Bytes(const std::vector<std::int16_t>& samples) {
    std::vector<std::uint8_t> out(samples.size() * 2);
    std::memcpy(out.data(), samples.data(), out.size());
    return out;
}

std::vector<std::int16_t> Samples(const std::uint8_t* data, std::size_t bytes) {
    std::vector<std::int16_t> out(bytes / 2);
    std::memcpy(out.data(), data, out.size() * 2);
    return out;
}

// A block as the capture delivers it: `frames` stereo frames whose left
// sample counts up from `first` (so that the order of frames can be checked).
struct TestBlock {
    std::vector<std::int16_t> pcm;
    CapturedAudioBlock block;

    TestBlock(bool input, std::uint32_t frames, std::uint64_t timestampNs, std::uint64_t captureNs,
              std::int16_t first = 0) {
        pcm.resize(static_cast<std::size_t>(frames) * 2);
        for (std::uint32_t i = 0; i < frames; ++i) {
            pcm[2 * i] = static_cast<std::int16_t>(first + static_cast<std::int16_t>(i));
            pcm[2 * i + 1] = static_cast<std::int16_t>(-pcm[2 * i]);
        }
        block.data = reinterpret_cast<const std::uint8_t*>(pcm.data());
        block.frames = frames;
        block.byteLength = frames * 4;
        block.channels = 2;
        block.deviceSampleRate = 44100;
        block.sampleRate = 44100;
        block.timestampNs = timestampNs;
        block.captureTimeNs = captureNs;
        block.bIsInputDevice = input;
    }
};

// Frames of 10 ms blocks at 44100 Hz.
constexpr std::uint32_t kBlockFrames = 441;
constexpr std::uint64_t kBlockNs = 10 * kMs;

struct Pulled {
    bool ok = false;
    std::vector<std::int16_t> samples;
};

Pulled Pull(CAudioProcess& proc, bool input, std::uint32_t maxFrames) {
    std::uint8_t* buffer = nullptr;
    std::uint32_t bytes = 0;
    Pulled p;
    p.ok = proc.ReadBlock(input, maxFrames, &buffer, &bytes);
    if (p.ok) {
        p.samples = Samples(buffer, bytes);
        delete[] buffer;
    }
    return p;
}

}  // namespace

TEST(MixPcm16, HalvesEachInputSoTheSumNeverOverflows) {
    const auto a = Bytes({32767, -32768, 3, 32767, -32768, 1, -1});
    const auto b = Bytes({32767, -32768, -3, -32768, 32767, 1, -1});
    std::vector<std::uint8_t> out(a.size());
    MixPcm16(out.data(), static_cast<int>(out.size()), a.data(), static_cast<int>(a.size()), b.data(),
             static_cast<int>(b.size()));
    // Truncation toward zero: 1/2 and -1/2 both give 0.
    EXPECT_EQ(Samples(out.data(), out.size()), (std::vector<std::int16_t>{32766, -32768, 0, -1, -1, 0, 0}));
}

TEST(MixPcm16, TheLongerInputContinuesAloneAndAMissingOneLeavesTheOtherUnchanged) {
    std::vector<std::int16_t> mic(2048), loop(1200);
    for (int i = 0; i < 2048; ++i) mic[i] = static_cast<std::int16_t>(1000 + i);
    for (int i = 0; i < 1200; ++i) loop[i] = static_cast<std::int16_t>(-500);
    const auto a = Bytes(mic);
    const auto b = Bytes(loop);
    ASSERT_EQ(a.size(), 4096u);
    ASSERT_EQ(b.size(), 2400u);
    std::vector<std::uint8_t> out(4096);
    MixPcm16(out.data(), 4096, a.data(), 4096, b.data(), 2400);
    auto mixed = Samples(out.data(), out.size());
    for (int i = 0; i < 1200; ++i) ASSERT_EQ(mixed[i], (1000 + i) / 2 - 250) << i;
    for (int i = 1200; i < 2048; ++i) ASSERT_EQ(mixed[i], 1000 + i) << i;

    // Loopback longer than the microphone: the tail is loopback's.
    MixPcm16(out.data(), 4096, b.data(), 2400, a.data(), 4096);
    EXPECT_EQ(Samples(out.data(), out.size())[1500], 1000 + 1500);

    // One source silent (empty) or missing (null): the other unchanged.
    std::fill(out.begin(), out.end(), 0);
    MixPcm16(out.data(), 4096, a.data(), 4096, nullptr, 0);
    EXPECT_EQ(Samples(out.data(), out.size()), mic);
    std::fill(out.begin(), out.end(), 0);
    MixPcm16(out.data(), 4096, nullptr, 4096, a.data(), 4096);
    EXPECT_EQ(Samples(out.data(), out.size()), mic);
}

TEST(MixPcm16, NeverWritesPastTheOutputLength) {
    const auto a = Bytes(std::vector<std::int16_t>(100, 7));
    const auto b = Bytes(std::vector<std::int16_t>(60, 9));
    std::vector<std::uint8_t> out(200, 0xEE);
    MixPcm16(out.data(), 50, a.data(), 200, b.data(), 120);
    for (int i = 0; i < 25; ++i) EXPECT_EQ(Samples(out.data(), 50)[i], 3 + 4);
    for (std::size_t i = 50; i < out.size(); ++i) ASSERT_EQ(out[i], 0xEE) << i;
    MixPcm16(out.data(), 0, a.data(), 200, b.data(), 120);  // no room: nothing happens
    MixPcm16(nullptr, 200, a.data(), 200, b.data(), 120);
}

TEST(AudioProcessTimeline, FirstBlockOnlyAnchorsAndContinuingBlocksAreQueuedWithJitterRemoved) {
    CAudioProcess proc;
    const std::uint64_t t0 = 100 * kSec;
    TestBlock first(true, kBlockFrames, t0 - 20 * kMs, t0, 0);
    proc.PushAudioBlock(&first.block);
    EXPECT_EQ(proc.GetQueuedFrames(true), 0u) << "the first block only establishes the timeline";
    std::uint64_t ts = 0;
    EXPECT_FALSE(proc.PeekFrontTimestamp(true, &ts));

    // The next block read 2 ms late: its timestamp snaps to the expected time
    // (the previous capture time plus the previous block's duration).
    TestBlock second(true, kBlockFrames, t0 + kBlockNs - 20 * kMs + 2 * kMs, t0 + kBlockNs + 2 * kMs, 441);
    proc.PushAudioBlock(&second.block);
    const std::uint64_t expected = t0 + 441ULL * kSec / 44100;
    EXPECT_EQ(second.block.timestampNs, expected) << "rewritten in place";
    // The rate correction measures against the aligned timeline; the
    // capture layer's own estimate of the block's capture time comes beside it.
    ASSERT_TRUE(proc.PeekFrontTimestamp(true, &ts));
    EXPECT_EQ(ts, expected);
    ASSERT_TRUE(proc.PeekFrontCaptureTime(true, &ts));
    EXPECT_EQ(ts, t0 + kBlockNs - 20 * kMs + 2 * kMs);
    EXPECT_EQ(proc.GetQueuedFrames(true), kBlockFrames);

    TestBlock third(true, kBlockFrames, t0 + 2 * kBlockNs - 20 * kMs, t0 + 2 * kBlockNs, 882);
    proc.PushAudioBlock(&third.block);
    EXPECT_EQ(proc.GetQueuedFrames(true), 2u * kBlockFrames);
    // The loopback source is separate and still empty.
    EXPECT_EQ(proc.GetQueuedFrames(false), 0u);
    EXPECT_FALSE(Pull(proc, false, 1024).ok);

    // A block without data continues the timeline but queues nothing.
    TestBlock empty(true, 0, t0 + 3 * kBlockNs - 20 * kMs, t0 + 3 * kBlockNs);
    empty.block.data = nullptr;
    empty.block.byteLength = 0;
    proc.PushAudioBlock(&empty.block);
    proc.PushAudioBlock(nullptr);
    EXPECT_EQ(proc.GetQueuedFrames(true), 2u * kBlockFrames);
}

TEST(AudioProcessTimeline, GapBetweenPointSevenAndTwoSecondsDropsTheBlockAndFlushesButKeepsTheOffset) {
    CAudioProcess proc;
    const std::uint64_t t0 = 50 * kSec;
    std::uint64_t t = t0;
    for (int i = 0; i < 4; ++i, t += kBlockNs) {
        TestBlock b(false, kBlockFrames, t, t);
        proc.PushAudioBlock(&b.block);
    }
    ASSERT_EQ(proc.GetQueuedFrames(false), 3u * kBlockFrames);
    // 1 s of nothing, then a block: dropped, and the queue is emptied.
    t += kSec;
    TestBlock late(false, kBlockFrames, t, t);
    proc.PushAudioBlock(&late.block);
    EXPECT_EQ(proc.GetQueuedFrames(false), 0u);
    EXPECT_EQ(late.block.timestampNs, t) << "no re-anchor: the offset stays 0";
    // The next block follows on from the dropped one and is queued again.
    t += kBlockNs;
    TestBlock next(false, kBlockFrames, t, t);
    proc.PushAudioBlock(&next.block);
    EXPECT_EQ(proc.GetQueuedFrames(false), kBlockFrames);
}

TEST(AudioProcessTimeline, SilenceLongerThanTwoSecondsReanchorsFlushesAndThenQueuesAgain) {
    CAudioProcess proc;
    const std::uint64_t t0 = 50 * kSec;
    std::uint64_t t = t0;
    for (int i = 0; i < 3; ++i, t += kBlockNs) {
        TestBlock b(false, kBlockFrames, t + 5000, t);  // loopback: read time, a few microseconds later
        proc.PushAudioBlock(&b.block);
    }
    ASSERT_EQ(proc.GetQueuedFrames(false), 2u * kBlockFrames);
    t += 5 * kSec;
    TestBlock resumed(false, kBlockFrames, t + 5000, t);
    proc.PushAudioBlock(&resumed.block);
    EXPECT_EQ(proc.GetQueuedFrames(false), 0u);
    EXPECT_EQ(resumed.block.timestampNs, t) << "re-anchored on the capture time";
    for (int i = 0; i < 3; ++i) {
        t += kBlockNs;
        TestBlock b(false, kBlockFrames, t + 5000, t);
        proc.PushAudioBlock(&b.block);
    }
    EXPECT_EQ(proc.GetQueuedFrames(false), 3u * kBlockFrames);
}

TEST(AudioProcessTimeline, ASourceWhoseClockIsFarFromTheEngineClockIsCarriedOverAndQueued) {
    CAudioProcess proc;
    const std::uint64_t t0 = 500 * kSec;
    const std::uint64_t sourceOrigin = 7 * kSec;  // the device counts from its own zero
    for (int i = 0; i < 5; ++i) {
        const std::uint64_t cap = t0 + i * kBlockNs + (i == 3 ? 3 * kMs : 0);
        TestBlock b(true, kBlockFrames, sourceOrigin + i * kBlockNs, cap);
        proc.PushAudioBlock(&b.block);
        // On the engine clock (the 3 ms late read shows as the snap of the next block).
        if (i > 0) {
            EXPECT_NEAR(static_cast<double>(b.block.timestampNs), static_cast<double>(t0 + i * kBlockNs), 5e6) << i;
        }
    }
    EXPECT_EQ(proc.GetQueuedFrames(true), 4u * kBlockFrames);
}

TEST(AudioProcessReadBlock, TakesFramesAcrossItemsAndKeepsTheCursor) {
    CAudioProcess proc;
    const std::uint64_t t0 = 10 * kSec;
    TestBlock anchor(true, 100, t0, t0, 0);
    proc.PushAudioBlock(&anchor.block);
    const std::uint64_t t1 = t0 + 100ULL * kSec / 44100;
    TestBlock a(true, 600, t1, t1, 0);
    proc.PushAudioBlock(&a.block);

    // A queue holding 600 frames gives 2400 bytes for a request of 1024.
    Pulled p = Pull(proc, true, 1024);
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.samples.size() * 2, 2400u);
    EXPECT_FALSE(Pull(proc, true, 1024).ok) << "empty queue";

    std::uint64_t t = t1 + 600ULL * kSec / 44100;
    TestBlock b(true, 300, t, t, 1000);
    proc.PushAudioBlock(&b.block);
    t += 300ULL * kSec / 44100;
    TestBlock c(true, 300, t, t, 2000);
    proc.PushAudioBlock(&c.block);

    p = Pull(proc, true, 200);  // inside the first item
    ASSERT_EQ(p.samples.size(), 400u);
    EXPECT_EQ(p.samples[0], 1000);
    EXPECT_EQ(p.samples[398], 1199);
    EXPECT_EQ(p.samples[399], -1199);
    EXPECT_EQ(proc.GetQueuedFrames(true), 400u);
    p = Pull(proc, true, 150);  // the rest of the first item and 50 of the second
    ASSERT_EQ(p.samples.size(), 300u);
    EXPECT_EQ(p.samples[0], 1200);
    EXPECT_EQ(p.samples[198], 1299);
    EXPECT_EQ(p.samples[200], 2000);
    EXPECT_EQ(p.samples[298], 2049);
    std::uint64_t front = 0;
    ASSERT_TRUE(proc.PeekFrontTimestamp(true, &front));
    EXPECT_EQ(front, t) << "the partly read item is still the front";
    p = Pull(proc, true, 250);  // exactly the rest: the item goes
    ASSERT_EQ(p.samples.size(), 500u);
    EXPECT_EQ(p.samples[498], 2299);
    EXPECT_FALSE(proc.PeekFrontTimestamp(true, &front));
}

TEST(AudioProcessReadBlock, ABlockClaimingMoreFramesThanItsBytesIsReadOnlyAsFarAsItsBytes) {
    CAudioProcess proc;
    const std::uint64_t t0 = 10 * kSec;
    TestBlock anchor(false, 441, t0, t0);
    proc.PushAudioBlock(&anchor.block);
    TestBlock bad(false, 100, t0 + kBlockNs, t0 + kBlockNs, 5);
    bad.block.frames = 5000;  // claims far more than the 400 bytes it carries
    bad.block.sampleRate = 44100;
    proc.PushAudioBlock(&bad.block);
    Pulled p = Pull(proc, false, 1024);
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.samples.size(), 200u);
    EXPECT_EQ(p.samples[198], 104);
    std::uint8_t* buffer = nullptr;
    EXPECT_FALSE(proc.ReadBlock(false, 10, &buffer, nullptr));
}

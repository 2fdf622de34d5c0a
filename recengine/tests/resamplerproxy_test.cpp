// CResamplerProxy: passthrough, conversion to the engine format, re-creation
// on a new format and the drift corrections requested from other threads.
#include "resamplerproxy.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <thread>
#include <vector>

namespace {

constexpr double kPi = 3.14159265358979323846;

std::vector<std::int16_t> Tone(unsigned rate, unsigned channels, unsigned frames, double hz, long from = 0) {
    std::vector<std::int16_t> pcm(static_cast<std::size_t>(frames) * channels);
    for (unsigned i = 0; i < frames; ++i) {
        auto v = static_cast<std::int16_t>(std::lround(10000.0 * std::sin(2 * kPi * hz * double(from + i) / rate)));
        for (unsigned c = 0; c < channels; ++c) pcm[i * channels + c] = v;
    }
    return pcm;
}

// Feeds `seconds` of a tone in 10 ms blocks; returns the output frames (stereo).
std::size_t FeedFrames(CResamplerProxy& proxy, unsigned rate, unsigned channels, int seconds) {
    std::size_t total = 0;
    const unsigned block = rate / 100;
    for (long pos = 0; pos < long(rate) * seconds; pos += block) {
        std::vector<std::int16_t> in = Tone(rate, channels, block, 440, pos);
        std::uint32_t outBytes = 0;
        const std::uint8_t* out = nullptr;
        proxy.Resample(static_cast<std::uint32_t>(in.size() * 2), reinterpret_cast<const std::uint8_t*>(in.data()),
                       &outBytes, &out);
        EXPECT_NE(out, nullptr);
        total += outBytes / 4;
    }
    return total;
}

}  // namespace

TEST(ResamplerProxy, EqualFormatsPassTheInputThroughUnchanged) {
    CResamplerProxy proxy;
    ASSERT_TRUE(proxy.Init(2, 1, 44100, 2, 1, 44100));
    EXPECT_FALSE(proxy.IsConverting());
    std::vector<std::int16_t> in = Tone(44100, 2, 441, 1000);
    std::uint32_t outBytes = 0;
    const std::uint8_t* out = nullptr;
    proxy.Resample(static_cast<std::uint32_t>(in.size() * 2), reinterpret_cast<const std::uint8_t*>(in.data()),
                   &outBytes, &out);
    EXPECT_EQ(out, reinterpret_cast<const std::uint8_t*>(in.data()));
    EXPECT_EQ(outBytes, in.size() * 2);
    EXPECT_EQ(proxy.GetDelayFrames(), 0);
}

TEST(ResamplerProxy, ConvertsToTheEngineFormatAndStartsOverOnANewFormat) {
    CResamplerProxy proxy;
    // 48000 Hz mono: one second gives one second at 44100 Hz stereo, less
    // what the filter holds back.
    ASSERT_TRUE(proxy.Init(1, 1, 48000, 2, 1, 44100));
    EXPECT_TRUE(proxy.IsConverting());
    std::size_t frames = FeedFrames(proxy, 48000, 1, 1);
    EXPECT_NEAR(double(frames), 44100.0, 100.0);
    EXPECT_GE(proxy.GetDelayFrames(), 0);

    // A mono block's samples appear on both sides.
    std::vector<std::int16_t> in = Tone(48000, 1, 4800, 440, 48000);
    std::uint32_t outBytes = 0;
    const std::uint8_t* out = nullptr;
    proxy.Resample(static_cast<std::uint32_t>(in.size() * 2), reinterpret_cast<const std::uint8_t*>(in.data()),
                   &outBytes, &out);
    ASSERT_NE(out, nullptr);
    const auto* s = reinterpret_cast<const std::int16_t*>(out);
    for (std::uint32_t i = 0; i + 1 < outBytes / 2; i += 2) ASSERT_EQ(s[i], s[i + 1]);

    // Another device format: a fresh resampler at the new rate.
    ASSERT_TRUE(proxy.Init(2, 1, 16000, 2, 1, 44100));
    EXPECT_NEAR(double(FeedFrames(proxy, 16000, 2, 1)), 44100.0, 100.0);
    // Back to the engine format: passthrough again.
    ASSERT_TRUE(proxy.Init(2, 1, 44100, 2, 1, 44100));
    EXPECT_FALSE(proxy.IsConverting());
}

TEST(ResamplerProxy, RefusesFormatsTheResamplerDoesNotTake) {
    CResamplerProxy proxy;
    EXPECT_FALSE(proxy.Init(2, 1, 100, 2, 1, 44100));
    std::vector<std::int16_t> in(200, 0);
    std::uint32_t outBytes = 123;
    const std::uint8_t* out = reinterpret_cast<const std::uint8_t*>(in.data());
    proxy.Resample(400, reinterpret_cast<const std::uint8_t*>(in.data()), &outBytes, &out);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(outBytes, 0u);
}

TEST(ResamplerProxy, RateCorrectionChangesTheOutputCountAndSwitchesPassthroughIn) {
    CResamplerProxy proxy;
    ASSERT_TRUE(proxy.Init(2, 1, 44100, 2, 1, 44100));
    EXPECT_FALSE(proxy.SetRateAdjust(1.2));
    EXPECT_FALSE(proxy.SetRateAdjust(0.5));
    EXPECT_DOUBLE_EQ(proxy.GetRateAdjust(), 1.0);

    // Requested from another thread, applied by the resampling thread.
    std::thread([&] { EXPECT_TRUE(proxy.SetRateAdjust(1.01)); }).join();
    EXPECT_DOUBLE_EQ(proxy.GetRateAdjust(), 1.01);
    std::size_t frames = FeedFrames(proxy, 44100, 2, 4);
    EXPECT_TRUE(proxy.IsConverting());
    // 1 % more over 4 s: about 1764 frames beyond 176400.
    EXPECT_NEAR(double(frames), 176400.0 * 1.01, 300.0);

    // The ratio carries over to a new resampler; a slower one gives fewer.
    ASSERT_TRUE(proxy.Init(1, 1, 48000, 2, 1, 44100));
    EXPECT_DOUBLE_EQ(proxy.GetRateAdjust(), 1.01);
    ASSERT_TRUE(proxy.SetRateAdjust(0.99));
    EXPECT_NEAR(double(FeedFrames(proxy, 48000, 1, 4)), 176400.0 * 0.99, 300.0);
}

TEST(ResamplerProxy, OneOffCompensationAddsTheRequestedSamples) {
    CResamplerProxy proxy;
    ASSERT_TRUE(proxy.Init(1, 1, 48000, 2, 1, 44100));
    std::size_t plain = FeedFrames(proxy, 48000, 1, 2);
    EXPECT_FALSE(proxy.Compensate(1000, 5000));  // more than a tenth of the distance
    EXPECT_FALSE(proxy.Compensate(10, 0));

    CResamplerProxy corrected;
    ASSERT_TRUE(corrected.Init(1, 1, 48000, 2, 1, 44100));
    ASSERT_TRUE(corrected.Compensate(441, 44100));
    std::size_t more = FeedFrames(corrected, 48000, 1, 2);
    EXPECT_NEAR(double(more) - double(plain), 441.0, 40.0);
}

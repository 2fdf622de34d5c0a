// decodekit through its exports: rate and channel conversion of tones, the
// passthrough case and the drift correction.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "decodekit/audioresample.h"

namespace {

struct ResampleDeleter {
    void operator()(IAudioResample* p) const { DestoryAudioResample(p); }
};
using ResamplePtr = std::unique_ptr<IAudioResample, ResampleDeleter>;

constexpr double kPi = 3.14159265358979323846;
constexpr double kAmplitude = 12000.0;

// A 1 kHz tone, `channels` interleaved copies, starting at sample `from`.
std::vector<int16_t> Tone(int rate, int channels, long from, int frames) {
    std::vector<int16_t> pcm(static_cast<std::size_t>(frames) * channels);
    for (int i = 0; i < frames; ++i) {
        auto v = static_cast<int16_t>(std::lround(kAmplitude * std::sin(2 * kPi * 1000.0 * (from + i) / rate)));
        for (int c = 0; c < channels; ++c) {
            pcm[static_cast<std::size_t>(i) * channels + c] = v;
        }
    }
    return pcm;
}

// Feeds `seconds` of the tone in 10 ms blocks and returns the interleaved
// output, drained at the end when `drain`.
std::vector<int16_t> FeedTone(IAudioResample* r, int inRate, int inChannels, int seconds, bool drain,
                         int outChannels = 2) {
    std::vector<int16_t> out;
    const int block = inRate / 100;
    for (long pos = 0; pos < static_cast<long>(inRate) * seconds; pos += block) {
        std::vector<int16_t> in = Tone(inRate, inChannels, pos, block);
        unsigned char* data = nullptr;
        int bytes = -1;
        EXPECT_EQ(r->Convert(reinterpret_cast<const unsigned char*>(in.data()),
                             static_cast<int>(in.size() * 2), &data, &bytes),
                  0);
        EXPECT_NE(data, nullptr);
        EXPECT_EQ(bytes % (2 * outChannels), 0);
        const auto* s = reinterpret_cast<const int16_t*>(data);
        out.insert(out.end(), s, s + bytes / 2);
    }
    if (drain) {
        unsigned char* data = nullptr;
        int bytes = -1;
        EXPECT_EQ(r->Convert(nullptr, 0, &data, &bytes), 0);
        const auto* s = reinterpret_cast<const int16_t*>(data);
        out.insert(out.end(), s, s + bytes / 2);
    }
    return out;
}

// Rising zero crossings of channel 0 per second of output.
double Frequency(const std::vector<int16_t>& pcm, int channels, int rate, std::size_t skip) {
    std::size_t frames = pcm.size() / channels;
    int crossings = 0;
    for (std::size_t i = skip + 1; i < frames; ++i) {
        if (pcm[(i - 1) * channels] < 0 && pcm[i * channels] >= 0) {
            ++crossings;
        }
    }
    return crossings * static_cast<double>(rate) / static_cast<double>(frames - skip);
}

// The largest step between neighbouring samples of channel 0: a dropped or
// repeated sample, or a glitch, shows up as a step above the tone's slope.
int LargestStep(const std::vector<int16_t>& pcm, int channels, std::size_t skip) {
    int largest = 0;
    for (std::size_t i = skip + 1; i < pcm.size() / channels; ++i) {
        largest = std::max(largest, std::abs(pcm[i * channels] - pcm[(i - 1) * channels]));
    }
    return largest;
}

TEST(Decodekit, Mono48kToStereo441kKeepsToneLevelAndCount) {
    ResamplePtr r(CreateAudioResample());
    ASSERT_TRUE(r);
    ASSERT_EQ(r->Init(2, UC_SAMPLE_S16, 44100, 1, UC_SAMPLE_S16, 48000), 0);
    std::vector<int16_t> out = FeedTone(r.get(), 48000, 1, 2, true);
    const long frames = static_cast<long>(out.size() / 2);
    EXPECT_NEAR(frames, 88200, 441) << "2 s at 44100 Hz, within one block";
    EXPECT_NEAR(Frequency(out, 2, 44100, 441), 1000.0, 2.0);
    int peak = 0;
    for (long i = 441; i < frames; ++i) {
        EXPECT_EQ(out[2 * i], out[2 * i + 1]) << "mono goes to both sides";
        peak = std::max(peak, std::abs(int{out[2 * i]}));
    }
    EXPECT_NEAR(peak, kAmplitude, kAmplitude * 0.02) << "same level, not -3 dB";
    EXPECT_LT(LargestStep(out, 2, 441), kAmplitude * 2 * kPi * 1000 / 44100 * 1.05);
}

TEST(Decodekit, EqualFormatsPassThroughUnchanged) {
    ResamplePtr r(CreateAudioResample());
    ASSERT_TRUE(r);
    ASSERT_EQ(r->Init(2, UC_SAMPLE_S16, 44100, 2, UC_SAMPLE_S16, 44100), 0);
    std::vector<int16_t> in = Tone(44100, 2, 0, 441 * 20);
    std::vector<int16_t> out;
    for (int b = 0; b < 20; ++b) {
        unsigned char* data = nullptr;
        int bytes = 0;
        ASSERT_EQ(r->Convert(reinterpret_cast<const unsigned char*>(&in[882 * b]), 882 * 2, &data, &bytes), 0);
        ASSERT_EQ(bytes, 882 * 2);
        const auto* s = reinterpret_cast<const int16_t*>(data);
        out.insert(out.end(), s, s + bytes / 2);
    }
    EXPECT_EQ(out, in);
    EXPECT_EQ(r->GetDelaySamples(), 0);
    EXPECT_EQ(r->GetRateAdjust(), 1.0);
}

TEST(Decodekit, RateAdjustChangesTheCountSmoothly) {
    struct Case {
        int inRate;
        double ratio;
    };
    const int seconds = 60;
    for (const Case& c : {Case{44100, 1.001}, Case{44100, 0.999}, Case{48000, 1.001}, Case{48000, 0.999}}) {
        SCOPED_TRACE(::testing::Message() << c.inRate << " Hz, ratio " << c.ratio);
        ResamplePtr r(CreateAudioResample());
        ASSERT_EQ(r->Init(2, UC_SAMPLE_S16, 44100, 2, UC_SAMPLE_S16, c.inRate), 0);
        ASSERT_EQ(r->SetRateAdjust(c.ratio), 0);
        EXPECT_EQ(r->GetRateAdjust(), c.ratio);
        std::vector<int16_t> out = FeedTone(r.get(), c.inRate, 2, seconds, true);
        const double expected = 44100.0 * seconds * c.ratio;  // 2646 samples off the nominal
        EXPECT_NEAR(static_cast<double>(out.size() / 2), expected, 20.0);
        EXPECT_LT(LargestStep(out, 2, 441), kAmplitude * 2 * kPi * 1000 / 44100 * 1.05);
    }
}

TEST(Decodekit, OneOffCompensationAndReset) {
    ResamplePtr r(CreateAudioResample());
    ASSERT_EQ(r->Init(2, UC_SAMPLE_S16, 44100, 2, UC_SAMPLE_S16, 48000), 0);
    std::vector<int16_t> base = FeedTone(r.get(), 48000, 2, 10, false);
    // 441 more samples over the next 5 s, then nominal again.
    ASSERT_EQ(r->Compensate(441, 44100 * 5), 0);
    std::vector<int16_t> more = FeedTone(r.get(), 48000, 2, 10, false);
    EXPECT_NEAR(static_cast<double>(more.size()) / 2 - static_cast<double>(base.size()) / 2, 441.0, 20.0);
    // A ratio, then back to 1.0: the next 10 s are nominal.
    ASSERT_EQ(r->SetRateAdjust(1.002), 0);
    FeedTone(r.get(), 48000, 2, 1, false);
    ASSERT_EQ(r->SetRateAdjust(1.0), 0);
    std::vector<int16_t> nominal = FeedTone(r.get(), 48000, 2, 10, false);
    EXPECT_NEAR(static_cast<double>(nominal.size()) / 2, 441000.0, 20.0);

    EXPECT_EQ(r->SetRateAdjust(1.5), UC_RESAMPLE_ERR_BAD_ARGUMENT);
    EXPECT_EQ(r->SetRateAdjust(std::nan("")), UC_RESAMPLE_ERR_BAD_ARGUMENT);
    EXPECT_EQ(r->Compensate(441, 441), UC_RESAMPLE_ERR_BAD_ARGUMENT);
    EXPECT_EQ(r->Compensate(1, 0), UC_RESAMPLE_ERR_BAD_ARGUMENT);
}

TEST(Decodekit, RefusesBadSetupsAndCalls) {
    ResamplePtr r(CreateAudioResample());
    ASSERT_TRUE(r);
    unsigned char* data = nullptr;
    int bytes = 0;
    unsigned char in[8] = {};
    EXPECT_EQ(r->Convert(in, 8, &data, &bytes), UC_RESAMPLE_ERR_WRONG_STATE);
    EXPECT_EQ(r->SetRateAdjust(1.001), UC_RESAMPLE_ERR_WRONG_STATE);
    EXPECT_EQ(r->Init(2, 7, 44100, 1, UC_SAMPLE_S16, 48000), UC_RESAMPLE_ERR_NOT_SUPPORTED);
    EXPECT_EQ(r->Init(2, UC_SAMPLE_S16, 44100, 0, UC_SAMPLE_S16, 48000), UC_RESAMPLE_ERR_BAD_ARGUMENT);
    EXPECT_EQ(r->Init(2, UC_SAMPLE_S16, 44100, 1, UC_SAMPLE_S16, 0), UC_RESAMPLE_ERR_BAD_ARGUMENT);
    ASSERT_EQ(r->Init(1, UC_SAMPLE_S16, 16000, 2, UC_SAMPLE_FLOAT, 44100), 0);
    // A partial trailing frame is ignored; stereo float averages to mono.
    const float stereo[3] = {0.5f, 0.25f, 0.9f};
    EXPECT_EQ(r->Convert(reinterpret_cast<const unsigned char*>(stereo), 12, &data, &bytes), 0);
    EXPECT_EQ(r->Convert(nullptr, 4, &data, &bytes), UC_RESAMPLE_ERR_BAD_ARGUMENT);
    DestoryAudioResample(nullptr);

    // Stereo to mono at equal rates: the average of both sides.
    ASSERT_EQ(r->Init(1, UC_SAMPLE_S16, 44100, 2, UC_SAMPLE_S16, 44100), 0);
    const int16_t pair[4] = {1000, 3000, -2000, -4000};
    ASSERT_EQ(r->Convert(reinterpret_cast<const unsigned char*>(pair), 8, &data, &bytes), 0);
    ASSERT_EQ(bytes, 4);
    EXPECT_EQ(reinterpret_cast<const int16_t*>(data)[0], 2000);
    EXPECT_EQ(reinterpret_cast<const int16_t*>(data)[1], -3000);
}

}  // namespace

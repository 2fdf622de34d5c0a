// audiokit through its exports: encode tones, check the ADTS framing, decode
// with libavcodec and compare.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "audiokit/audiocodec.h"

namespace {

struct CodecDeleter {
    void operator()(CUcAudioCodec* p) const { DestoryAudioCodec(p); }
};
using CodecPtr = std::unique_ptr<CUcAudioCodec, CodecDeleter>;

constexpr double kPi = 3.14159265358979323846;

_UCAudioCodecInfo EngineInfo() {
    _UCAudioCodecInfo info;
    info.sampleRate = 44100;
    info.codecType = 106;
    info.channels = 2;
    info.bitRate = 72000;
    info.mode = 1;
    return info;
}

// Interleaved stereo: 1 kHz on the left, 500 Hz on the right, half scale.
std::vector<int16_t> MakeTones(int frames) {
    std::vector<int16_t> pcm(static_cast<std::size_t>(frames) * 2);
    for (int i = 0; i < frames; ++i) {
        pcm[2 * i] = static_cast<int16_t>(std::lround(16384 * std::sin(2 * kPi * 1000 * i / 44100.0)));
        pcm[2 * i + 1] = static_cast<int16_t>(std::lround(16384 * std::sin(2 * kPi * 500 * i / 44100.0)));
    }
    return pcm;
}

struct AdtsFields {
    bool valid = false;
    int id = -1, layer = -1, protectionAbsent = -1, profile = -1, sfi = -1, channels = -1;
    int length = -1, fullness = -1, blocks = -1;
};

AdtsFields ParseAdts(const unsigned char* h) {
    AdtsFields f;
    f.valid = h[0] == 0xFF && (h[1] & 0xF0) == 0xF0;
    f.id = (h[1] >> 3) & 1;
    f.layer = (h[1] >> 1) & 3;
    f.protectionAbsent = h[1] & 1;
    f.profile = h[2] >> 6;
    f.sfi = (h[2] >> 2) & 15;
    f.channels = ((h[2] & 1) << 2) | (h[3] >> 6);
    f.length = ((h[3] & 3) << 11) | (h[4] << 3) | (h[5] >> 5);
    f.fullness = ((h[5] & 0x1F) << 6) | (h[6] >> 2);
    f.blocks = h[6] & 3;
    return f;
}

// Decodes raw AAC access units with the given AudioSpecificConfig into
// per-channel float samples.
std::vector<std::vector<float>> DecodeAac(const std::vector<std::vector<unsigned char>>& units,
                                          const unsigned char* asc, int ascLen) {
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_AAC);
    AVCodecContext* ctx = avcodec_alloc_context3(codec);
    ctx->extradata = static_cast<uint8_t*>(av_mallocz(ascLen + AV_INPUT_BUFFER_PADDING_SIZE));
    std::memcpy(ctx->extradata, asc, static_cast<std::size_t>(ascLen));
    ctx->extradata_size = ascLen;
    std::vector<std::vector<float>> out;
    EXPECT_EQ(avcodec_open2(ctx, codec, nullptr), 0);
    AVPacket* pkt = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    auto receive = [&]() {
        while (avcodec_receive_frame(ctx, frame) == 0) {
            EXPECT_EQ(frame->format, AV_SAMPLE_FMT_FLTP);
            out.resize(static_cast<std::size_t>(frame->ch_layout.nb_channels));
            for (int c = 0; c < frame->ch_layout.nb_channels; ++c) {
                const float* p = reinterpret_cast<const float*>(frame->extended_data[c]);
                out[c].insert(out[c].end(), p, p + frame->nb_samples);
            }
            av_frame_unref(frame);
        }
    };
    for (const auto& unit : units) {
        EXPECT_EQ(av_new_packet(pkt, static_cast<int>(unit.size())), 0);
        std::memcpy(pkt->data, unit.data(), unit.size());
        EXPECT_EQ(avcodec_send_packet(ctx, pkt), 0);
        av_packet_unref(pkt);
        receive();
    }
    avcodec_send_packet(ctx, nullptr);
    receive();
    av_frame_free(&frame);
    av_packet_free(&pkt);
    avcodec_free_context(&ctx);
    return out;
}

// Frequency from rising zero crossings over [from, from + count).
double Frequency(const std::vector<float>& s, std::size_t from, std::size_t count) {
    int crossings = 0;
    for (std::size_t i = from + 1; i < from + count; ++i) {
        if (s[i - 1] < 0 && s[i] >= 0) {
            ++crossings;
        }
    }
    return crossings * 44100.0 / static_cast<double>(count);
}

double Rms(const std::vector<float>& s, std::size_t from, std::size_t count) {
    double sum = 0;
    for (std::size_t i = from; i < from + count; ++i) {
        sum += double{s[i]} * s[i];
    }
    return std::sqrt(sum / static_cast<double>(count));
}

TEST(Audiokit, TwoSecondsOfTonesRoundTripThroughAdts) {
    _UCAudioCodecInfo info = EngineInfo();
    CodecPtr codec(CreateAudioCodec(&info, 0));
    ASSERT_TRUE(codec);
    EXPECT_EQ(codec->GetPayloadType(), 106);
    EXPECT_EQ(codec->GetFrameSamples(), 1024);
    EXPECT_EQ(codec->GetDelaySamples(), 1024);
    _UCAudioCodecInfo inEffect;
    ASSERT_EQ(codec->GetCodecInfo(&inEffect), 0);
    EXPECT_EQ(inEffect.bitRate, 72000);

    const int totalFrames = 88200;  // 2 s: 86 whole calls and one of 136 frames
    std::vector<int16_t> pcm = MakeTones(totalFrames);
    std::vector<std::vector<unsigned char>> adts;
    int calls = 0;
    auto collect = [&](unsigned char* out, int len, unsigned short samples) {
        if (len == 0) {
            EXPECT_EQ(samples, 0);
            return;
        }
        EXPECT_EQ(samples, 1024);
        adts.emplace_back(out, out + len);
    };
    for (int pos = 0; pos < totalFrames; pos += 1024, ++calls) {
        int frames = std::min(1024, totalFrames - pos);
        unsigned char* out = nullptr;
        int len = -1;
        unsigned short samples = 7;
        ASSERT_EQ(codec->Encode(reinterpret_cast<const unsigned char*>(&pcm[2 * pos]), frames * 4, &out,
                                &len, &samples, 44100),
                  0);
        if (calls == 0) {
            EXPECT_EQ(len, 0) << "the first call fills the encoder's delay";
        }
        collect(out, len, samples);
    }
    EXPECT_EQ(calls, 87);
    for (;;) {
        unsigned char* out = nullptr;
        int len = -1;
        unsigned short samples = 7;
        ASSERT_EQ(codec->Flush(&out, &len, &samples), 0);
        if (len == 0) {
            break;
        }
        collect(out, len, samples);
    }
    ASSERT_EQ(adts.size(), static_cast<std::size_t>(calls) + 1) << "N calls + flush = N + 1 frames";

    unsigned char* asc = nullptr;
    int ascLen = 0;
    ASSERT_EQ(codec->GetAudioSpecificConfig(&asc, &ascLen), 0);
    ASSERT_EQ(ascLen, 2);
    EXPECT_EQ(asc[0], 0x12);  // AAC LC, 44100 Hz (index 4) ...
    EXPECT_EQ(asc[1], 0x10);  // ... 2 channels

    std::vector<std::vector<unsigned char>> units;
    std::size_t bytes = 0;
    for (const auto& frame : adts) {
        ASSERT_GT(frame.size(), 7u);
        AdtsFields f = ParseAdts(frame.data());
        EXPECT_TRUE(f.valid);
        EXPECT_EQ(f.id, 0);
        EXPECT_EQ(f.layer, 0);
        EXPECT_EQ(f.protectionAbsent, 1);
        EXPECT_EQ(f.profile, 1);  // AAC LC
        EXPECT_EQ(f.sfi, 4);      // 44100 Hz
        EXPECT_EQ(f.channels, 2);
        EXPECT_EQ(f.length, static_cast<int>(frame.size()));
        EXPECT_EQ(f.fullness, 0x7FF);
        EXPECT_EQ(f.blocks, 0);
        units.emplace_back(frame.begin() + 7, frame.end());
        bytes += frame.size();
    }
    // 72 kbit/s within a loose margin (the encoder's rate control is approximate).
    double kbps = bytes * 8.0 / (units.size() * 1024 / 44100.0) / 1000.0;
    EXPECT_GT(kbps, 40.0);
    EXPECT_LT(kbps, 100.0);

    std::vector<std::vector<float>> decoded = DecodeAac(units, asc, ascLen);
    ASSERT_EQ(decoded.size(), 2u);
    // Priming, then every input frame (the last call padded to 1024).
    EXPECT_EQ(decoded[0].size() - 1024, static_cast<std::size_t>(calls) * 1024);
    EXPECT_NEAR(Frequency(decoded[0], 2048, 44100), 1000.0, 3.0);
    EXPECT_NEAR(Frequency(decoded[1], 2048, 44100), 500.0, 3.0);
    EXPECT_NEAR(Rms(decoded[0], 2048, 44100), 0.5 / std::sqrt(2.0), 0.05);
    // The priming is exactly 1024 samples: decoded[1024 + n] follows input n
    // best, within the codec's noise.
    auto meanError = [&](int lag) {
        double err = 0;
        for (int n = 4096; n < 4096 + 4410; ++n) {
            err += std::abs(decoded[0][static_cast<std::size_t>(lag + n)] - pcm[2 * n] / 32768.0f);
        }
        return err / 4410;
    };
    // (Within half a period of the 1 kHz tone; the silent priming rules out
    // whole periods.)
    int bestLag = 1002;
    for (int lag = 1002; lag < 1046; ++lag) {
        if (meanError(lag) < meanError(bestLag)) {
            bestLag = lag;
        }
    }
    EXPECT_EQ(bestLag, 1024);
    EXPECT_LT(meanError(1024), 0.04);
    EXPECT_LT(Rms(decoded[0], 0, 1024), 0.1) << "the priming is (noisy) silence";
}

TEST(Audiokit, ShortRunsArePaddedAndBadCallsRefused) {
    _UCAudioCodecInfo info = EngineInfo();
    CodecPtr codec(CreateAudioCodec(&info, 0));
    ASSERT_TRUE(codec);
    std::vector<int16_t> pcm = MakeTones(2048);
    unsigned char* out = nullptr;
    int len = 0;
    unsigned short samples = 0;
    // More than one frame, a foreign rate, missing data.
    EXPECT_EQ(codec->Encode(reinterpret_cast<const unsigned char*>(pcm.data()), 4100, &out, &len, &samples, 44100),
              UC_AUDIO_ERR_BAD_ARGUMENT);
    EXPECT_EQ(codec->Encode(reinterpret_cast<const unsigned char*>(pcm.data()), 4096, &out, &len, &samples, 48000),
              UC_AUDIO_ERR_BAD_ARGUMENT);
    EXPECT_EQ(codec->Encode(nullptr, 4096, &out, &len, &samples, 44100), UC_AUDIO_ERR_BAD_ARGUMENT);
    // 600 frames, then whole frames: every output frame covers 1024 samples.
    int produced = 0;
    for (int i = 0; i < 4; ++i) {
        int bytes = i == 0 ? 2400 : 4096;
        ASSERT_EQ(codec->Encode(reinterpret_cast<const unsigned char*>(pcm.data()), bytes, &out, &len,
                                &samples, 44100),
                  0);
        if (len > 0) {
            EXPECT_EQ(samples, 1024);
            ++produced;
        }
    }
    EXPECT_EQ(produced, 3);
    ASSERT_EQ(codec->Flush(&out, &len, &samples), 0);
    EXPECT_GT(len, 0);
    EXPECT_EQ(codec->Encode(reinterpret_cast<const unsigned char*>(pcm.data()), 4096, &out, &len, &samples, 44100),
              UC_AUDIO_ERR_WRONG_STATE);
    do {
        ASSERT_EQ(codec->Flush(&out, &len, &samples), 0);
    } while (len > 0);
    EXPECT_EQ(codec->Flush(&out, &len, &samples), 0);  // drained stays drained
    EXPECT_EQ(len, 0);

    EXPECT_EQ(codec->EncoderCtl(1, nullptr), UC_AUDIO_ERR_NOT_SUPPORTED);
    EXPECT_EQ(codec->SetVAD(true), 0);
    EXPECT_TRUE(codec->GetVAD());
}

TEST(Audiokit, RecordDefaultsAndRefusedRecords) {
    _UCAudioCodecInfo defaults;
    EXPECT_EQ(defaults.sampleRate, 16000);
    EXPECT_EQ(defaults.channels, 1);
    EXPECT_EQ(defaults.bitRate, 23);
    EXPECT_EQ(defaults.mode, 1);

    EXPECT_EQ(CreateAudioCodec(nullptr, 0), nullptr);
    EXPECT_EQ(CreateAudioCodec(&defaults, 0), nullptr) << "codec type not set";
    _UCAudioCodecInfo info = EngineInfo();
    EXPECT_EQ(CreateAudioCodec(&info, 1), nullptr);
    info.mode = 2;
    EXPECT_EQ(CreateAudioCodec(&info, 0), nullptr);
    info = EngineInfo();
    info.channels = 3;
    EXPECT_EQ(CreateAudioCodec(&info, 0), nullptr);
    info = EngineInfo();
    info.sampleRate = 44000;
    EXPECT_EQ(CreateAudioCodec(&info, 0), nullptr);
    DestoryAudioCodec(nullptr);

    // The default record with AAC chosen: 16 kHz mono at 23 kbit/s.
    defaults.codecType = 106;
    CodecPtr mono(CreateAudioCodec(&defaults, 0));
    ASSERT_TRUE(mono);
    _UCAudioCodecInfo inEffect;
    ASSERT_EQ(mono->GetCodecInfo(&inEffect), 0);
    EXPECT_EQ(inEffect.bitRate, 23000);
}

TEST(Audiokit, RawModeGivesTheSameFramesWithoutHeaders) {
    _UCAudioCodecInfo info = EngineInfo();
    CodecPtr adts(CreateAudioCodec(&info, 0));
    info.mode = 0;
    CodecPtr raw(CreateAudioCodec(&info, 0));
    ASSERT_TRUE(adts && raw);
    std::vector<int16_t> pcm = MakeTones(1024 * 4);
    for (int i = 0; i < 4; ++i) {
        const auto* in = reinterpret_cast<const unsigned char*>(&pcm[2048 * i]);
        unsigned char* a = nullptr;
        unsigned char* r = nullptr;
        int aLen = 0, rLen = 0;
        unsigned short s = 0;
        ASSERT_EQ(adts->Encode(in, 4096, &a, &aLen, &s, 44100), 0);
        ASSERT_EQ(raw->Encode(in, 4096, &r, &rLen, &s, 44100), 0);
        if (aLen == 0) {
            EXPECT_EQ(rLen, 0);
            continue;
        }
        ASSERT_EQ(aLen, rLen + 7);
        EXPECT_EQ(std::memcmp(a + 7, r, static_cast<std::size_t>(rLen)), 0);
    }
}

}  // namespace

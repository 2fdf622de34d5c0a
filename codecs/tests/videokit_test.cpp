// videokit through its exports: encode test pictures, decode them back with
// libavcodec's H.264 decoder and compare.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
#include <libavutil/pixdesc.h>
}

#include <atomic>
#include <cstdarg>
#include <cstdio>

#include "videokit/h264changedrows.h"
#include "videokit/h264codec.h"

namespace {

struct CodecDeleter {
    void operator()(CUcH264codec* p) const { DestoryH264Codec(p); }
};
using CodecPtr = std::unique_ptr<CUcH264codec, CodecDeleter>;

// Colour bars over the top half (for colour checks), a grey square moving
// 2 pixels per picture over a dark background below.
std::vector<uint8_t> MakeBgra(int w, int h, int frame) {
    static const uint8_t kBars[6][3] = {{235, 235, 235}, {30, 200, 220}, {200, 200, 30},
                                        {40, 190, 40},   {190, 40, 190}, {40, 40, 200}};  // B,G,R
    std::vector<uint8_t> pic(static_cast<std::size_t>(w) * h * 4);
    const int square = h / 4;
    const int sx = (frame * 2) % (w - square);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            uint8_t* p = &pic[(static_cast<std::size_t>(y) * w + x) * 4];
            if (y < h / 2) {
                const uint8_t* c = kBars[x * 6 / w];
                p[0] = c[0];
                p[1] = c[1];
                p[2] = c[2];
            } else {
                bool inSquare = x >= sx && x < sx + square && y >= h * 5 / 8 && y < h * 5 / 8 + square;
                p[0] = inSquare ? 128 : 90;
                p[1] = inSquare ? 128 : 40;
                p[2] = inSquare ? 128 : 20;
            }
            p[3] = 255;
        }
    }
    return pic;
}

// The same picture as I420 or NV12, BT.709 limited range.
std::vector<uint8_t> BgraToYuv(const std::vector<uint8_t>& bgra, int w, int h, bool bNv12) {
    std::vector<uint8_t> out(static_cast<std::size_t>(w) * h * 3 / 2);
    auto rgb = [&](int x, int y, int c) {
        return bgra[(static_cast<std::size_t>(y) * w + x) * 4 + static_cast<std::size_t>(2 - c)] / 255.0;
    };
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            double yy = 0.2126 * rgb(x, y, 0) + 0.7152 * rgb(x, y, 1) + 0.0722 * rgb(x, y, 2);
            out[static_cast<std::size_t>(y) * w + x] = static_cast<uint8_t>(std::lround(16 + 219 * yy));
        }
    }
    uint8_t* u = out.data() + static_cast<std::size_t>(w) * h;
    uint8_t* v = u + static_cast<std::size_t>(w / 2) * (h / 2);
    for (int y = 0; y < h / 2; ++y) {
        for (int x = 0; x < w / 2; ++x) {
            double r = 0, g = 0, b = 0;
            for (int k = 0; k < 4; ++k) {
                r += rgb(2 * x + k % 2, 2 * y + k / 2, 0) / 4;
                g += rgb(2 * x + k % 2, 2 * y + k / 2, 1) / 4;
                b += rgb(2 * x + k % 2, 2 * y + k / 2, 2) / 4;
            }
            double yy = 0.2126 * r + 0.7152 * g + 0.0722 * b;
            auto cb = static_cast<uint8_t>(std::lround(128 + 224 * (b - yy) / 1.8556));
            auto cr = static_cast<uint8_t>(std::lround(128 + 224 * (r - yy) / 1.5748));
            std::size_t i = static_cast<std::size_t>(y) * (w / 2) + x;
            if (bNv12) {
                u[2 * i] = cb;
                u[2 * i + 1] = cr;
            } else {
                u[i] = cb;
                v[i] = cr;
            }
        }
    }
    return out;
}

struct DecodedPicture {
    std::vector<uint8_t> bgr;  // 3 bytes per pixel, B, G, R
    int64_t pts = 0;
    int width = 0;
    int height = 0;
    AVPixelFormat format = AV_PIX_FMT_NONE;
    AVColorSpace colorspace = AVCOL_SPC_UNSPECIFIED;
};

// Counts what libavcodec logs as an error (a damaged slice the decoder
// conceals is only logged) while it is in scope, printing the messages.
class CAvErrorCount {
public:
    CAvErrorCount() {
        s_count = 0;
        av_log_set_callback(&CAvErrorCount::_Log);
    }
    ~CAvErrorCount() { av_log_set_callback(av_log_default_callback); }
    CAvErrorCount(const CAvErrorCount&) = delete;
    CAvErrorCount& operator=(const CAvErrorCount&) = delete;
    int Count() const { return s_count; }

private:
    static void _Log(void* avcl, int level, const char* fmt, va_list args) {
        if (level <= AV_LOG_ERROR) {
            ++s_count;
            av_log_default_callback(avcl, level, fmt, args);
        }
    }
    static inline std::atomic<int> s_count{0};
};

// libavcodec's H.264 decoder fed with AVCC frames and an avcC record.
class CTestH264Decoder {
public:
    explicit CTestH264Decoder(const unsigned char* config, int length) {
        const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
        m_ctx = avcodec_alloc_context3(codec);
        m_ctx->extradata = static_cast<uint8_t*>(av_mallocz(length + AV_INPUT_BUFFER_PADDING_SIZE));
        std::memcpy(m_ctx->extradata, config, static_cast<std::size_t>(length));
        m_ctx->extradata_size = length;
        m_ctx->thread_count = 1;
        // Any fault the decoder notices fails the decode instead of being
        // concealed.
        m_ctx->err_recognition = AV_EF_EXPLODE | AV_EF_BITSTREAM | AV_EF_BUFFER;
        m_bOpen = avcodec_open2(m_ctx, codec, nullptr) == 0;
        m_frame = av_frame_alloc();
        m_pkt = av_packet_alloc();
    }
    ~CTestH264Decoder() {
        av_packet_free(&m_pkt);
        av_frame_free(&m_frame);
        avcodec_free_context(&m_ctx);
    }
    CTestH264Decoder(const CTestH264Decoder&) = delete;
    CTestH264Decoder& operator=(const CTestH264Decoder&) = delete;

    bool IsOpen() const { return m_bOpen; }
    int HasBFrames() const { return m_ctx->has_b_frames; }

    bool Decode(const unsigned char* data, int length, int64_t pts, bool key) {
        if (av_new_packet(m_pkt, length) < 0) {
            return false;
        }
        std::memcpy(m_pkt->data, data, static_cast<std::size_t>(length));
        m_pkt->pts = pts;
        m_pkt->dts = pts;
        m_pkt->flags = key ? AV_PKT_FLAG_KEY : 0;
        int rv = avcodec_send_packet(m_ctx, m_pkt);
        av_packet_unref(m_pkt);
        return rv == 0 && _Receive();
    }
    bool Flush() { return avcodec_send_packet(m_ctx, nullptr) == 0 && _Receive(); }

    std::vector<DecodedPicture> pictures;

private:
    bool _Receive() {
        for (;;) {
            int rv = avcodec_receive_frame(m_ctx, m_frame);
            if (rv == AVERROR(EAGAIN) || rv == AVERROR_EOF) {
                return true;
            }
            if (rv < 0) {
                return false;
            }
            pictures.push_back(_ToBgr(m_frame));
            av_frame_unref(m_frame);
        }
    }
    // BT.709 limited range back to RGB, written out by hand.
    static DecodedPicture _ToBgr(const AVFrame* f) {
        DecodedPicture d;
        d.pts = f->pts;
        d.width = f->width;
        d.height = f->height;
        d.format = static_cast<AVPixelFormat>(f->format);
        d.colorspace = f->colorspace;
        const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(d.format);
        d.bgr.resize(static_cast<std::size_t>(f->width) * f->height * 3);
        for (int y = 0; y < f->height; ++y) {
            for (int x = 0; x < f->width; ++x) {
                int cx = x >> desc->log2_chroma_w;
                int cy = y >> desc->log2_chroma_h;
                double yy = (f->data[0][y * f->linesize[0] + x] - 16) / 219.0;
                double cb = (f->data[1][cy * f->linesize[1] + cx] - 128) / 224.0;
                double cr = (f->data[2][cy * f->linesize[2] + cx] - 128) / 224.0;
                double rgb[3] = {yy + 1.5748 * cr, yy - 0.1873 * cb - 0.4681 * cr, yy + 1.8556 * cb};
                uint8_t* p = &d.bgr[(static_cast<std::size_t>(y) * f->width + x) * 3];
                for (int c = 0; c < 3; ++c) {
                    double v = std::lround(rgb[c] * 255.0);
                    p[2 - c] = static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
                }
            }
        }
        return d;
    }

    AVCodecContext* m_ctx = nullptr;
    AVFrame* m_frame = nullptr;
    AVPacket* m_pkt = nullptr;
    bool m_bOpen = false;
};

// NAL unit types of an AVCC frame; false when the length prefixes do not
// tile the buffer exactly.
bool ParseAvcc(const unsigned char* data, int length, std::vector<int>& types) {
    int pos = 0;
    while (pos < length) {
        if (length - pos < 5) {
            return false;
        }
        uint32_t n = (uint32_t{data[pos]} << 24) | (uint32_t{data[pos + 1]} << 16) |
                     (uint32_t{data[pos + 2]} << 8) | data[pos + 3];
        if (n == 0 || n > static_cast<uint32_t>(length - pos - 4)) {
            return false;
        }
        types.push_back(data[pos + 4] & 0x1F);
        pos += 4 + static_cast<int>(n);
    }
    return pos == length && !types.empty();
}

double MeanAbsError(const std::vector<uint8_t>& bgra, const DecodedPicture& d) {
    double sum = 0;
    std::size_t pixels = static_cast<std::size_t>(d.width) * d.height;
    for (std::size_t i = 0; i < pixels; ++i) {
        for (int c = 0; c < 3; ++c) {
            sum += std::abs(int{bgra[i * 4 + c]} - int{d.bgr[i * 3 + c]});
        }
    }
    return sum / (pixels * 3.0);
}

UcH264EncodeParam MakeParam(int w, int h, int format) {
    UcH264EncodeParam p;
    p.width = w;
    p.height = h;
    p.frameRate = 15;
    p.inputFormat = format;
    p.secondFormat = format;
    p.bitRate = 1500000;
    return p;
}

struct EncodedFrame {
    std::vector<unsigned char> bytes;
    int type = 0;
    uint32_t timestamp = 0;
};

// Encodes the pictures, then drains the encoder; checks the AVCC form of
// every frame on the way.
std::vector<EncodedFrame> EncodeAll(CUcH264codec* codec, const std::vector<std::vector<uint8_t>>& pics,
                                    int w, int h) {
    std::vector<EncodedFrame> frames;
    auto keep = [&](int type, unsigned char* out, int len, uint32_t ts) {
        if (type == UC_H264_FRAME_NONE) {
            return;
        }
        std::vector<int> nals;
        EXPECT_TRUE(ParseAvcc(out, len, nals));
        for (int t : nals) {
            EXPECT_TRUE(t != 7 && t != 8) << "SPS/PPS inside a frame";
        }
        frames.push_back({std::vector<unsigned char>(out, out + len), type, ts});
    };
    for (std::size_t i = 0; i < pics.size(); ++i) {
        unsigned char* out = nullptr;
        int len = 0;
        uint32_t ts = 5000 + static_cast<uint32_t>(i) * 66;
        int type = codec->Encode(pics[i].data(), static_cast<int>(pics[i].size()), w, h, &out, &len, &ts);
        EXPECT_EQ(ts, 5000 + static_cast<uint32_t>(i) * 66);
        keep(type, out, len, ts);
    }
    for (;;) {
        unsigned char* out = nullptr;
        int len = 0;
        uint32_t ts = 0;
        int type = codec->Flush(&out, &len, &ts);
        if (type == UC_H264_FRAME_NONE) {
            EXPECT_EQ(len, 0);
            break;
        }
        keep(type, out, len, ts);
    }
    return frames;
}

std::unique_ptr<CTestH264Decoder> DecodeAll(CUcH264codec* codec, const std::vector<EncodedFrame>& frames) {
    unsigned char* config = nullptr;
    int configLen = 0;
    EXPECT_EQ(codec->GetAVCConfig(&config, &configLen), 0);
    auto decoder = std::make_unique<CTestH264Decoder>(config, configLen);
    EXPECT_TRUE(decoder->IsOpen());
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const EncodedFrame& f = frames[i];
        EXPECT_TRUE(decoder->Decode(f.bytes.data(), static_cast<int>(f.bytes.size()),
                                    static_cast<int64_t>(i), f.type == 1 || f.type == 2));
    }
    EXPECT_TRUE(decoder->Flush());
    return decoder;
}

class VideokitRoundTrip : public ::testing::TestWithParam<std::pair<int, int>> {};

TEST_P(VideokitRoundTrip, BgraPicturesDecodeBackWithTheirColours) {
    const int w = GetParam().first;
    const int h = GetParam().second;
    CodecPtr codec(CreateH264Codec(0));
    ASSERT_TRUE(codec);
    UcH264EncodeParam param = MakeParam(w, h, UC_PIX_BGRA);
    ASSERT_EQ(codec->Init(&param), 0);

    unsigned char* config = nullptr;
    int configLen = 0;
    ASSERT_EQ(codec->GetAVCConfig(&config, &configLen), 0);
    ASSERT_GT(configLen, 11);
    EXPECT_EQ(config[0], 1);
    EXPECT_EQ(config[4], 0xFF);  // 4-byte lengths
    EXPECT_EQ(config[5], 0xE1);  // one SPS
    const int spsLen = (config[6] << 8) | config[7];
    EXPECT_EQ(config[8] & 0x1F, 7);
    EXPECT_EQ(config[1], config[9]);  // profile copied from the SPS
    EXPECT_EQ(config[8 + spsLen], 1);  // one PPS
    EXPECT_EQ(config[11 + spsLen] & 0x1F, 8);

    std::vector<std::vector<uint8_t>> pics;
    for (int i = 0; i < 30; ++i) {
        pics.push_back(MakeBgra(w, h, i));
    }
    std::vector<EncodedFrame> frames = EncodeAll(codec.get(), pics, w, h);
    ASSERT_EQ(frames.size(), pics.size()) << "pictures in = frames out";
    EXPECT_EQ(frames[0].type, UC_H264_FRAME_IDR);
    std::size_t totalBytes = 0;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(frames[i].timestamp, 5000 + i * 66);
        if (i > 0) {
            EXPECT_EQ(frames[i].type, UC_H264_FRAME_P) << "frame " << i;
        }
        totalBytes += frames[i].bytes.size();
    }
    // 2 s at 1.5 Mbit/s with 1.5 x peaks: well under 3 Mbit/s on average.
    EXPECT_LT(totalBytes * 8 / 2, 3000000u);

    auto decoder = DecodeAll(codec.get(), frames);
    ASSERT_EQ(decoder->pictures.size(), pics.size());
    EXPECT_EQ(decoder->HasBFrames(), 0);
    for (std::size_t i = 0; i < pics.size(); ++i) {
        const DecodedPicture& d = decoder->pictures[i];
        EXPECT_EQ(d.pts, static_cast<int64_t>(i)) << "decode order = presentation order";
        ASSERT_EQ(d.width, w);
        ASSERT_EQ(d.height, h);
        EXPECT_EQ(d.format, AV_PIX_FMT_YUV420P);
        EXPECT_EQ(d.colorspace, AVCOL_SPC_BT709);
        EXPECT_LT(MeanAbsError(pics[i], d), 4.0) << "picture " << i;
    }
    // The middle of every bar keeps its colour (a wrong matrix or range
    // shifts saturated colours by 10 or more).
    const DecodedPicture& last = decoder->pictures.back();
    for (int bar = 0; bar < 6; ++bar) {
        int x = (2 * bar + 1) * w / 12;
        int y = h / 4;
        for (int c = 0; c < 3; ++c) {
            int in = pics.back()[(static_cast<std::size_t>(y) * w + x) * 4 + c];
            int out = last.bgr[(static_cast<std::size_t>(y) * w + x) * 3 + c];
            EXPECT_NEAR(out, in, 5) << "bar " << bar << " channel " << c;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, VideokitRoundTrip,
                         ::testing::Values(std::make_pair(320, 240), std::make_pair(1280, 720)));

TEST(Videokit, KeyFrameIntervalComesFromTheRecord) {
    CodecPtr codec(CreateH264Codec(0));
    ASSERT_TRUE(codec);
    UcH264EncodeParam param = MakeParam(320, 240, UC_PIX_BGRA);
    param.encoderValueA = 10;
    ASSERT_EQ(codec->Init(&param), 0);
    std::vector<std::vector<uint8_t>> pics;
    for (int i = 0; i < 35; ++i) {
        pics.push_back(MakeBgra(320, 240, i));
    }
    std::vector<EncodedFrame> frames = EncodeAll(codec.get(), pics, 320, 240);
    ASSERT_EQ(frames.size(), pics.size());
    for (std::size_t i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(frames[i].type, i % 10 == 0 ? UC_H264_FRAME_IDR : UC_H264_FRAME_P) << "frame " << i;
    }

    // A forced key frame comes at once; the interval counts from it.
    unsigned char* out = nullptr;
    int len = 0;
    uint32_t ts = 0;
    auto pic = MakeBgra(320, 240, 35);
    ASSERT_EQ(codec->ForceKeyFrame(), 0);
    EXPECT_EQ(codec->Encode(pic.data(), static_cast<int>(pic.size()), 320, 240, &out, &len, &ts),
              UC_H264_FRAME_IDR);
    EXPECT_EQ(codec->GetDelayedFrames(), 0);

    UcH264EncodeParam inEffect;
    ASSERT_EQ(codec->GetParam(&inEffect), 0);
    EXPECT_EQ(inEffect.encoderValueA, 10);
    EXPECT_EQ(inEffect.value10, 2);  // default threads
    EXPECT_EQ(inEffect.value7, 3);   // veryfast
}

// Dark glyph-like strokes on a white page, scrolled by `scroll` rows.
std::vector<uint8_t> MakeTextPage(int w, int h, int scroll) {
    std::vector<uint8_t> pic(static_cast<std::size_t>(w) * h * 4);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            int yy = y + scroll;
            bool glyph = (yy / 14) % 2 == 0 && ((x * 7 + (yy % 14) * 13) ^ (x / 8 * 31)) % 5 == 0 &&
                         x % 8 != 7;
            uint8_t* p = &pic[(static_cast<std::size_t>(y) * w + x) * 4];
            p[0] = p[1] = p[2] = glyph ? 20 : 245;
            p[3] = 255;
        }
    }
    return pic;
}

// The screen settings at the recorder's rate: a page of small text, still
// and then scrolling, stays close to the original once the first second has
// been spent on the key frame.
TEST(Videokit, SmallTextStaysSharpAt1500kbps) {
    CodecPtr codec(CreateH264Codec(0));
    ASSERT_TRUE(codec);
    UcH264EncodeParam param = MakeParam(1280, 720, UC_PIX_BGRA);
    ASSERT_EQ(codec->Init(&param), 0);
    std::vector<std::vector<uint8_t>> pics;
    for (int i = 0; i < 30; ++i) {
        pics.push_back(MakeTextPage(1280, 720, i < 20 ? 0 : (i - 19) * 2));
    }
    std::vector<EncodedFrame> frames = EncodeAll(codec.get(), pics, 1280, 720);
    ASSERT_EQ(frames.size(), pics.size());
    auto decoder = DecodeAll(codec.get(), frames);
    ASSERT_EQ(decoder->pictures.size(), pics.size());
    EXPECT_LT(MeanAbsError(pics[19], decoder->pictures[19]), 3.5) << "still page";
    EXPECT_LT(MeanAbsError(pics[29], decoder->pictures[29]), 4.5) << "scrolling page";
}

// A still screen at the recorder's settings settles: once the page is as
// good as it gets, pictures announced as unchanged cost next to nothing.
// Without a quantiser floor the average bit rate kept refining the same page
// down to quantiser 0, about 2-3 KB per picture for ever.
TEST(Videokit, AStillScreenSettlesIntoNearlyEmptyPictures) {
    CodecPtr codec(CreateH264Codec(0));
    ASSERT_TRUE(codec);
    auto* rows = dynamic_cast<IH264ChangedRows*>(codec.get());
    ASSERT_NE(rows, nullptr);
    UcH264EncodeParam param = MakeParam(1280, 720, UC_PIX_I420);
    ASSERT_EQ(codec->Init(&param), 0);
    const std::vector<uint8_t> page = MakeTextPage(1280, 720, 0);
    const std::vector<uint8_t> i420 = BgraToYuv(page, 1280, 720, false);
    std::vector<EncodedFrame> frames;
    for (int i = 0; i < 150; ++i) {
        if (i > 0) {
            ASSERT_EQ(rows->SetNextChangedRows(0, 0), 0);
        }
        unsigned char* out = nullptr;
        int len = 0;
        uint32_t ts = static_cast<uint32_t>(i) * 66;
        int type = codec->Encode(i420.data(), static_cast<int>(i420.size()), 1280, 720, &out, &len, &ts);
        ASSERT_NE(type, UC_H264_FRAME_NONE) << i;
        frames.push_back({std::vector<unsigned char>(out, out + len), type, ts});
    }
    std::size_t lastBytes = 0;
    for (std::size_t i = 90; i < frames.size(); ++i) lastBytes += frames[i].bytes.size();
    EXPECT_LT(lastBytes / 60, 400u) << "bytes per picture in the last 4 s";
    auto decoder = DecodeAll(codec.get(), frames);
    ASSERT_EQ(decoder->pictures.size(), frames.size());
    EXPECT_LT(MeanAbsError(page, decoder->pictures.back()), 2.0) << "the settled page";
}

// Other input layouts: planar and semi-planar YUV, bottom-up rows, a size
// whose chroma rows have an odd width, a picture scaled to the encoder size
// and 4:4:4 encoding.
TEST(Videokit, OtherFormatsAndSizesDecodeBack) {
    struct Case {
        int format;
        int w, h;      // encoder size
        int pw, ph;    // picture size
        int chroma;    // secondFormat
        AVPixelFormat decoded;
        double bound;
    };
    const Case cases[] = {
        {UC_PIX_I420, 320, 240, 320, 240, UC_PIX_I420, AV_PIX_FMT_YUV420P, 4.0},
        {UC_PIX_NV12, 320, 240, 320, 240, UC_PIX_NV12, AV_PIX_FMT_YUV420P, 4.0},
        {UC_PIX_BGRA_FLIP, 320, 240, 320, 240, UC_PIX_BGRA, AV_PIX_FMT_YUV420P, 4.0},
        {UC_PIX_BGRA, 322, 242, 322, 242, UC_PIX_BGRA, AV_PIX_FMT_YUV420P, 4.0},
        {UC_PIX_BGRA, 320, 240, 640, 480, UC_PIX_BGRA, AV_PIX_FMT_YUV420P, 6.0},
        {UC_PIX_BGRA, 320, 240, 320, 240, UC_PIX_I444, AV_PIX_FMT_YUV444P, 4.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "format " << c.format << " " << c.pw << "x" << c.ph
                                          << " chroma " << c.chroma);
        CodecPtr codec(CreateH264Codec(0));
        ASSERT_TRUE(codec);
        UcH264EncodeParam param = MakeParam(c.w, c.h, c.format);
        param.secondFormat = c.chroma;
        ASSERT_EQ(codec->Init(&param), 0);
        std::vector<std::vector<uint8_t>> reference;  // what the decoded pictures should show
        std::vector<std::vector<uint8_t>> input;
        for (int i = 0; i < 5; ++i) {
            auto bgra = MakeBgra(c.pw, c.ph, i);
            reference.push_back(c.pw == c.w ? bgra : MakeBgra(c.w, c.h, i / 2));
            if (c.format == UC_PIX_I420 || c.format == UC_PIX_NV12) {
                input.push_back(BgraToYuv(bgra, c.pw, c.ph, c.format == UC_PIX_NV12));
            } else if (c.format == UC_PIX_BGRA_FLIP) {
                std::vector<uint8_t> flipped(bgra.size());
                std::size_t row = static_cast<std::size_t>(c.pw) * 4;
                for (int y = 0; y < c.ph; ++y) {
                    std::memcpy(&flipped[(c.ph - 1 - y) * row], &bgra[y * row], row);
                }
                input.push_back(flipped);
            } else {
                input.push_back(bgra);
            }
        }
        std::vector<EncodedFrame> frames = EncodeAll(codec.get(), input, c.pw, c.ph);
        ASSERT_EQ(frames.size(), input.size());
        auto decoder = DecodeAll(codec.get(), frames);
        ASSERT_EQ(decoder->pictures.size(), input.size());
        const DecodedPicture& d = decoder->pictures.back();
        EXPECT_EQ(d.format, c.decoded);
        ASSERT_EQ(d.width, c.w);
        ASSERT_EQ(d.height, c.h);
        if (c.pw == c.w) {
            EXPECT_LT(MeanAbsError(reference.back(), d), c.bound);
        } else {
            // Scaled: the bars sit where they were, in proportion.
            for (int bar = 0; bar < 6; ++bar) {
                int x = (2 * bar + 1) * c.w / 12;
                int y = c.h / 4;
                for (int ch = 0; ch < 3; ++ch) {
                    EXPECT_NEAR(d.bgr[(static_cast<std::size_t>(y) * c.w + x) * 3 + ch],
                                reference.back()[(static_cast<std::size_t>(y) * c.w + x) * 4 + ch], 6);
                }
            }
        }
    }
}

TEST(Videokit, RefusesBadParametersAndPictures) {
    EXPECT_EQ(CreateH264Codec(1), nullptr);
    DestoryH264Codec(nullptr);

    CodecPtr codec(CreateH264Codec(0));
    ASSERT_TRUE(codec);
    EXPECT_NE(std::strlen(codec->GetCodecName()), 0u);
    unsigned char* out = reinterpret_cast<unsigned char*>(1);
    int len = -1;
    uint32_t ts = 7;
    auto pic = MakeBgra(320, 240, 0);
    // Not initialised yet.
    EXPECT_EQ(codec->Encode(pic.data(), static_cast<int>(pic.size()), 320, 240, &out, &len, &ts), 0);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(len, 0);
    EXPECT_EQ(codec->GetAVCConfig(&out, &len), UC_CODEC_ERR_WRONG_STATE);
    EXPECT_EQ(codec->SetBitRate(1000000), UC_CODEC_ERR_WRONG_STATE);
    EXPECT_EQ(codec->Reserved8(), UC_CODEC_ERR_NOT_SUPPORTED);
    EXPECT_EQ(codec->Reserved15(), UC_CODEC_ERR_NOT_SUPPORTED);
    EXPECT_EQ(codec->Init(nullptr), UC_CODEC_ERR_BAD_ARGUMENT);

    UcH264EncodeParam odd = MakeParam(321, 240, UC_PIX_BGRA);
    EXPECT_EQ(codec->Init(&odd), UC_CODEC_ERR_BAD_ARGUMENT);
    UcH264EncodeParam reserved = MakeParam(320, 240, 20);
    EXPECT_EQ(codec->Init(&reserved), UC_CODEC_ERR_NOT_SUPPORTED);
    UcH264EncodeParam noFps = MakeParam(320, 240, UC_PIX_BGRA);
    noFps.frameRate = 0;
    EXPECT_EQ(codec->Init(&noFps), UC_CODEC_ERR_BAD_ARGUMENT);

    UcH264EncodeParam good = MakeParam(320, 240, UC_PIX_BGRA);
    ASSERT_EQ(codec->Init(&good), 0);
    EXPECT_EQ(codec->Init(&good), UC_CODEC_ERR_WRONG_STATE);
    // One byte short of a picture: no output, and the next picture is fine.
    EXPECT_EQ(codec->Encode(pic.data(), static_cast<int>(pic.size()) - 1, 320, 240, &out, &len, &ts), 0);
    EXPECT_EQ(len, 0);
    EXPECT_EQ(codec->SetBitRate(1000000), 0);
    EXPECT_EQ(codec->Encode(pic.data(), static_cast<int>(pic.size()), 320, 240, &out, &len, &ts),
              UC_H264_FRAME_IDR);
    EXPECT_GT(len, 0);
    // A null picture drains; nothing is delayed.
    EXPECT_EQ(codec->Encode(nullptr, 0, 320, 240, &out, &len, &ts), UC_H264_FRAME_NONE);
    EXPECT_EQ(len, 0);
    EXPECT_EQ(codec->Uninit(), 0);
    EXPECT_EQ(codec->Init(&good), 0);  // re-initialisable
}

// A picture for the changed-rows checks: soft gradients (cheap to code, so
// coding noise stays small) with the given rows painted a flat colour.
struct PaintedRows {
    int top;
    int rows;
    uint8_t value;
};
std::vector<uint8_t> MakePainted(int w, int h, const std::vector<PaintedRows>& paint) {
    std::vector<uint8_t> pic(static_cast<std::size_t>(w) * h * 4);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            uint8_t* p = &pic[(static_cast<std::size_t>(y) * w + x) * 4];
            p[0] = static_cast<uint8_t>(60 + x * 100 / w);
            p[1] = static_cast<uint8_t>(60 + y * 100 / h);
            p[2] = 110;
            p[3] = 255;
            for (const PaintedRows& r : paint) {
                if (y >= r.top && y < r.top + r.rows) {
                    p[0] = p[1] = p[2] = r.value;
                }
            }
        }
    }
    return pic;
}

// The largest mean error of a 16x16 block (a block x264 wrongly kept from
// the picture before shows as a large one), and where it is.
double WorstBlockError(const std::vector<uint8_t>& bgra, const DecodedPicture& d, int* pWorstRow) {
    double worst = 0;
    for (int by = 0; by < d.height; by += 16) {
        for (int bx = 0; bx < d.width; bx += 16) {
            double sum = 0;
            int n = 0;
            for (int y = by; y < std::min(by + 16, d.height); ++y) {
                for (int x = bx; x < std::min(bx + 16, d.width); ++x) {
                    std::size_t i = static_cast<std::size_t>(y) * d.width + x;
                    for (int c = 0; c < 3; ++c) {
                        sum += std::abs(int{bgra[i * 4 + c]} - int{d.bgr[i * 3 + c]});
                    }
                    n += 3;
                }
            }
            if (sum / n > worst) {
                worst = sum / n;
                *pWorstRow = by / 16;
            }
        }
    }
    return worst;
}

// Pictures announced with the rows that changed since the one before: every
// decoded picture must show its own source, whatever macroblocks the
// encoder was told to keep. Heights with a whole and a partial last
// macroblock row.
TEST(Videokit, ChangedRowsNeverLeaveStaleBlocks) {
    for (int h : {720, 360}) {
        SCOPED_TRACE(h);
        const int w = 320;
        CodecPtr codec(CreateH264Codec(0));
        ASSERT_TRUE(codec);
        auto* rows = dynamic_cast<IH264ChangedRows*>(codec.get());
        ASSERT_NE(rows, nullptr);
        EXPECT_EQ(rows->SetNextChangedRows(0, 0), UC_CODEC_ERR_WRONG_STATE);
        UcH264EncodeParam param = MakeParam(w, h, UC_PIX_I420);
        ASSERT_EQ(codec->Init(&param), 0);

        struct Step {
            std::vector<PaintedRows> paint;  // what the picture shows
            int top, count;                  // the rows announced with it
            bool bRefused = false;           // given with a short length
        };
        const std::vector<Step> steps = {
            {{}, 0, 0},                                 // first picture: nothing to keep
            {{{17, 2, 250}}, 17, 2},                    // rows 17..18: macroblock row 1 only
            {{{17, 2, 250}}, 0, 0},                     // identical
            {{{17, 2, 250}}, 0, 0},                     // identical
            {{{17, 2, 250}, {h - 8, 8, 10}}, h - 8, 8}, // the last rows
            {{{17, 2, 250}, {h - 8, 8, 10}, {100, 41, 240}}, 100, 41},
            {{{17, 2, 250}, {h - 8, 8, 10}, {100, 41, 240}, {200, 20, 5}}, 0, 0, true},
            // Relative to the refused picture only rows 300.. changed; x264
            // never got it, so rows 200.. changed too.
            {{{17, 2, 250}, {h - 8, 8, 10}, {100, 41, 240}, {200, 20, 5}, {300, 10, 230}}, 300, 10},
            {{{17, 2, 250}, {h - 8, 8, 10}, {100, 41, 240}, {200, 20, 5}, {300, 10, 230}}, 0, 0},
            {{{17, 2, 10}, {h - 8, 8, 10}, {100, 41, 240}, {200, 20, 5}, {300, 10, 230}}, -1, -1},
            {{{17, 2, 10}, {h - 8, 8, 10}, {100, 41, 240}, {200, 20, 5}, {300, 10, 230}}, 0, 0},
            // A band outside the picture is not believed.
            {{{17, 2, 10}, {h - 8, 8, 240}, {100, 41, 240}, {200, 20, 5}, {300, 10, 230}}, h - 8, 9},
        };
        std::vector<std::vector<uint8_t>> sources;
        std::vector<EncodedFrame> frames;
        for (std::size_t i = 0; i < steps.size(); ++i) {
            const Step& step = steps[i];
            std::vector<uint8_t> bgra = MakePainted(w, h, step.paint);
            std::vector<uint8_t> i420 = BgraToYuv(bgra, w, h, false);
            ASSERT_EQ(rows->SetNextChangedRows(step.top, step.count), 0);
            unsigned char* out = nullptr;
            int len = 0;
            uint32_t ts = static_cast<uint32_t>(i) * 66;
            int length = static_cast<int>(i420.size()) - (step.bRefused ? 1 : 0);
            int type = codec->Encode(i420.data(), length, w, h, &out, &len, &ts);
            if (step.bRefused) {
                EXPECT_EQ(type, UC_H264_FRAME_NONE);
                continue;
            }
            ASSERT_NE(type, UC_H264_FRAME_NONE) << i;
            frames.push_back({std::vector<unsigned char>(out, out + len), type, ts});
            sources.push_back(std::move(bgra));
        }
        auto decoder = DecodeAll(codec.get(), frames);
        ASSERT_EQ(decoder->pictures.size(), sources.size());
        for (std::size_t i = 0; i < sources.size(); ++i) {
            int worstRow = -1;
            EXPECT_LT(WorstBlockError(sources[i], decoder->pictures[i], &worstRow), 12.0)
                << "picture " << i << ", macroblock row " << worstRow;
        }
    }
}

// A still screen with changes now and then, announced as a recorder does.
// Pictures equal to the one before are written as repeats without x264 from
// the second equal picture of a still run on: with one reference frame
// (the recorder's veryfast, and ultrafast with CAVLC) as reference pictures
// that may follow each other once x264 has settled on the still picture,
// with more (medium) as non-reference pictures, never two in a row. Each
// repeat decodes to exactly the picture before it, every picture shows its
// source, and the decoder notices no fault in the renumbered stream; a key
// frame asked for on an equal picture is still coded. A height with a
// partial last macroblock row.
TEST(Videokit, EqualPicturesAreRepeatedWithoutTheEncoder) {
    struct Case {
        int preset;
        bool bReferences;
        int minTailRepeats;  // of the 36 pictures of the still tail
    };
    for (const Case& c : {Case{0, true, 28}, Case{1, true, 28}, Case{6, false, 16}}) {
        SCOPED_TRACE(c.preset);
        const int w = 640, h = 360;
        CodecPtr codec(CreateH264Codec(0));
        ASSERT_TRUE(codec);
        auto* rows = dynamic_cast<IH264ChangedRows*>(codec.get());
        ASSERT_NE(rows, nullptr);
        UcH264EncodeParam param = MakeParam(w, h, UC_PIX_I420);
        param.value7 = c.preset;
        ASSERT_EQ(codec->Init(&param), 0);

        // The picture changes at these indices (rows 100..140 repainted).
        const std::vector<int> changes = {0, 1, 5, 6, 7, 20, 23};
        const int count = 60;
        const int tail = 24;
        const int forcedKey = 12;
        auto isEqual = [&](int i) {
            return i > 0 && std::find(changes.begin(), changes.end(), i) == changes.end();
        };
        std::vector<std::vector<uint8_t>> sources;
        std::vector<EncodedFrame> frames;
        std::vector<bool> repeat;
        uint8_t paint = 40;
        for (int i = 0; i < count; ++i) {
            if (!isEqual(i)) paint = static_cast<uint8_t>(paint + 30);
            std::vector<uint8_t> bgra = MakePainted(w, h, {{100, 41, paint}});
            std::vector<uint8_t> i420 = BgraToYuv(bgra, w, h, false);
            if (i > 0) {
                ASSERT_EQ(rows->SetNextChangedRows(isEqual(i) ? 0 : 100, isEqual(i) ? 0 : 41), 0);
            }
            if (i == forcedKey) {
                ASSERT_EQ(codec->ForceKeyFrame(), 0);
            }
            unsigned char* out = nullptr;
            int len = 0;
            uint32_t ts = static_cast<uint32_t>(i) * 66;
            int type = codec->Encode(i420.data(), static_cast<int>(i420.size()), w, h, &out, &len, &ts);
            ASSERT_NE(type, UC_H264_FRAME_NONE) << i;
            EXPECT_EQ(ts, static_cast<uint32_t>(i) * 66);
            std::vector<int> nals;
            ASSERT_TRUE(ParseAvcc(out, len, nals)) << i;
            // A repeat is one small slice; x264 codes two slices (two
            // sliced threads).
            const bool isRepeat = nals.size() == 1 && nals[0] == 1 && len < 80;
            if (isRepeat) {
                EXPECT_EQ(out[4], c.bReferences ? 0x41 : 0x01) << "picture " << i;
            }
            repeat.push_back(isRepeat);
            if (i == forcedKey) {
                EXPECT_EQ(type, UC_H264_FRAME_IDR);
            }
            frames.push_back({std::vector<unsigned char>(out, out + len), type, ts});
            sources.push_back(std::move(bgra));
        }
        int tailRepeats = 0;
        for (int i = 0; i < count; ++i) {
            if (!repeat[i]) continue;
            EXPECT_TRUE(isEqual(i) && isEqual(i - 1) && i != forcedKey) << "picture " << i;
            if (!c.bReferences) {
                EXPECT_FALSE(repeat[i - 1]) << "picture " << i << ": two non-reference repeats";
            }
            tailRepeats += i >= tail ? 1 : 0;
        }
        EXPECT_GE(tailRepeats, c.minTailRepeats);
        EXPECT_FALSE(repeat[21]) << "the first equal picture after a change goes to x264";

        CAvErrorCount errors;
        auto decoder = DecodeAll(codec.get(), frames);
        EXPECT_EQ(errors.Count(), 0) << "the decoder found faults";
        ASSERT_EQ(decoder->pictures.size(), sources.size());
        for (int i = 0; i < count; ++i) {
            int worstRow = -1;
            EXPECT_LT(WorstBlockError(sources[i], decoder->pictures[i], &worstRow), 12.0)
                << "picture " << i << ", macroblock row " << worstRow;
            if (repeat[i]) {
                EXPECT_TRUE(decoder->pictures[i].bgr == decoder->pictures[i - 1].bgr)
                    << "picture " << i << " differs from the one it repeats";
            }
        }
    }
}

}  // namespace

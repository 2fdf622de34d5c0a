// The FLV muxer and the audio dump muxer with real AAC and H.264 frames:
// tag bodies and order, rebasing, sequence headers, pauses removed from the
// time line, nothing lost at stop, write failures, and the files checked by
// flvmeta, ffmpeg and ffprobe.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <numbers>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "audiokit/audiocodec.h"
#include "basekit/datapackage.h"
#include "basekit/tickcount.h"
#include "dumpaudiomuxer.h"
#include "flvmuxer.h"
#include "videoencodingworker.h"
#include "videokit/h264codec.h"

namespace {

constexpr int kWidth = 320;
constexpr int kHeight = 240;
constexpr double kAudioFrameMs = 1024 * 1000.0 / 44100;

class ScratchDir {
public:
    ScratchDir() {
        char tmpl[] = "/tmp/flvmuxer_test.XXXXXX";
        m_path = mkdtemp(tmpl);
    }
    ~ScratchDir() { std::filesystem::remove_all(m_path); }
    std::string File(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

std::string RunCommand(const std::string& command) {
    std::string out;
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (!pipe) return "popen failed";
    char buf[4096];
    std::size_t n;
    while ((n = fread(buf, 1, sizeof buf, pipe)) > 0) out.append(buf, n);
    pclose(pipe);
    return out;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// `ffprobe -show_streams -of flat` as key -> value, quotes removed.
std::map<std::string, std::string> ProbeStreams(const std::string& path) {
    std::map<std::string, std::string> values;
    std::istringstream lines(RunCommand("ffprobe -v error -show_streams -of flat '" + path + "'"));
    for (std::string line; std::getline(lines, line);) {
        auto eq = line.find('=');
        if (eq == std::string::npos) continue;
        std::string value = line.substr(eq + 1);
        if (value.size() >= 2 && value.front() == '"') value = value.substr(1, value.size() - 2);
        values[line.substr(0, eq)] = value;
    }
    return values;
}

struct Tag {
    int type = 0;
    std::uint32_t ts = 0;
    std::string body;
};

std::vector<Tag> ReadTags(const std::string& path) {
    std::string f = ReadFile(path);
    std::vector<Tag> tags;
    auto u8 = [&](std::size_t i) { return static_cast<std::uint32_t>(static_cast<unsigned char>(f[i])); };
    std::size_t pos = 13;
    while (pos + 11 <= f.size()) {
        std::uint32_t size = u8(pos + 1) << 16 | u8(pos + 2) << 8 | u8(pos + 3);
        if (pos + 11 + size + 4 > f.size()) break;
        Tag tag;
        tag.type = static_cast<int>(u8(pos));
        tag.ts = u8(pos + 7) << 24 | u8(pos + 4) << 16 | u8(pos + 5) << 8 | u8(pos + 6);
        tag.body = f.substr(pos + 11, size);
        tags.push_back(tag);
        pos += 11 + size + 4;
    }
    return tags;
}

bool IsAudioFrame(const Tag& t) { return t.type == 8 && t.body.size() > 1 && t.body[1] == 1; }
bool IsVideoFrame(const Tag& t) { return t.type == 9 && t.body.size() > 1 && t.body[1] == 1; }
bool IsSequenceHeader(const Tag& t) {
    return (t.type == 8 || t.type == 9) && t.body.size() > 1 && t.body[1] == 0;
}

// The "duration" number of the onMetaData tag.
double MetaDuration(const std::vector<Tag>& tags) {
    if (tags.empty() || tags[0].type != 18) return -1;
    const std::string& b = tags[0].body;
    auto key = b.find("duration");
    if (key == std::string::npos || key + 8 + 9 > b.size()) return -1;
    unsigned char raw[8];
    for (int i = 0; i < 8; ++i) raw[i] = static_cast<unsigned char>(b[key + 8 + 1 + 7 - i]);
    double d;
    std::memcpy(&d, raw, sizeof d);
    return d;
}

std::string Bytes(std::initializer_list<int> v) {
    std::string s;
    for (int b : v) s.push_back(static_cast<char>(b));
    return s;
}

// An ADTS frame: a 7-byte header from the given first four bytes with the
// frame length filled in, then the payload.
std::string AdtsFrame(const std::string& head4, const std::string& payload) {
    std::size_t len = 7 + payload.size();
    std::string f = head4;
    f[3] = static_cast<char>((f[3] & 0xFC) | ((len >> 11) & 3));
    f.push_back(static_cast<char>((len >> 3) & 0xFF));
    f.push_back(static_cast<char>(((len & 7) << 5) | 0x1F));
    f.push_back(static_cast<char>(0xFC));
    return f + payload;
}

// Real AAC-LC frames (ADTS) of a 440 Hz tone, 44100 Hz stereo.
std::vector<std::string> MakeAacFrames(int count) {
    _UCAudioCodecInfo info;
    info.sampleRate = 44100;
    info.codecType = UC_AUDIO_CODEC_AAC_LC;
    info.channels = 2;
    info.bitRate = 72000;
    info.mode = UC_AUDIO_MODE_ADTS;
    CUcAudioCodec* codec = CreateAudioCodec(&info, 0);
    std::vector<std::string> frames;
    std::vector<std::int16_t> pcm(2048);
    for (int call = 0; codec && static_cast<int>(frames.size()) < count && call < count + 8; ++call) {
        for (int i = 0; i < 1024; ++i) {
            auto v = static_cast<std::int16_t>(8000 * std::sin(2 * std::numbers::pi * 440 * (call * 1024 + i) / 44100));
            pcm[2 * i] = pcm[2 * i + 1] = v;
        }
        unsigned char* out = nullptr;
        int outLen = 0;
        unsigned short samples = 0;
        codec->Encode(reinterpret_cast<unsigned char*>(pcm.data()), 4096, &out, &outLen, &samples, 44100);
        if (out && outLen > 0) frames.emplace_back(reinterpret_cast<char*>(out), outLen);
    }
    DestoryAudioCodec(codec);
    return frames;
}

struct H264Frame {
    bool key = false;
    std::string bytes;
};
struct H264Stream {
    std::string config;
    std::vector<H264Frame> frames;
};

std::vector<std::uint8_t> MakePicture(int index) {
    std::vector<std::uint8_t> pic(static_cast<std::size_t>(kWidth) * kHeight * 4);
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x) {
            std::uint8_t* p = &pic[(static_cast<std::size_t>(y) * kWidth + x) * 4];
            bool box = x >= (index * 4) % (kWidth - 40) && x < (index * 4) % (kWidth - 40) + 40 && y > 100 && y < 140;
            p[0] = box ? 240 : static_cast<std::uint8_t>(x);
            p[1] = box ? 240 : static_cast<std::uint8_t>(y);
            p[2] = box ? 20 : 90;
            p[3] = 255;
        }
    return pic;
}

// Real H.264 frames of a moving box, encoded the way the video worker does.
H264Stream MakeH264(int count) {
    H264Stream s;
    CUcH264codec* codec = CreateH264Codec(0);
    UcH264EncodeParam param;
    param.width = kWidth;
    param.height = kHeight;
    param.frameRate = 15;
    param.inputFormat = param.secondFormat = UC_PIX_BGRA;
    param.bitRate = 1500000;
    if (!codec || codec->Init(&param) != 0) return s;
    unsigned char* cfg = nullptr;
    int cfgLen = 0;
    if (codec->GetAVCConfig(&cfg, &cfgLen) == 0) s.config.assign(reinterpret_cast<char*>(cfg), cfgLen);
    for (int i = 0; i < count; ++i) {
        auto pic = MakePicture(i);
        unsigned char* out = nullptr;
        int outLen = 0;
        std::uint32_t ts = 0;
        int type = codec->Encode(pic.data(), static_cast<int>(pic.size()), kWidth, kHeight, &out, &outLen, &ts);
        if (type != 0) s.frames.push_back({type == 1 || type == 2, std::string(reinterpret_cast<char*>(out), outLen)});
    }
    DestoryH264Codec(codec);
    return s;
}

const std::vector<std::string>& AacFrames() {
    static const std::vector<std::string> frames = MakeAacFrames(400);
    return frames;
}
const H264Stream& H264() {
    static const H264Stream stream = MakeH264(90);
    return stream;
}

class ErrorSink : public IMuxErrorNotify {
public:
    void OnMuxError(int code) override {
        m_code = code;
        ++m_calls;
    }
    // The code of the first error, 0 when none came within timeoutMs.
    int WaitForError(int timeoutMs) {
        for (int i = 0; i < timeoutMs / 10 && m_calls == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return m_code;
    }
    int Calls() const { return m_calls; }

private:
    std::atomic<int> m_code{0};
    std::atomic<int> m_calls{0};
};

class CountingObserver : public IVideoEncodingObserver {
public:
    void OnVideoFrameEncoded() override { ++count; }
    std::atomic<int> count{0};
};

// Added as a sub muxer: how long after its time stamp each stream's packets
// reached the muxer, at most (an encoder or a pushing thread held up).
class LagProbe : public IMUXPushData {
public:
    void PushMediaData(bool bVideo, bool, CDataPackage*, std::uint32_t timestampMs) override {
        auto lag = static_cast<std::int32_t>(static_cast<std::uint32_t>(GetTickMs()) - timestampMs);
        std::atomic<std::int32_t>& most = maxLagMs[bVideo ? 1 : 0];
        if (lag > most) most = lag;
    }
    std::uint32_t SetVideoConfig(CDataPackage&) override { return 0; }
    int SetPause(bool) override { return 0; }
    std::atomic<std::int32_t> maxLagMs[2] = {0, 0};
};

void Push(IMUXPushData& mux, bool video, bool key, const std::string& bytes, std::uint32_t ts) {
    CDataPackage pkg(bytes.size(), bytes.data(), CDataPackage::FLAG_WRAP, bytes.size());
    mux.PushMediaData(video, key, &pkg, ts);
}

void SetConfig(IMUXPushData& mux, const std::string& config) {
    CDataPackage pkg(config.size(), config.data(), CDataPackage::FLAG_WRAP, config.size());
    mux.SetVideoConfig(pkg);
}

int InitMuxer(CFlvMuxer& mux, const std::string& path, IMuxErrorNotify* notify) {
    return mux.Init(path.c_str(), kWidth, kHeight, 15, 44100, 2, 98, 105, 1, 1, 0, notify);
}

// Pushes `seconds` of interleaved audio and video with synthetic time stamps
// from `base`, in time order (as the encoders do), without waiting.
void PushInterleaved(IMUXPushData& mux, std::uint32_t base, int videoFrames, int audioFrames) {
    int a = 0, v = 0;
    while (a < audioFrames || v < videoFrames) {
        double ta = a * kAudioFrameMs, tv = v * 1000.0 / 15;
        if (a < audioFrames && (v >= videoFrames || ta <= tv)) {
            Push(mux, false, false, AacFrames()[a % AacFrames().size()], base + static_cast<std::uint32_t>(ta));
            ++a;
        } else {
            const H264Frame& f = H264().frames[v % H264().frames.size()];
            Push(mux, true, f.key, f.bytes, base + static_cast<std::uint32_t>(tv));
            ++v;
        }
    }
}

// The "streams.stream.N." prefix of the stream of that codec type.
std::string StreamOf(std::map<std::string, std::string>& s, const std::string& type) {
    for (int i = 0; i < 2; ++i) {
        std::string prefix = "streams.stream." + std::to_string(i) + ".";
        if (s[prefix + "codec_type"] == type) return prefix;
    }
    return "none.";
}

void ExpectValidFile(const std::string& path) {
    EXPECT_EQ(RunCommand("flvmeta --check --quiet '" + path + "'; echo $?"), "0\n");
    EXPECT_EQ(RunCommand("ffmpeg -nostdin -v error -i '" + path + "' -f null -"), "");
    auto s = ProbeStreams(path);
    std::string v = StreamOf(s, "video"), a = StreamOf(s, "audio");
    EXPECT_EQ(s[v + "codec_name"], "h264");
    EXPECT_EQ(s[v + "width"], std::to_string(kWidth));
    EXPECT_EQ(s[v + "height"], std::to_string(kHeight));
    EXPECT_EQ(s[v + "has_b_frames"], "0");
    EXPECT_EQ(s[a + "codec_name"], "aac");
    EXPECT_EQ(s[a + "sample_rate"], "44100");
    EXPECT_EQ(s[a + "channels"], "2");
}

// The test media are made once, before any muxer runs, so that making them
// does not disturb the timing of a test.
class MediaEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        AacFrames();
        H264();
    }
};
const auto* const g_mediaEnvironment = ::testing::AddGlobalTestEnvironment(new MediaEnvironment);

TEST(FlvMuxerTest, WritesPlayableFileWithEverythingPushed) {
    ASSERT_FALSE(H264().frames.empty());
    ASSERT_GE(AacFrames().size(), 130u);
    ScratchDir dir;
    std::string path = dir.File("av.flv");
    CFlvMuxer mux;
    ErrorSink errors;
    ASSERT_EQ(InitMuxer(mux, path, &errors), 0);
    // The marker of an unfinished recording lies beside it until it is finished.
    EXPECT_TRUE(std::filesystem::exists(path + ".unfinished"));
    SetConfig(mux, H264().config);
    // 3 s of both streams, stopped right after the last push.
    PushInterleaved(mux, 100000, 45, 130);
    EXPECT_EQ(mux.Stop(), 0);
    EXPECT_EQ(errors.Calls(), 0);
    EXPECT_FALSE(std::filesystem::exists(path + ".unfinished"));

    auto tags = ReadTags(path);
    ASSERT_GT(tags.size(), 4u);
    EXPECT_EQ(tags[0].type, 18);
    int audio = 0, video = 0, headers = 0;
    std::uint32_t last = 0;
    bool sawKey = false;
    for (std::size_t i = 1; i < tags.size(); ++i) {
        const Tag& t = tags[i];
        EXPECT_GE(t.ts, last) << "tag " << i << " goes back in time";
        last = std::max(last, t.ts);
        if (IsSequenceHeader(t)) {
            ++headers;
            if (t.type == 8) {
                EXPECT_EQ(t.body, Bytes({0xAF, 0x00, 0x12, 0x10}));
            } else {
                EXPECT_EQ(t.body, Bytes({0x17, 0, 0, 0, 0}) + H264().config);
                EXPECT_FALSE(sawKey);
            }
        } else if (IsAudioFrame(t)) {
            EXPECT_EQ(t.body, Bytes({0xAF, 0x01}) + AacFrames()[audio % AacFrames().size()].substr(7));
            ++audio;
        } else if (IsVideoFrame(t)) {
            const H264Frame& f = H264().frames[video % H264().frames.size()];
            EXPECT_EQ(t.body, Bytes({f.key ? 0x17 : 0x27, 0x01, 0, 0, 0}) + f.bytes);
            sawKey = sawKey || f.key;
            ++video;
        }
    }
    EXPECT_EQ(audio, 130);
    EXPECT_EQ(video, 45);
    EXPECT_EQ(headers, 2);
    EXPECT_EQ(tags[1].ts, 0u);
    EXPECT_EQ(MetaDuration(tags), (last + 500) / 1000);
    ExpectValidFile(path);
}

TEST(FlvMuxerTest, RebasesBothStreamsOnTheFirstTimestamp) {
    ScratchDir dir;
    CFlvMuxer mux;
    ASSERT_EQ(InitMuxer(mux, dir.File("rebase.flv"), nullptr), 0);
    SetConfig(mux, H264().config);
    Push(mux, true, true, "k", 5000);
    Push(mux, true, false, "p", 5040);
    Push(mux, true, false, "q", 4990);
    Push(mux, false, false, AdtsFrame(Bytes({0xFF, 0xF1, 0x50, 0x80}), "aa"), 5020);
    mux.Stop();
    std::vector<std::pair<char, std::uint32_t>> frames;
    for (const Tag& t : ReadTags(dir.File("rebase.flv")))
        if (IsVideoFrame(t) || IsAudioFrame(t)) frames.emplace_back(t.body.back(), t.ts);
    // q, stamped before the base and pushed last, maps to 0 but cannot go
    // back in time: it follows p 1 ms later.
    std::vector<std::pair<char, std::uint32_t>> expected = {{'k', 0}, {'a', 20}, {'p', 40}, {'q', 41}};
    EXPECT_EQ(frames, expected);
}

TEST(FlvMuxerTest, AudioSequenceHeaderComesFromTheFirstAdtsHeader) {
    struct Case {
        std::string head;
        std::string config;  // the expected AudioSpecificConfig, empty: error 2
    };
    const Case cases[] = {
        {Bytes({0xFF, 0xF1, 0x50, 0x80}), Bytes({0x12, 0x10})},
        {Bytes({0xFF, 0xF9, 0x50, 0x80}), Bytes({0x12, 0x10, 0x56, 0xE5, 0x88})},
        {Bytes({0xFF, 0xF1, 0x51, 0xC0}), ""},  // channel configuration 7
    };
    for (const Case& c : cases) {
        ScratchDir dir;
        CFlvMuxer mux;
        ErrorSink errors;
        ASSERT_EQ(InitMuxer(mux, dir.File("a.flv"), &errors), 0);
        Push(mux, false, false, AdtsFrame(c.head, "xyz"), 1000);
        // A header with a CRC: the 9 header bytes are left out.
        std::string crc = AdtsFrame(c.head, "CCpq");
        crc[1] = static_cast<char>(crc[1] & 0xFE);
        Push(mux, false, false, crc, 1023);
        if (c.config.empty()) {
            EXPECT_EQ(errors.WaitForError(2000), 2);
        }
        EXPECT_EQ(mux.Stop(), 0);
        auto tags = ReadTags(dir.File("a.flv"));
        if (c.config.empty()) {
            EXPECT_EQ(tags.size(), 1u);  // only the provisional metadata
            continue;
        }
        ASSERT_EQ(tags.size(), 4u);
        EXPECT_EQ(tags[1].body, Bytes({0xAF, 0x00}) + c.config);
        EXPECT_EQ(tags[2].body, Bytes({0xAF, 0x01}) + "xyz");
        EXPECT_EQ(tags[3].body, Bytes({0xAF, 0x01}) + "pq");
        EXPECT_EQ(tags[3].ts, 23u);
    }
    // A first audio packet shorter than an ADTS header ends the writer with 1.
    ScratchDir dir;
    CFlvMuxer mux;
    ErrorSink errors;
    ASSERT_EQ(InitMuxer(mux, dir.File("short.flv"), &errors), 0);
    Push(mux, false, false, "abc", 1000);
    EXPECT_EQ(errors.WaitForError(2000), 1);
    EXPECT_EQ(mux.Stop(), 0);
}

TEST(FlvMuxerTest, SequenceHeaderOnlyForANewConfiguration) {
    ScratchDir dir;
    CFlvMuxer mux;
    ASSERT_EQ(InitMuxer(mux, dir.File("cfg.flv"), nullptr), 0);
    SetConfig(mux, "AAAA");
    Push(mux, true, true, "1", 100);
    Push(mux, true, false, "2", 166);
    SetConfig(mux, "AAAA");
    Push(mux, true, true, "3", 233);
    SetConfig(mux, "BBBBB");
    Push(mux, true, false, "4", 300);
    Push(mux, true, true, "5", 366);
    mux.Stop();
    std::string order;
    for (const Tag& t : ReadTags(dir.File("cfg.flv"))) {
        if (IsSequenceHeader(t)) order += "[" + t.body.substr(5) + "]";
        if (IsVideoFrame(t)) order += t.body.substr(5);
    }
    EXPECT_EQ(order, "[AAAA]1234[BBBBB]5");
}

TEST(FlvMuxerTest, MergesTheStreamsInTimeOrder) {
    // The video encoder lags: sound up to 460 ms arrives before the first
    // picture. The writer keeps the sound back until the pictures catch up.
    ScratchDir dir;
    CFlvMuxer mux;
    ASSERT_EQ(InitMuxer(mux, dir.File("order.flv"), nullptr), 0);
    SetConfig(mux, H264().config);
    for (int a = 0; a < 20; ++a)
        Push(mux, false, false, AacFrames()[a], 10000 + static_cast<std::uint32_t>(a * kAudioFrameMs));
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    for (int v = 0; v < 8; ++v)
        Push(mux, true, H264().frames[v].key, H264().frames[v].bytes, 10000 + v * 66);
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    for (int a = 20; a < 30; ++a)
        Push(mux, false, false, AacFrames()[a], 10000 + static_cast<std::uint32_t>(a * kAudioFrameMs));
    mux.Stop();
    auto tags = ReadTags(dir.File("order.flv"));
    std::uint32_t last = 0;
    int frames = 0;
    for (const Tag& t : tags) {
        EXPECT_GE(t.ts, last);
        last = std::max(last, t.ts);
        frames += IsAudioFrame(t) || IsVideoFrame(t);
    }
    EXPECT_EQ(frames, 38);
}

// Sound with no pictures at all: kept back for the interleave wait, then
// written without any further push (the writer wakes at the deadline, not
// only for packets), long before the stop.
TEST(FlvMuxerTest, KeptBackSoundIsWrittenWhenTheOtherStreamStaysSilent) {
    ScratchDir dir;
    CFlvMuxer mux;
    const std::string path = dir.File("silent.flv");
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(InitMuxer(mux, path, nullptr), 0);
    const std::uint32_t t0 = static_cast<std::uint32_t>(GetTickMs());
    for (int a = 0; a < 5; ++a)
        Push(mux, false, false, AacFrames()[a], t0 + static_cast<std::uint32_t>(a * kAudioFrameMs));
    const auto before = std::filesystem::file_size(path);
    auto written = start;
    while (std::filesystem::file_size(path) == before && std::chrono::steady_clock::now() - start < std::chrono::seconds(10)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        written = std::chrono::steady_clock::now();
    }
    EXPECT_GT(std::filesystem::file_size(path), before) << "the sound waited for the stop";
    // Not before the other stream was silent for the wait.
    EXPECT_GE(written - start, std::chrono::milliseconds(CFlvMuxer::kInterleaveWaitMs - 50));
    mux.Stop();
}

// The first sound after a pause waits for the pictures stamped before it,
// although no picture came during the pause: a pause is no silence.
TEST(FlvMuxerTest, SoundAfterAPauseWaitsForThePicturesBeforeIt) {
    ScratchDir dir;
    const std::string path = dir.File("resume.flv");
    CFlvMuxer mux;
    ASSERT_EQ(InitMuxer(mux, path, nullptr), 0);
    auto now = [] { return static_cast<std::uint32_t>(GetTickMs()); };
    const std::uint32_t base = now();
    Push(mux, true, true, "k", base);
    Push(mux, false, false, AdtsFrame(Bytes({0xFF, 0xF1, 0x50, 0x80}), "a"), base);
    mux.SetPause(true);
    std::this_thread::sleep_for(std::chrono::milliseconds(CFlvMuxer::kInterleaveWaitMs + 100));
    mux.SetPause(false);
    const auto resumed = std::chrono::steady_clock::now();
    const std::uint32_t after = now() + 1;
    // The encoder hands over the picture stamped at `after` only once the
    // sound stamped later has been pushed.
    Push(mux, false, false, AdtsFrame(Bytes({0xFF, 0xF1, 0x50, 0x80}), "b"), after + 20);
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    Push(mux, true, false, "p", after);
    const auto pictureLate = std::chrono::steady_clock::now() - resumed;
    mux.Stop();
    std::string order;
    std::vector<std::uint32_t> ts;
    for (const Tag& t : ReadTags(path)) {
        if (!IsAudioFrame(t) && !IsVideoFrame(t)) continue;
        order += t.body.back();
        ts.push_back(t.ts);
    }
    ASSERT_EQ(ts.size(), 4u);
    for (std::size_t i = 1; i < ts.size(); ++i) EXPECT_GE(ts[i], ts[i - 1]) << order;
    // Only a machine stalled for the whole wait lets the sound go first.
    if (pictureLate < std::chrono::milliseconds(CFlvMuxer::kInterleaveWaitMs)) {
        EXPECT_EQ(order, "akpb");
        EXPECT_EQ(ts[3] - ts[2], 20u);
    }
}

// Real time, driven as the engine drives it: the video worker gets a
// picture every 1/15 s, sound goes straight to the muxer; 1 s recorded, 1 s
// paused (pictures still pushed, a little sound stamped inside the pause),
// 1.6 s recorded.
TEST(FlvMuxerTest, PauseIsRemovedFromTheTimeLine) {
    ScratchDir dir;
    std::string path = dir.File("pause.flv");
    CFlvMuxer mux;
    CVideoEncodingWorker worker;
    CountingObserver observer;
    LagProbe lag;
    ASSERT_EQ(InitMuxer(mux, path, nullptr), 0);
    mux.AddSubMuxer(&lag);
    ASSERT_TRUE(worker.Init(&mux, kWidth, kHeight, UC_PIX_BGRA, 15, &observer));
    ASSERT_EQ(worker.StartEncoding(), 0);

    struct Pushed {
        bool video;
        std::uint32_t ts;
    };
    std::vector<Pushed> pushed;
    int picture = 0;
    std::size_t nextAudio = 0;
    auto now = [] { return static_cast<std::uint32_t>(GetTickMs()); };
    const std::uint32_t start = now();
    double audioTs = start, videoTs = start;
    std::uint32_t lastVideo = start;
    bool paused = false;
    std::uint32_t strayFrom = 0, strayTo = 0;
    auto step = [&] {
        std::uint32_t t = now();
        while (videoTs <= t) {
            auto pic = MakePicture(picture++);
            CDataPackage pkg(pic.size(), pic.data(), CDataPackage::FLAG_WRAP, pic.size());
            lastVideo = static_cast<std::uint32_t>(videoTs);
            worker.PushFrame(lastVideo, &pkg);
            if (!paused) pushed.push_back({true, lastVideo});
            videoTs += 1000.0 / 15;
        }
        while (audioTs <= t) {
            // While paused the captures deliver nothing; a few stray frames
            // in the middle of the pause must not show up.
            auto ts = static_cast<std::uint32_t>(audioTs);
            if (!paused || (ts > strayFrom && ts < strayTo)) {
                Push(mux, false, false, AacFrames()[nextAudio++ % AacFrames().size()], ts);
                if (!paused) pushed.push_back({false, ts});
            }
            audioTs += kAudioFrameMs;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
    };
    // Runs until `until`, then on to a moment well between two pictures, so
    // that no picture is stamped near the pause's begin or end.
    auto run = [&](std::uint32_t until) {
        while (static_cast<std::int32_t>(now() - until) < 0) step();
        while (now() - lastVideo < 20 || now() - lastVideo > 40) step();
    };
    run(start + 1000);
    const std::uint32_t pauseLo = now();
    worker.SetPause(true);
    mux.SetPause(true);
    paused = true;
    const std::uint32_t pauseHi = now();
    strayFrom = pauseLo + 300;
    strayTo = pauseLo + 370;
    run(pauseLo + 1000);
    const std::uint32_t resumeLo = now();
    mux.SetPause(false);
    worker.SetPause(false);
    const std::uint32_t resumeHi = now();
    paused = false;
    // Sound slots that began inside the pause never had data.
    while (audioTs <= resumeHi) audioTs += kAudioFrameMs;
    run(resumeLo + 1600);
    worker.StopEncoding();
    mux.Stop();

    // Where each packet must land: its time less the paused time before it.
    const std::uint32_t base = pushed.front().ts;
    const std::uint32_t tolerance = (pauseHi - pauseLo) + (resumeHi - resumeLo) + 1;
    std::vector<std::uint32_t> want[2], got[2];
    for (const Pushed& p : pushed)
        want[p.video].push_back(p.ts - base - (p.ts > pauseLo ? resumeLo - pauseLo : 0));
    auto tags = ReadTags(path);
    // The streams interleave in time order unless one of them reached the
    // muxer later than the interleave wait (a machine stalled that long).
    const bool inTime = std::max(lag.maxLagMs[0].load(), lag.maxLagMs[1].load()) <
                        static_cast<std::int32_t>(CFlvMuxer::kInterleaveWaitMs) - 100;
    std::uint32_t last = 0;
    for (const Tag& t : tags) {
        if (IsAudioFrame(t)) got[0].push_back(t.ts);
        if (IsVideoFrame(t)) got[1].push_back(t.ts);
        if (t.type != 18) {
            if (inTime) {
                EXPECT_GE(t.ts, last);
            }
            last = std::max(last, t.ts);
        }
    }
    if (!inTime) std::printf("stalled: packets up to %d ms late, order across the streams not checked\n",
                             std::max(lag.maxLagMs[0].load(), lag.maxLagMs[1].load()));
    for (int s = 0; s < 2; ++s) {
        ASSERT_EQ(got[s].size(), want[s].size()) << (s ? "video" : "audio");
        for (std::size_t i = 0; i < got[s].size(); ++i) {
            EXPECT_NEAR(got[s][i], want[s][i], tolerance) << (s ? "video " : "audio ") << i;
            if (i) {
                // Each stream always goes forward, and without a frozen
                // gap: consecutive tags stay a frame apart.
                EXPECT_GT(got[s][i], got[s][i - 1]) << (s ? "video " : "audio ") << i;
                EXPECT_LE(got[s][i] - got[s][i - 1], s ? 100u : 80u) << i;
            }
        }
    }
    // About 2.6 s recorded; where the last run ended depends on the machine.
    EXPECT_NEAR(last, std::max(want[0].back(), want[1].back()), tolerance);
    EXPECT_NEAR(last, 2650, 400);
    EXPECT_EQ(MetaDuration(tags), (last + 500) / 1000);
    EXPECT_NEAR(mux.GetPausedMs(), resumeLo - pauseLo, tolerance);
    ExpectValidFile(path);
}

// Pictures that reach the muxer from inside a pause (a worker that was not
// paused) follow the pause's start 1 ms apart; the time after the pause
// keeps those milliseconds, and sound stamped inside it is dropped.
TEST(FlvMuxerTest, PicturesInsideAPauseTakeNoTime) {
    ScratchDir dir;
    CFlvMuxer mux;
    ASSERT_EQ(InitMuxer(mux, dir.File("inside.flv"), nullptr), 0);
    SetConfig(mux, "CFG");
    auto now = [] { return static_cast<std::uint32_t>(GetTickMs()); };
    const std::uint32_t base = now();
    Push(mux, true, true, "k", base);
    Push(mux, false, false, AdtsFrame(Bytes({0xFF, 0xF1, 0x50, 0x80}), "a"), base);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    const std::uint32_t lo = now();
    mux.SetPause(true);
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    const std::uint32_t in = now();
    Push(mux, true, false, "p", in);
    Push(mux, false, false, AdtsFrame(Bytes({0xFF, 0xF1, 0x50, 0x80}), "s"), in);
    Push(mux, true, false, "q", in + 10);
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    const std::uint32_t hi = now();
    mux.SetPause(false);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const std::uint32_t after = now();
    Push(mux, true, false, "r", after);
    Push(mux, false, false, AdtsFrame(Bytes({0xFF, 0xF1, 0x50, 0x80}), "b"), after);
    mux.Stop();
    std::string order;
    std::vector<std::uint32_t> ts;
    for (const Tag& t : ReadTags(dir.File("inside.flv"))) {
        if (!IsVideoFrame(t) && !IsAudioFrame(t)) continue;
        order += t.body.back();
        ts.push_back(t.ts);
    }
    EXPECT_EQ(order, "akpqbr");
    ASSERT_EQ(ts.size(), 6u);
    const std::uint32_t pauseStart = lo - base;
    EXPECT_NEAR(ts[2], pauseStart + 1, 2);
    EXPECT_EQ(ts[3], ts[2] + 1);
    // After the pause: its length less the 2 pictures and 1 ms is removed.
    EXPECT_NEAR(ts[5], after - base - (hi - lo) + 3, 3);
    EXPECT_EQ(ts[4], ts[5]);
}

// In a child process with the file size limited: the writer fails, the
// muxer reports the code and Stop still returns at once.
template <class Body>
int RunLimited(rlim_t limit, Body body) {
    pid_t pid = fork();
    if (pid == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit rl{limit, limit};
        setrlimit(RLIMIT_FSIZE, &rl);
        _exit(body());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}

TEST(FlvMuxerTest, WriteFailureEndsTheWriterWithACode) {
    ScratchDir dir;
    const std::string path = dir.File("full.flv");
    const rlim_t limit = 200 * 1024;
    int rc = RunLimited(limit, [&] {
        CFlvMuxer mux;
        ErrorSink errors;
        if (InitMuxer(mux, path, &errors) != 0) return 1;
        SetConfig(mux, H264().config);
        for (int round = 0; round < 100 && errors.Calls() == 0; ++round) {
            PushInterleaved(mux, 1000 + round * 3000, 45, 130);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        int code = errors.WaitForError(3000);
        auto t0 = std::chrono::steady_clock::now();
        mux.Stop();
        auto stopMs = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
        if (code != CFlvMuxer::ERR_AUDIO_FRAME_WRITE && code != CFlvMuxer::ERR_VIDEO_FRAME_WRITE) return 2;
        if (errors.Calls() != 1) return 3;
        return stopMs < 1000 ? 0 : 4;
    });
    EXPECT_EQ(rc, 0);
    std::string f = ReadFile(path);
    EXPECT_LE(f.size(), limit);
    EXPECT_EQ(f.substr(0, 3), "FLV");
    // A file that could not be finished keeps its marker for the repair.
    EXPECT_TRUE(std::filesystem::exists(path + ".unfinished"));

    const std::string dump = dir.File("full.aac");
    rc = RunLimited(64 * 1024, [&] {
        CDumpAudioMuxer mux;
        ErrorSink errors;
        if (mux.Init(dump.c_str(), kWidth, kHeight, 15, 44100, 2, 98, 105, 1, 1, 0, &errors) != 0) return 1;
        for (int i = 0; i < 2000 && errors.Calls() == 0; ++i) Push(mux, false, false, AacFrames()[i % 100], i);
        int code = errors.WaitForError(3000);
        mux.Stop();
        return code == CDumpAudioMuxer::ERR_WRITE_FAILED && errors.Calls() == 1 ? 0 : 2;
    });
    EXPECT_EQ(rc, 0);
}

TEST(FlvMuxerTest, DumpMuxerGetsTheSameAudioAsAdts) {
    ScratchDir dir;
    CFlvMuxer mux;
    CDumpAudioMuxer dump;
    const std::string aac = dir.File("audio.AAC");
    ASSERT_EQ(dump.Init(aac.c_str(), kWidth, kHeight, 15, 44100, 2, 98, 105, 1, 1, 0, nullptr), 0);
    ASSERT_EQ(InitMuxer(mux, dir.File("av.flv"), nullptr), 0);
    mux.AddSubMuxer(&dump);
    mux.AddSubMuxer(nullptr);
    SetConfig(mux, H264().config);
    PushInterleaved(mux, 50000, 30, 90);
    EXPECT_EQ(mux.Stop(), 0);
    EXPECT_EQ(dump.Stop(), 0);
    std::string expected;
    for (int i = 0; i < 90; ++i) expected += AacFrames()[i];
    EXPECT_EQ(ReadFile(aac), expected);
    auto s = ProbeStreams(aac);
    EXPECT_EQ(s["streams.stream.0.codec_name"], "aac");
    EXPECT_EQ(s["streams.stream.0.sample_rate"], "44100");
    EXPECT_EQ(s["streams.stream.0.channels"], "2");
    EXPECT_EQ(RunCommand("ffmpeg -nostdin -v error -i '" + aac + "' -f null -"), "");
}

TEST(FlvMuxerTest, InitFailuresAndStopWithoutInit) {
    CFlvMuxer idle;
    EXPECT_EQ(idle.Stop(), 0);
    CDumpAudioMuxer idleDump;
    EXPECT_EQ(idleDump.Stop(), 0);
    CFlvMuxer mux;
    EXPECT_EQ(InitMuxer(mux, "/nonexistent-dir/x.flv", nullptr), -99);
    EXPECT_EQ(mux.Stop(), 0);
    CDumpAudioMuxer dump;
    EXPECT_EQ(dump.Init("/nonexistent-dir/x.aac", 0, 0, 0, 44100, 2, 98, 105, 1, 1, 0, nullptr), -100);
    ScratchDir dir;
    CFlvMuxer twice;
    ASSERT_EQ(InitMuxer(twice, dir.File("t.flv"), nullptr), 0);
    EXPECT_EQ(InitMuxer(twice, dir.File("t2.flv"), nullptr), -95);
}

// The video worker feeding the muxer: every picture pushed becomes a video
// tag, also when the stop comes right after the last push.

TEST(FlvMuxerTest, EveryPicturePushedToTheWorkerIsWritten) {
    ScratchDir dir;
    const std::string path = dir.File("worker.flv");
    CFlvMuxer mux;
    CVideoEncodingWorker worker;
    CountingObserver observer;
    ASSERT_EQ(InitMuxer(mux, path, nullptr), 0);
    ASSERT_TRUE(worker.Init(&mux, kWidth, kHeight, UC_PIX_BGRA, 15, &observer));
    ASSERT_EQ(worker.StartEncoding(), 0);
    const int kPictures = 40;
    for (int i = 0; i < kPictures; ++i) {
        auto pic = MakePicture(i);
        CDataPackage pkg(pic.size(), pic.data(), CDataPackage::FLAG_WRAP, pic.size());
        worker.PushFrame(20000 + static_cast<std::uint32_t>(i * 1000 / 15), &pkg);
        // The caller reuses its buffer at once: the worker must have copied it.
        std::fill(pic.begin(), pic.end(), 0);
        // Sound alongside, so that the file has both streams.
        for (int a = i * 3; a < i * 3 + 3; ++a)
            Push(mux, false, false, AacFrames()[a], 20000 + static_cast<std::uint32_t>(a * kAudioFrameMs));
    }
    EXPECT_EQ(worker.StopEncoding(), 0);
    EXPECT_EQ(mux.Stop(), 0);
    EXPECT_EQ(observer.count, kPictures);
    int video = 0;
    for (const Tag& t : ReadTags(path)) video += IsVideoFrame(t);
    EXPECT_EQ(video, kPictures);
    ExpectValidFile(path);
}

}  // namespace

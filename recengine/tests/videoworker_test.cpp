// The video encoding worker with a scripted codec (this program's own
// CreateH264Codec stands in for the library's while a script is set) and
// with the real H.264 encoder.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "basekit/datapackage.h"
#include "basekit/logwrapper.h"
#include "basekit/tickcount.h"
#include "videoencodingworker.h"
#include "videokit/h264codec.h"

namespace {

// Encode returns the scripted types in turn (3 once the script is used up);
// a frame's bytes are "F" + the picture's first byte, and its time stamp the
// picture's plus one. Flush hands out `flushFrames` delayed frames.
class ScriptedCodec : public CUcH264codec {
public:
    std::vector<int> types;
    int initResult = 0;
    int configFailures = 0;
    int flushFrames = 0;
    UcH264EncodeParam param;
    std::vector<std::string> seen;  // first byte, width x height of each picture

    const char* GetCodecName() override { return "scripted"; }
    int Init(const UcH264EncodeParam* p) override {
        param = *p;
        return initResult;
    }
    int Uninit() override { return 0; }
    int GetParam(UcH264EncodeParam* p) override {
        *p = param;
        return 0;
    }
    int SetBitRate(int) override { return 0; }
    int Encode(const unsigned char* pic, int len, int w, int h, unsigned char** out, int* outLen,
               std::uint32_t* ts) override {
        seen.push_back(std::string(1, len > 0 ? static_cast<char>(pic[0]) : '?') + " " +
                       std::to_string(w) + "x" + std::to_string(h));
        int type = m_next < types.size() ? types[m_next] : UC_H264_FRAME_P;
        ++m_next;
        if (type == UC_H264_FRAME_NONE) {
            *out = nullptr;
            *outLen = 0;
            return 0;
        }
        m_out = std::string("F") + static_cast<char>(pic[0]);
        *out = reinterpret_cast<unsigned char*>(m_out.data());
        *outLen = static_cast<int>(m_out.size());
        *ts += 1;
        return type;
    }
    int ForceKeyFrame() override { return 0; }
    int GetDelayedFrames() override { return flushFrames; }
    int Reserved8() override { return 10004; }
    int Reserved9() override { return 10004; }
    int Reserved10() override { return 10004; }
    int Reserved11() override { return 10004; }
    int Reserved12() override { return 10004; }
    int Reserved13() override { return 10004; }
    int Reserved14() override { return 10004; }
    int Reserved15() override { return 10004; }
    int GetAVCConfig(unsigned char** data, int* len) override {
        if (configFailures > 0) {
            --configFailures;
            return 10015;
        }
        *data = reinterpret_cast<unsigned char*>(m_config.data());
        *len = static_cast<int>(m_config.size());
        return 0;
    }
    int Flush(unsigned char** out, int* outLen, std::uint32_t* ts) override {
        if (flushFrames == 0) {
            *out = nullptr;
            *outLen = 0;
            return 0;
        }
        --flushFrames;
        m_out = "D" + std::to_string(flushFrames);
        *out = reinterpret_cast<unsigned char*>(m_out.data());
        *outLen = static_cast<int>(m_out.size());
        *ts = 9000 + flushFrames;
        return UC_H264_FRAME_P;
    }

private:
    std::size_t m_next = 0;
    std::string m_out;
    std::string m_config = "CFG!";
};

ScriptedCodec* g_scriptedCodec = nullptr;
bool g_failCreate = false;

}  // namespace

// Interposes the library's exports for this program.
extern "C" CUcH264codec* CreateH264Codec(int nType) {
    if (g_failCreate) return nullptr;
    if (g_scriptedCodec) return g_scriptedCodec;
    static auto real = reinterpret_cast<CUcH264codec* (*)(int)>(dlsym(RTLD_NEXT, "CreateH264Codec"));
    return real ? real(nType) : nullptr;
}

extern "C" void DestoryH264Codec(CUcH264codec* pCodec) {
    if (pCodec && pCodec == g_scriptedCodec) return;  // the test owns it
    static auto real = reinterpret_cast<void (*)(CUcH264codec*)>(dlsym(RTLD_NEXT, "DestoryH264Codec"));
    if (real) real(pCodec);
}

namespace {

class RecordingMux : public IMUXPushData {
public:
    void PushMediaData(bool bVideo, bool bKeyFrame, CDataPackage* payload, std::uint32_t ts) override {
        std::lock_guard<std::mutex> lock(m_lock);
        events.push_back(std::string(bVideo ? "video" : "audio") + (bKeyFrame ? " key " : " ") +
                         payload->FlattenPackage() + " " + std::to_string(ts));
        frames.push_back(payload->FlattenPackage());
    }
    std::uint32_t SetVideoConfig(CDataPackage& config) override {
        std::lock_guard<std::mutex> lock(m_lock);
        events.push_back("config " + config.FlattenPackage());
        return 0;
    }
    int SetPause(bool) override { return 0; }

    std::vector<std::string> events;
    std::vector<std::string> frames;

private:
    std::mutex m_lock;
};

class CountingObserver : public IVideoEncodingObserver {
public:
    void OnVideoFrameEncoded() override { ++count; }
    std::atomic<int> count{0};
};

// Collects the log lines that contain one of the watched texts.
class LogWatch : public ILogObserver {
public:
    explicit LogWatch(std::vector<std::string> texts) : m_texts(std::move(texts)) {
        CLogWrapper::Instance()->SetObserver(this);
    }
    ~LogWatch() override { CLogWrapper::Instance()->SetObserver(nullptr); }
    void OnLogLine(int level, const char* text) override {
        std::lock_guard<std::mutex> lock(m_lock);
        for (const std::string& t : m_texts)
            if (std::string(text).find(t) != std::string::npos) m_seen.push_back(std::to_string(level) + " " + t);
    }
    std::vector<std::string> Seen() {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_seen;
    }

private:
    std::vector<std::string> m_texts;
    std::vector<std::string> m_seen;
    std::mutex m_lock;
};

void PushPicture(CVideoEncodingWorker& worker, char first, std::size_t size, std::uint32_t ts) {
    std::string pic(size, first);
    CDataPackage pkg(pic.size(), pic.data(), CDataPackage::FLAG_WRAP, pic.size());
    worker.PushFrame(ts, &pkg);
}

TEST(VideoWorkerTest, InitSetsTheParameterBlock) {
    CVideoEncodingWorker worker;
    UcH264EncodeParam p = worker.GetEncodeParam();
    EXPECT_EQ(p.width, 320);
    EXPECT_EQ(p.height, 240);
    EXPECT_EQ(p.frameRate, 20);
    EXPECT_EQ(p.bitRate, 0);
    RecordingMux mux;
    CountingObserver observer;
    EXPECT_FALSE(worker.Init(&mux, 640, 480, 12, 15, nullptr));
    ASSERT_TRUE(worker.Init(&mux, 640, 480, 12, 15, &observer));
    p = worker.GetEncodeParam();
    const std::int32_t expected[13] = {640, 480, 300, 150, 15, 12, 12, 0, 1500000, 0, 0, 0, 0};
    EXPECT_EQ(std::memcmp(&p, expected, sizeof expected), 0);
    EXPECT_EQ(worker.StopEncoding(), 0);  // never started: returns at once
}

TEST(VideoWorkerTest, FramesConfigurationAndDelayedFramesReachTheMuxer) {
    ScriptedCodec codec;
    // a: other frame before any configuration; b: no output; c: key frame
    // whose configuration fails (skipped); d: key frame with configuration.
    codec.types = {UC_H264_FRAME_P, UC_H264_FRAME_NONE, UC_H264_FRAME_IDR, UC_H264_FRAME_IDR, UC_H264_FRAME_P};
    codec.configFailures = 1;
    codec.flushFrames = 2;
    g_scriptedCodec = &codec;
    LogWatch log({"Invaild type", "Invaild AvgData", "Thread go stop"});
    RecordingMux mux;
    CountingObserver observer;
    CVideoEncodingWorker worker;
    ASSERT_TRUE(worker.Init(&mux, 64, 48, 12, 15, &observer));
    // Queued before the thread runs, and the stop follows at once: every
    // picture is still encoded, in push order, and the encoder drained.
    for (int i = 0; i < 5; ++i) PushPicture(worker, static_cast<char>('a' + i), 64 * 48 * 4, 100 * (i + 1));
    ASSERT_EQ(worker.StartEncoding(), 0);
    EXPECT_EQ(worker.StopEncoding(), 0);
    g_scriptedCodec = nullptr;

    const std::vector<std::string> events = {
        "video Fa 101", "config CFG!", "video key Fd 401", "video Fe 501", "video D1 9001", "video D0 9000",
    };
    EXPECT_EQ(mux.events, events);
    EXPECT_EQ(observer.count, 5);
    const std::vector<std::string> seen = {"a 64x48", "b 64x48", "c 64x48", "d 64x48", "e 64x48"};
    EXPECT_EQ(codec.seen, seen);
    EXPECT_EQ(codec.param.bitRate, 1500000);
    const std::vector<std::string> lines = {"1 Invaild type", "1 Invaild AvgData", "2 Thread go stop"};
    EXPECT_EQ(log.Seen(), lines);
}

TEST(VideoWorkerTest, PicturesStampedInsideAPauseAreLeftOut) {
    ScriptedCodec codec;
    g_scriptedCodec = &codec;
    RecordingMux mux;
    CountingObserver observer;
    CVideoEncodingWorker worker;
    ASSERT_TRUE(worker.Init(&mux, 64, 48, 12, 15, &observer));
    ASSERT_EQ(worker.StartEncoding(), 0);
    const std::size_t size = 64 * 48 * 4;
    auto before = static_cast<std::uint32_t>(GetTickMs());
    PushPicture(worker, 'a', size, before - 10);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_EQ(worker.SetPause(true), 0);
    auto begin = static_cast<std::uint32_t>(GetTickMs());
    PushPicture(worker, 'b', size, before);  // taken before the pause, pushed during it
    PushPicture(worker, 'c', size, begin);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const std::uint32_t inside = begin + 10;
    EXPECT_EQ(worker.SetPause(false), 0);
    auto end = static_cast<std::uint32_t>(GetTickMs());
    PushPicture(worker, 'd', size, inside);  // taken during the pause, pushed after it
    PushPicture(worker, 'e', size, end);
    EXPECT_EQ(worker.StopEncoding(), 0);
    g_scriptedCodec = nullptr;
    const std::vector<std::string> seen = {"a 64x48", "b 64x48", "e 64x48"};
    EXPECT_EQ(codec.seen, seen);
    EXPECT_EQ(observer.count, 3);
}

TEST(VideoWorkerTest, CodecFailuresEndTheThreadQuietly) {
    RecordingMux mux;
    CountingObserver observer;
    {
        LogWatch log({" --- Create H264 Encode codec fail"});
        g_failCreate = true;
        CVideoEncodingWorker worker;
        ASSERT_TRUE(worker.Init(&mux, 64, 48, 12, 15, &observer));
        ASSERT_EQ(worker.StartEncoding(), 0);
        PushPicture(worker, 'x', 64 * 48 * 4, 1);
        EXPECT_EQ(worker.StopEncoding(), 0);
        g_failCreate = false;
        EXPECT_EQ(log.Seen().size(), 1u);
    }
    {
        LogWatch log({" --- Create H264 Encode codec init fail, errorcode=10001"});
        ScriptedCodec codec;
        codec.initResult = 10001;
        g_scriptedCodec = &codec;
        CVideoEncodingWorker worker;
        ASSERT_TRUE(worker.Init(&mux, 64, 48, 12, 15, &observer));
        ASSERT_EQ(worker.StartEncoding(), 0);
        PushPicture(worker, 'x', 64 * 48 * 4, 1);
        EXPECT_EQ(worker.StopEncoding(), 0);
        g_scriptedCodec = nullptr;
        EXPECT_TRUE(codec.seen.empty());
        EXPECT_EQ(log.Seen().size(), 1u);
    }
    EXPECT_TRUE(mux.events.empty());
    EXPECT_EQ(observer.count, 0);
}

// Walks a frame of 4-byte length-prefixed NAL units; the NAL types found.
std::vector<int> NalTypes(const std::string& frame) {
    std::vector<int> types;
    std::size_t pos = 0;
    while (pos + 4 < frame.size()) {
        std::size_t len = 0;
        for (int i = 0; i < 4; ++i) len = len << 8 | static_cast<unsigned char>(frame[pos + i]);
        if (len == 0 || pos + 4 + len > frame.size()) return {};
        types.push_back(frame[pos + 4] & 0x1F);
        pos += 4 + len;
    }
    return pos == frame.size() ? types : std::vector<int>{};
}

TEST(VideoWorkerTest, RealEncoderGivesOneFramePerPicture) {
    RecordingMux mux;
    CountingObserver observer;
    CVideoEncodingWorker worker;
    ASSERT_TRUE(worker.Init(&mux, 160, 96, UC_PIX_BGRA, 15, &observer));
    ASSERT_EQ(worker.StartEncoding(), 0);
    const int kPictures = 30;
    for (int i = 0; i < kPictures; ++i) PushPicture(worker, static_cast<char>(i * 8), 160 * 96 * 4, 1000 + i * 66);
    EXPECT_EQ(worker.StopEncoding(), 0);

    ASSERT_EQ(mux.events.size(), kPictures + 1u);
    EXPECT_EQ(mux.events[0].rfind("config ", 0), 0u);
    EXPECT_EQ(mux.events[1].rfind("video key ", 0), 0u);
    EXPECT_EQ(observer.count, kPictures);
    for (int i = 0; i < kPictures; ++i) {
        const std::string& e = mux.events[i + 1];
        EXPECT_EQ(e.substr(e.rfind(' ') + 1), std::to_string(1000 + i * 66)) << i;
        auto types = NalTypes(mux.frames[i]);
        ASSERT_FALSE(types.empty()) << "frame " << i << " is not length-prefixed NAL units";
        for (int t : types) EXPECT_TRUE(t == 1 || t == 5 || t == 6) << "NAL type " << t;
    }
}

}  // namespace

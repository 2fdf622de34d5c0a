// The conversion of pushed pictures at push time: band after band gives
// exactly the I420 of converting each whole picture (random bands and
// contents, odd tops, the last row, size changes, readers that lag behind),
// the copies per picture, and the video worker feeding a codec I420 through
// pauses.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "basekit/datapackage.h"
#include "basekit/tickcount.h"
#include "bgratoi420.h"
#include "videoencodingworker.h"
#include "videokit/h264changedrows.h"
#include "videopictureconverter.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// The screen the tests draw: a BGRA picture that changes row bands.
struct Screen {
    int w, h;
    Bytes bgra;
    Screen(int width, int height, std::mt19937& rng) : w(width), h(height), bgra(static_cast<std::size_t>(width) * height * 4) {
        for (auto& b : bgra) b = static_cast<std::uint8_t>(rng());
    }
    void Scribble(int top, int rows, std::mt19937& rng) {
        for (int y = top; y < top + rows; ++y)
            for (int i = 0; i < w * 4; ++i)
                if (rng() % 3 == 0) bgra[(static_cast<std::size_t>(y) * w) * 4 + i] = static_cast<std::uint8_t>(rng());
    }
    VideoPicture Picture(int top, int rows) const {
        VideoPicture p;
        p.pData = bgra.data();
        p.nLength = bgra.size();
        p.nWidth = w;
        p.nHeight = h;
        p.nStride = w * 4;
        p.nDirtyTop = top;
        p.nDirtyRows = rows;
        return p;
    }
    // The I420 of the whole picture, converted at once.
    Bytes WholeI420() const {
        Bytes out(static_cast<std::size_t>(w) * h * 3 / 2);
        const std::size_t luma = static_cast<std::size_t>(w) * h;
        CBgraToI420::ConvertRows(bgra.data(), w * 4, w, 0, h,
                                 I420Planes{out.data(), out.data() + luma, out.data() + luma + luma / 4, w, w / 2});
        return out;
    }
};

Bytes PacketBytes(const MediaPacket& packet) {
    const std::string flat = packet.data->FlattenPackage();
    return Bytes(flat.begin(), flat.end());
}

TEST(VideoPictureConverter, BandsGiveExactlyTheWholePicturesEvenWithReadersBehind) {
    std::mt19937 rng(12);
    CVideoPictureConverter converter;
    struct Held {
        MediaPacket packet;
        Bytes expected;
    };
    std::deque<Held> held;  // packets a slow encoder would still read
    int pictures = 0;
    for (const auto& [w, h] : {std::pair{64, 48}, std::pair{96, 34}, std::pair{64, 48}}) {
        Screen screen(w, h, rng);
        for (int i = 0; i < 150; ++i, ++pictures) {
            int top = 0, rows = -1;
            switch (i == 0 ? 9 : rng() % 6) {
            case 0: rows = 0; break;                                // nothing changed
            case 1: top = h - 1; rows = 1; break;                   // the last row
            case 2: top = 2 * static_cast<int>(rng() % (h / 2)) + 1; rows = 1 + static_cast<int>(rng() % 5); break;  // odd top
            case 3: rows = -1; break;                               // unknown
            default: top = static_cast<int>(rng() % h); rows = 1 + static_cast<int>(rng() % (h - top)); break;
            }
            if (rows != 0) screen.Scribble(rows < 0 ? 0 : top, rows < 0 ? h : std::min(rows, h - top), rng);
            MediaPacket packet;
            converter.Convert(screen.Picture(top, rows), packet);
            Bytes expected = screen.WholeI420();
            ASSERT_EQ(PacketBytes(packet), expected) << w << "x" << h << " picture " << i << " band " << top << "+" << rows;
            if (rng() % 3 == 0) held.push_back({std::move(packet), std::move(expected)});
            // A held picture never changes while it is read.
            while (held.size() > 3 || (!held.empty() && rng() % 2 == 0)) {
                ASSERT_EQ(PacketBytes(held.front().packet), held.front().expected) << "picture changed under its reader";
                held.pop_front();
            }
        }
    }
    const CVideoPictureConverter::Stats& stats = converter.GetStats();
    EXPECT_EQ(stats.nPictures, static_cast<std::uint64_t>(pictures));
    EXPECT_GT(stats.nReused, 0u);
    EXPECT_GT(stats.nBandConversions, 0u);
    EXPECT_GT(stats.nPictureCopies, 0u);  // some bands came while the kept picture was read
    EXPECT_LE(converter.PoolCount(), 7u);  // 3 held + the kept + spares
}

TEST(VideoPictureConverter, AReaderThatKeepsUpCostsNoCopiesAndNoNewBuffers) {
    std::mt19937 rng(5);
    Screen screen(128, 64, rng);
    CVideoPictureConverter converter;
    for (int i = 0; i < 40; ++i) {
        const int top = i % 4 == 0 ? 0 : 2 * (i % 30);
        const int rows = i % 4 == 0 ? 0 : 3;
        if (rows) screen.Scribble(top, rows, rng);
        MediaPacket packet;
        converter.Convert(screen.Picture(top, rows), packet);
    }  // each packet is released before the next picture, as a quick encoder does
    const CVideoPictureConverter::Stats& stats = converter.GetStats();
    EXPECT_EQ(stats.nPictureCopies, 0u);
    EXPECT_EQ(stats.nWholeConversions, 1u);
    EXPECT_EQ(stats.nReused, 9u);  // i = 4, 8, ... 36 (i = 0 is the first, converted whole)
    EXPECT_EQ(stats.nRowsConverted, 64u + 30u * 4u);  // bands of 3 rows widen to 4
    EXPECT_EQ(converter.PoolCount(), 1u);
}

TEST(VideoPictureConverter, RefusesWhatItCannotRead) {
    std::mt19937 rng(1);
    Screen screen(16, 8, rng);
    VideoPicture ok = screen.Picture(0, -1);
    EXPECT_TRUE(CVideoPictureConverter::CanConvert(ok));
    VideoPicture p = ok;
    p.nFormat = UC_PIX_RGBA;
    EXPECT_FALSE(CVideoPictureConverter::CanConvert(p));
    p = ok;
    p.nWidth = 15;
    EXPECT_FALSE(CVideoPictureConverter::CanConvert(p));
    p = ok;
    p.nStride = 60;
    EXPECT_FALSE(CVideoPictureConverter::CanConvert(p));
    p = ok;
    p.nLength -= 1;
    EXPECT_FALSE(CVideoPictureConverter::CanConvert(p));
    p = ok;
    p.pData = nullptr;
    EXPECT_FALSE(CVideoPictureConverter::CanConvert(p));
    p = ok;
    p.nStride = 2147483644;  // rows far beyond the bytes
    EXPECT_FALSE(CVideoPictureConverter::CanConvert(p));
}

// A codec that keeps a copy of every picture it is given, and the changed
// rows announced with it ("unset" when none were).
class KeepingCodec : public CUcH264codec, public IH264ChangedRows {
public:
    UcH264EncodeParam param;
    std::vector<Bytes> inputs;
    std::vector<std::string> bands;

    int SetNextChangedRows(int nTop, int nRows) override {
        m_band = std::to_string(nTop) + "+" + std::to_string(nRows);
        return 0;
    }

    const char* GetCodecName() override { return "keeping"; }
    int Init(const UcH264EncodeParam* p) override {
        param = *p;
        return 0;
    }
    int Uninit() override { return 0; }
    int GetParam(UcH264EncodeParam* p) override {
        *p = param;
        return 0;
    }
    int SetBitRate(int) override { return 0; }
    int Encode(const unsigned char* pic, int len, int, int, unsigned char** out, int* outLen,
               std::uint32_t*) override {
        inputs.emplace_back(pic, pic + len);
        bands.push_back(m_band);
        m_band = "unset";
        *out = m_frame;
        *outLen = 1;
        return UC_H264_FRAME_P;
    }
    int ForceKeyFrame() override { return 0; }
    int GetDelayedFrames() override { return 0; }
    int Reserved8() override { return UC_ERR_NOT_SUPPORTED; }
    int Reserved9() override { return UC_ERR_NOT_SUPPORTED; }
    int Reserved10() override { return UC_ERR_NOT_SUPPORTED; }
    int Reserved11() override { return UC_ERR_NOT_SUPPORTED; }
    int Reserved12() override { return UC_ERR_NOT_SUPPORTED; }
    int Reserved13() override { return UC_ERR_NOT_SUPPORTED; }
    int Reserved14() override { return UC_ERR_NOT_SUPPORTED; }
    int Reserved15() override { return UC_ERR_NOT_SUPPORTED; }
    int GetAVCConfig(unsigned char** data, int* len) override {
        *data = m_frame;
        *len = 1;
        return 0;
    }
    int Flush(unsigned char** out, int* outLen, std::uint32_t*) override {
        *out = nullptr;
        *outLen = 0;
        return UC_H264_FRAME_NONE;
    }

private:
    unsigned char m_frame[1] = {0x42};
    std::string m_band = "unset";
};

KeepingCodec* g_codec = nullptr;

}  // namespace

// Interposes the library's exports for this program while a codec is set.
extern "C" CUcH264codec* CreateH264Codec(int nType) {
    if (g_codec) return g_codec;
    static auto real = reinterpret_cast<CUcH264codec* (*)(int)>(dlsym(RTLD_NEXT, "CreateH264Codec"));
    return real ? real(nType) : nullptr;
}

extern "C" void DestoryH264Codec(CUcH264codec* pCodec) {
    if (pCodec && pCodec == g_codec) return;  // the test owns it
    static auto real = reinterpret_cast<void (*)(CUcH264codec*)>(dlsym(RTLD_NEXT, "DestoryH264Codec"));
    if (real) real(pCodec);
}

namespace {

class NullMux : public IMUXPushData {
public:
    void PushMediaData(bool, bool, CDataPackage*, std::uint32_t) override {}
    std::uint32_t SetVideoConfig(CDataPackage&) override { return 0; }
    int SetPause(bool) override { return 0; }
};

class CountingObserver : public IVideoEncodingObserver {
public:
    void OnVideoFrameEncoded() override { ++count; }
    void WaitFor(int n) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (count.load() < n && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::atomic<int> count{0};
};

// A worker whose codec keeps what it is given; the conversion at push on or off.
struct WorkerRig {
    KeepingCodec codec;
    NullMux mux;
    CountingObserver observer;
    CVideoEncodingWorker worker;
    WorkerRig(int w, int h, bool convert) {
        g_codec = &codec;
        if (convert) worker.EnableConversionAtPush();
        EXPECT_TRUE(worker.Init(&mux, w, h, UC_PIX_BGRA, 15, &observer));
        EXPECT_EQ(worker.StartEncoding(), 0);
    }
    // Stops the thread and lets go of the codec.
    void Stop() {
        EXPECT_EQ(worker.StopEncoding(), 0);
        g_codec = nullptr;
    }
    ~WorkerRig() { g_codec = nullptr; }
};

TEST(VideoWorkerConversion, ThePushedBgraReachesTheCodecAsI420WithoutACopy) {
    std::mt19937 rng(9);
    WorkerRig rig(64, 48, true);
    Screen screen(64, 48, rng);
    std::vector<Bytes> expected;
    // The rows the codec is told changed: the pushed band widened to even
    // rows, relative to the picture the codec got before.
    std::vector<std::string> bands;
    const std::uint32_t t0 = static_cast<std::uint32_t>(GetTickMs()) - 10000;
    for (int i = 0; i < 20; ++i) {
        const int top = static_cast<int>(rng() % 40), rows = i % 5 == 4 ? 0 : 1 + static_cast<int>(rng() % 8);
        if (rows) screen.Scribble(top, rows, rng);
        if (i % 7 == 6) {
            // Through the plain interface: every row counts as changed.
            CDataPackage bytes(screen.bgra.size(), screen.bgra.data(), CDataPackage::FLAG_WRAP, screen.bgra.size());
            rig.worker.PushFrame(t0 + i, &bytes);
            bands.push_back("0+-1");
        } else {
            rig.worker.PushPicture(t0 + i, screen.Picture(top, rows));
            const int evenTop = top & ~1, evenEnd = std::min(48, (top + rows + 1) & ~1);
            bands.push_back(i == 0 ? "0+-1" : rows == 0 ? "0+0" : std::to_string(evenTop) + "+" + std::to_string(evenEnd - evenTop));
        }
        expected.push_back(screen.WholeI420());
        rig.observer.WaitFor(i + 1);  // an encoder that keeps up
    }
    rig.Stop();
    EXPECT_EQ(rig.codec.param.inputFormat, UC_PIX_I420);
    EXPECT_EQ(rig.codec.inputs, expected);
    EXPECT_EQ(rig.codec.bands, bands);
    // No whole picture was copied on its way: one conversion (or none) each.
    const CVideoEncodingWorker::PictureStats stats = rig.worker.GetPictureStats();
    EXPECT_EQ(stats.nByteCopies, 0u);
    EXPECT_EQ(stats.conversion.nPictureCopies, 0u);
    EXPECT_EQ(stats.conversion.nPictures, 20u);
    EXPECT_EQ(stats.nPooled, 1u);
    EXPECT_EQ(rig.worker.GetEncodeParam().inputFormat, UC_PIX_BGRA);  // what the caller set
}

TEST(VideoWorkerConversion, WithoutTheConversionEachPictureIsCopiedOnce) {
    WorkerRig rig(16, 8, false);
    Bytes bgra(16 * 8 * 4, 77);
    for (int i = 0; i < 5; ++i) {
        CDataPackage bytes(bgra.size(), bgra.data(), CDataPackage::FLAG_WRAP, bgra.size());
        rig.worker.PushFrame(static_cast<std::uint32_t>(i), &bytes);
    }
    rig.Stop();
    EXPECT_EQ(rig.codec.param.inputFormat, UC_PIX_BGRA);
    ASSERT_EQ(rig.codec.inputs.size(), 5u);
    EXPECT_EQ(rig.codec.inputs[0], bgra);
    EXPECT_EQ(rig.worker.GetPictureStats().nByteCopies, 5u);
}

TEST(VideoWorkerConversion, PicturesLeftOutInAPauseOrOfAnotherSizeDoNotLeaveStaleRows) {
    std::mt19937 rng(4);
    WorkerRig rig(32, 16, true);
    Screen screen(32, 16, rng);
    std::vector<Bytes> expected;
    rig.worker.PushPicture(static_cast<std::uint32_t>(GetTickMs()), screen.Picture(0, -1));
    expected.push_back(screen.WholeI420());

    ASSERT_EQ(rig.worker.SetPause(true), 0);
    screen.Scribble(2, 3, rng);  // changed while paused: this picture is left out
    rig.worker.PushPicture(static_cast<std::uint32_t>(GetTickMs()), screen.Picture(2, 3));
    std::this_thread::sleep_for(std::chrono::milliseconds(3));
    ASSERT_EQ(rig.worker.SetPause(false), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(3));
    screen.Scribble(10, 2, rng);
    rig.worker.PushPicture(static_cast<std::uint32_t>(GetTickMs()), screen.Picture(10, 2));
    expected.push_back(screen.WholeI420());  // rows 2..4 too

    // A picture of another size is left out, and the next band still
    // yields the whole picture.
    Screen other(20, 16, rng);
    rig.worker.PushPicture(static_cast<std::uint32_t>(GetTickMs()), other.Picture(0, -1));
    screen.Scribble(6, 1, rng);
    rig.worker.PushPicture(static_cast<std::uint32_t>(GetTickMs()), screen.Picture(6, 1));
    expected.push_back(screen.WholeI420());
    rig.Stop();
    EXPECT_EQ(rig.codec.inputs, expected);
    // After each left-out picture the codec hears that any row may differ.
    const std::vector<std::string> bands = {"0+-1", "0+-1", "0+-1"};
    EXPECT_EQ(rig.codec.bands, bands);
    EXPECT_EQ(rig.worker.GetPictureStats().nLeftOut, 2u);
}

}  // namespace

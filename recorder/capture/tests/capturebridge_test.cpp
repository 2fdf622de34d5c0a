// CCaptureBridge with the real canvas on a private Xvfb: set-up and
// teardown, no screen reads before a recording, 1:1 copies pixel for pixel,
// area-averaged scaling, black pictures for an empty rectangle, a rectangle
// that moves between pictures, engine changes while the canvas runs, and a
// real engine recording what the bridge hands it.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "basekit/datapackage.h"
#include "capturebridge.h"
#include "recengine/orvixavrecord.h"
#include "recengine/videopicturesink.h"
#include "support/mediaprobe.h"
#include "testscreen.h"
#include "xtestfixture.h"

namespace {

using namespace std::chrono_literals;

// Stands in for the engine where the pictures themselves are checked: keeps
// a copy of the latest one and counts them.
class CPictureCatcher : public IOrvixAvRecordInterface {
public:
    std::uint32_t Init(IOrvixRecordSink*, int, int, int, int) override { return 0; }
    std::uint32_t SetCurrentAudioDevice(std::list<AudioDeviceInfo>*) override { return 0; }
    std::uint32_t StartRecord(RecordParam*) override { return 0; }
    std::uint32_t StopRecord() override { return 0; }
    std::uint32_t PauseRecord() override { return 0; }
    std::uint32_t ResumeRecord() override { return 0; }
    std::uint32_t GetDeviceList(std::list<AudioDeviceInfo>*) override { return 0; }
    std::uint32_t PushVideoData(std::uint32_t timestamp, CDataPackage* picture) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_last.resize(picture->GetPackageLength());
        picture->Peek(m_last.data(), m_last.size());
        m_dwLastStamp = timestamp;
        ++m_nCount;
        m_cv.notify_all();
        return 0;
    }

    // The picture that arrives after `skip` more pictures (so that it was
    // drawn after the caller's last change); empty after a time-out.
    std::vector<std::uint8_t> Next(int skip = 2) {
        std::unique_lock<std::mutex> lock(m_mutex);
        const int want = m_nCount + skip;
        if (!m_cv.wait_for(lock, 5s, [&] { return m_nCount >= want; })) return {};
        return m_last;
    }
    int Count() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_nCount;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::vector<std::uint8_t> m_last;
    std::uint32_t m_dwLastStamp = 0;
    int m_nCount = 0;
};

// An engine that also takes pictures described in full: records what each
// push carried.
class CDescribedPictureCatcher : public CPictureCatcher, public IVideoPictureSink {
public:
    std::uint32_t PushVideoData(std::uint32_t timestamp, CDataPackage* picture) override {
        m_pBytesSeen = picture->GetReadPtr();
        return CPictureCatcher::PushVideoData(timestamp, picture);
    }
    std::uint32_t PushVideoPicture(std::uint32_t timestamp, const VideoPicture& picture) override {
        m_last = picture;
        m_dwStamp = timestamp;
        ++m_nDescribed;
        return 0;
    }
    VideoPicture m_last;
    std::uint32_t m_dwStamp = 0;
    int m_nDescribed = 0;
    const std::uint8_t* m_pBytesSeen = nullptr;
};

// A screen context that only counts what is asked of it.
class CCountingScreen : public IOBSEngineScreenDC {
public:
    int GetWidth() override { return 1280; }
    int GetHeight() override { return 720; }
    bool BitBlt(IOBSEngineDC*, int, int, int w, int h, int sx, int sy) override {
        ++m_nBitBlts;
        m_args = {w, h, sx, sy, 0, 0};
        return true;
    }
    bool StretchBlt(IOBSEngineDC*, int, int, int dw, int dh, int sx, int sy, int sw, int sh) override {
        ++m_nStretchBlts;
        m_args = {dw, dh, sx, sy, sw, sh};
        return true;
    }
    int m_nBitBlts = 0;
    int m_nStretchBlts = 0;
    std::vector<int> m_args;
};

class CCountingDC : public IOBSEngineDC {
public:
    CCountingDC(int w, int h) : m_nWidth(w), m_nHeight(h), m_bits(static_cast<std::size_t>(w) * h * 4, 0x55) {}
    std::uint8_t* GetBits() override { return m_bits.data(); }
    int GetWidth() override { return m_nWidth; }
    int GetHeight() override { return m_nHeight; }
    int GetStride() override { return m_nWidth * 4; }
    void FillColor(std::uint32_t argb) override {
        ++m_nFills;
        m_dwFill = argb;
    }
    IOBSEngineScreenDC* GetScreenDC() override {
        ++m_nScreenRequests;
        return m_pScreen;
    }
    int m_nWidth, m_nHeight;
    std::vector<std::uint8_t> m_bits;
    IOBSEngineScreenDC* m_pScreen = nullptr;
    int m_nScreenRequests = 0;
    int m_nFills = 0;
    std::uint32_t m_dwFill = 0;
};

// A rectangle the test changes while the canvas thread reads it.
class CSharedRect {
public:
    void Set(const CaptureRect& r) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_rect = r;
    }
    std::function<CaptureRect()> Provider() {
        return [this] {
            std::lock_guard<std::mutex> lock(m_mutex);
            return m_rect;
        };
    }

private:
    std::mutex m_mutex;
    CaptureRect m_rect;
};

// The colour painted at (x, y) by PaintPattern: 16 bands of colours across,
// with single-pixel lines at known places.
std::uint32_t BandColour(int band, int row) {
    const auto b = static_cast<std::uint32_t>(band), r = static_cast<std::uint32_t>(row);
    return ((b * 16 + 8) << 16) | ((r * 30 + 10) << 8) | ((b * 7 + r * 11) & 0xFF);
}

std::uint32_t PatternAt(int x, int y) {
    if (x % 37 == 0) return 0xFFFFFF;
    if (y % 29 == 0) return 0x000000;
    return BandColour(x / 80, y / 90);
}

void PaintPattern(CTestScreen& screen) {
    for (int band = 0; band < 16; ++band)
        for (int row = 0; row < 8; ++row) screen.FillRect(band * 80, row * 90, 80, 90, BandColour(band, row));
    for (int x = 0; x < 1280; x += 37) screen.FillRect(x, 0, 1, 720, 0xFFFFFF);
    for (int y = 0; y < 720; y += 29) screen.FillRect(0, y, 1280, 1, 0x000000);
    // PatternAt gives white where the white columns cross the black rows.
    for (int x = 0; x < 1280; x += 37)
        for (int y = 0; y < 720; y += 29) screen.FillRect(x, y, 1, 1, 0xFFFFFF);
}

class CaptureBridgeTest : public CXTestFixture {
protected:
    void SetUp() override {
        CXTestFixture::SetUp();
        m_pScreen = std::make_unique<CTestScreen>(DisplayName());
        ASSERT_TRUE(m_pScreen->IsOpen());
        // The cursor stays outside every rectangle the tests capture.
        m_pScreen->WarpPointer(1279, 719);
        ASSERT_TRUE(m_bridge.Load());
        m_bridge.SetEngine(&m_catcher);
    }
    void TearDown() override { m_bridge.Close(); }

    // The canvas picture of `w` x `h` with the given rectangle.
    std::vector<std::uint8_t> Capture(const CaptureRect& rect, int w, int h) {
        m_rect.Set(rect);
        m_bridge.SetRectProvider(m_rect.Provider());
        m_bridge.SetCanvasSize(w, h);
        m_bridge.SetRecording(true);
        EXPECT_TRUE(m_bridge.StartCanvas());
        auto picture = m_catcher.Next();
        EXPECT_EQ(picture.size(), static_cast<std::size_t>(w) * h * 4);
        return picture;
    }

    std::unique_ptr<CTestScreen> m_pScreen;
    CPictureCatcher m_catcher;
    CSharedRect m_rect;
    CCaptureBridge m_bridge;
};

TEST_F(CaptureBridgeTest, SetUpGivesAStoppedGreyCanvasThatReadsNothingBeforeARecording) {
    EXPECT_TRUE(m_bridge.HasCanvas());
    EXPECT_FALSE(m_bridge.IsCanvasRunning());
    m_pScreen->FillRect(0, 0, 1280, 720, 0xFF0000);
    // Not recording: the canvas delivers its background, nothing of the red screen.
    ASSERT_TRUE(m_bridge.StartCanvas());
    EXPECT_TRUE(m_bridge.IsCanvasRunning());
    const auto picture = m_catcher.Next();
    ASSERT_EQ(picture.size(), 1280u * 720 * 4);
    for (int y = 0; y < 720; y += 7)
        for (int x = 0; x < 1280; x += 5) ASSERT_EQ(RgbAt(picture.data(), 1280 * 4, x, y), 0x808080u) << x << "," << y;
    m_bridge.StopCanvas();
    EXPECT_FALSE(m_bridge.IsCanvasRunning());
    const int count = m_catcher.Count();
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(m_catcher.Count(), count);  // a stopped canvas delivers nothing

    m_bridge.Close();
    EXPECT_FALSE(m_bridge.HasCanvas());
    EXPECT_FALSE(m_bridge.StartCanvas());
    m_bridge.Close();  // twice is harmless
}

TEST_F(CaptureBridgeTest, DrawFrameReadsTheScreenOnlyWhileRecordingAndBlacksOutAnEmptyRectangle) {
    CCountingScreen screen;
    CCountingDC dc(640, 360);
    dc.m_pScreen = &screen;
    // Before any recording: true, and not even the screen context is asked for.
    EXPECT_TRUE(m_bridge.DrawFrame(&dc, 640, 360));
    EXPECT_EQ(dc.m_nScreenRequests, 0);
    EXPECT_EQ(dc.m_nFills, 0);

    m_bridge.SetRecording(true);
    m_rect.Set({100, 100, 100, 300});  // no width
    m_bridge.SetRectProvider(m_rect.Provider());
    EXPECT_FALSE(m_bridge.DrawFrame(&dc, 640, 360));
    EXPECT_EQ(dc.m_nFills, 1);
    EXPECT_EQ(dc.m_dwFill, 0xFF000000u);
    EXPECT_EQ(screen.m_nBitBlts + screen.m_nStretchBlts, 0);

    m_rect.Set({10, 20, 650, 380});  // the dc's size: a plain copy
    EXPECT_TRUE(m_bridge.DrawFrame(&dc, 640, 360));
    EXPECT_EQ(screen.m_nBitBlts, 1);
    EXPECT_EQ(screen.m_args, (std::vector<int>{640, 360, 10, 20, 0, 0}));

    m_rect.Set({-5, 0, 1275, 720});  // any other size is scaled
    EXPECT_TRUE(m_bridge.DrawFrame(&dc, 640, 360));
    EXPECT_EQ(screen.m_nStretchBlts, 1);
    EXPECT_EQ(screen.m_args, (std::vector<int>{640, 360, -5, 0, 1280, 720}));

    m_bridge.SetRectProvider(nullptr);  // no provider: the whole screen
    EXPECT_TRUE(m_bridge.DrawFrame(&dc, 640, 360));
    EXPECT_EQ(screen.m_args, (std::vector<int>{640, 360, 0, 0, 1280, 720}));

    EXPECT_FALSE(m_bridge.IsScreenLost());
    dc.m_pScreen = nullptr;  // no readable display
    EXPECT_TRUE(m_bridge.DrawFrame(&dc, 640, 360));
    EXPECT_TRUE(m_bridge.IsScreenLost());
    m_bridge.SetRecording(false);
    const int requests = dc.m_nScreenRequests;
    EXPECT_TRUE(m_bridge.DrawFrame(&dc, 640, 360));
    EXPECT_EQ(dc.m_nScreenRequests, requests);
}

TEST_F(CaptureBridgeTest, ARectangleOfTheCanvasSizeIsCopiedPixelForPixel) {
    PaintPattern(*m_pScreen);
    const CaptureRect rect{101, 47, 101 + 640, 47 + 368};
    const auto picture = Capture(rect, 640, 368);
    ASSERT_FALSE(picture.empty());
    int wrong = 0;
    for (int y = 0; y < 368; ++y)
        for (int x = 0; x < 640; ++x)
            if (RgbAt(picture.data(), 640 * 4, x, y) != PatternAt(rect.left + x, rect.top + y) && ++wrong < 5)
                ADD_FAILURE() << "pixel " << x << "," << y << ": " << std::hex << RgbAt(picture.data(), 640 * 4, x, y)
                              << " instead of " << PatternAt(rect.left + x, rect.top + y);
    EXPECT_EQ(wrong, 0);
}

TEST_F(CaptureBridgeTest, OtherSizesAreAreaAveraged) {
    // Left half: one-pixel columns of black and white; right half: solid blue.
    m_pScreen->FillRect(0, 0, 1280, 720, 0x000000);
    for (int x = 1; x < 640; x += 2) m_pScreen->FillRect(x, 0, 1, 720, 0xFFFFFF);
    m_pScreen->FillRect(640, 0, 640, 720, 0x2040C0);
    const auto picture = Capture({0, 0, 1280, 720}, 640, 368);
    ASSERT_FALSE(picture.empty());
    for (int y = 4; y < 364; y += 9) {
        for (int x = 4; x < 316; x += 11) {
            const unsigned rgb = RgbAt(picture.data(), 640 * 4, x, y);
            for (int shift : {0, 8, 16}) {
                const int v = static_cast<int>((rgb >> shift) & 0xFF);
                ASSERT_NEAR(v, 128, 2) << x << "," << y;  // the mean of black and white, not either
            }
        }
        for (int x = 324; x < 640; x += 13) ASSERT_EQ(RgbAt(picture.data(), 640 * 4, x, y), 0x2040C0u) << x << "," << y;
    }
}

TEST_F(CaptureBridgeTest, AnEmptyRectangleGivesBlackPicturesAndAMovedOneIsTakenAtTheNextPicture) {
    m_pScreen->FillRect(0, 0, 1280, 720, 0x00FF00);
    m_pScreen->FillRect(640, 360, 320, 180, 0x0000FF);
    auto picture = Capture({200, 200, 200, 200}, 320, 176);
    ASSERT_FALSE(picture.empty());
    for (int y = 0; y < 176; y += 5)
        for (int x = 0; x < 320; x += 5) ASSERT_EQ(RgbAt(picture.data(), 320 * 4, x, y), 0x000000u);

    m_rect.Set({0, 0, 320, 176});
    picture = m_catcher.Next();
    ASSERT_FALSE(picture.empty());
    EXPECT_EQ(RgbAt(picture.data(), 320 * 4, 160, 88), 0x00FF00u);
    m_rect.Set({640, 360, 960, 536});
    picture = m_catcher.Next();
    ASSERT_FALSE(picture.empty());
    EXPECT_EQ(RgbAt(picture.data(), 320 * 4, 160, 88), 0x0000FFu);

    // Recording off again: the screen is left alone, the background comes back.
    m_bridge.SetRecording(false);
    picture = m_catcher.Next();
    ASSERT_FALSE(picture.empty());
    EXPECT_EQ(RgbAt(picture.data(), 320 * 4, 160, 88), 0x808080u);
}

TEST_F(CaptureBridgeTest, AnEngineReplacedWhileTheCanvasRunsGetsNoFurtherPictures) {
    CPictureCatcher other;
    m_bridge.SetRecording(true);
    m_bridge.SetCanvasSize(160, 96);
    ASSERT_TRUE(m_bridge.StartCanvas());
    for (int round = 0; round < 6; ++round) {
        CPictureCatcher& now = round % 2 ? m_catcher : other;
        CPictureCatcher& before = round % 2 ? other : m_catcher;
        m_bridge.SetEngine(&now);
        const int frozen = before.Count();
        ASSERT_FALSE(now.Next(1).empty());
        EXPECT_EQ(before.Count(), frozen);
        m_bridge.SetRecording(round % 3 != 0);
    }
    m_bridge.SetEngine(nullptr);
    const int a = m_catcher.Count(), b = other.Count();
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(m_catcher.Count(), a);
    EXPECT_EQ(other.Count(), b);
}

// The engine's sink; the recording needs nothing from it.
class CQuietSink : public IOrvixRecordSink {
public:
    int OnAudioLevel(int, int) override { return 0; }
    int OnRecordDuration(std::uint32_t) override { return 0; }
    int OnAudioDeviceChanged() override { return 0; }
    int OnRecordError(int code) override {
        m_nError = code;
        return 0;
    }
    std::atomic<int> m_nError{0};
};

TEST_F(CaptureBridgeTest, TheRealEngineRecordsWhatTheBridgeHandsIt) {
    if (std::system("command -v ffprobe >/dev/null 2>&1") != 0) GTEST_SKIP() << "ffprobe missing";
    // No sound server: the engine records pictures only.
    setenv("PULSE_SERVER", ("unix:/tmp/tolvane-no-server-" + std::to_string(getpid())).c_str(), 1);
    const std::string path = "/tmp/tolvane-capture-test-" + std::to_string(getpid()) + ".flv";
    m_pScreen->FillRect(0, 0, 1280, 720, 0xFFFFFF);

    CQuietSink sink;
    IOrvixAvRecordInterface* engine = CreateOrvixAvRecord();
    ASSERT_NE(engine, nullptr);
    // The pictures go the described way, with their changed rows.
    EXPECT_NE(dynamic_cast<IVideoPictureSink*>(engine), nullptr);
    engine->Init(&sink, 320, 240, 12, 15);
    std::list<AudioDeviceInfo> none;
    engine->SetCurrentAudioDevice(&none);
    RecordParam param;
    param.strFilePath = path;
    ASSERT_EQ(engine->StartRecord(&param), 0u);
    m_bridge.SetEngine(engine);
    m_bridge.SetCanvasSize(320, 240);
    m_bridge.SetRecording(true);
    ASSERT_TRUE(m_bridge.StartCanvas());
    std::this_thread::sleep_for(2s);
    m_bridge.StopCanvas();
    m_bridge.SetRecording(false);
    m_bridge.SetEngine(nullptr);
    EXPECT_EQ(engine->StopRecord(), 0u);
    DestoryOrvixAvRecord(engine);
    EXPECT_EQ(sink.m_nError.load(), 0);

    const auto streams = CMediaProbe::Streams(path);
    bool video = false;
    for (const auto& s : streams) {
        if (s.Get("codec_type") != "video") continue;
        video = true;
        EXPECT_EQ(s.Get("codec_name"), "h264");
        EXPECT_EQ(s.Get("width"), "320");
        EXPECT_EQ(s.Get("height"), "240");
    }
    EXPECT_TRUE(video);
    const long pictures = CMediaProbe::CountPackets(path, "v");
    EXPECT_GE(pictures, 24);  // 2 s at 15 per second, some slack for a busy machine
    EXPECT_LE(pictures, 32);
    const auto luma = CMediaProbe::FrameLuma(path);
    ASSERT_FALSE(luma.empty());
    EXPECT_GT(luma.back().luma, 230);  // the white screen, not the grey background
    std::filesystem::remove(path);
}

}  // namespace

namespace {

TEST(CaptureBridgeHandOver, PicturesReachTheEngineWithTheirChangedRowsAndWithoutACopy) {
    std::vector<std::uint8_t> bits(64 * 16 * 4, 9);
    OBSVideoFrame frame;
    frame.pData = bits.data();
    frame.dwLength = static_cast<std::uint32_t>(bits.size());
    frame.dwTimeStamp = 1234;
    frame.nWidth = 64;
    frame.nHeight = 16;
    frame.nStride = 64 * 4;
    frame.nDirtyTop = 5;
    frame.nDirtyRows = 3;

    CCaptureBridge bridge;
    CDescribedPictureCatcher described;
    bridge.SetEngine(&described);
    bridge.OnVideoFrame(0, &frame);
    ASSERT_EQ(described.m_nDescribed, 1);
    EXPECT_EQ(described.Count(), 0);  // not through PushVideoData as well
    EXPECT_EQ(described.m_last.pData, bits.data());  // the canvas's own bytes
    EXPECT_EQ(described.m_last.nLength, bits.size());
    EXPECT_EQ(described.m_last.nWidth, 64);
    EXPECT_EQ(described.m_last.nHeight, 16);
    EXPECT_EQ(described.m_last.nStride, 256);
    EXPECT_EQ(described.m_last.nFormat, OBS_FRAME_FORMAT_BGRA);
    EXPECT_EQ(described.m_last.nDirtyTop, 5);
    EXPECT_EQ(described.m_last.nDirtyRows, 3);
    EXPECT_EQ(described.m_dwStamp, 1234u);

    // An engine with the plain interface only gets the same bytes wrapped.
    CPictureCatcher plain;
    bridge.SetEngine(&plain);
    bridge.OnVideoFrame(1, &frame);
    EXPECT_EQ(plain.Count(), 1);
    EXPECT_EQ(bridge.PictureCount(), 2u);
    bridge.SetEngine(nullptr);
}

}  // namespace

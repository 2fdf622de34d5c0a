#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "basekit/tickcount.h"
#include "canvasengine/obsengine.h"
#include "testscreen.h"
#include "xtestfixture.h"

namespace {

using namespace std::chrono_literals;

// The recorder's side: draws through the dc's screen context and collects the pictures.
class CTestSinks : public OBSEngineSink, public OBSEngineDsSourceSink {
public:
    struct Picture {
        int nSlot;
        std::uint32_t dwStamp;
        std::uint64_t llDeliveredMs;  // engine clock when the sink had it
    };

    // Default drawing: the dc-sized screen area at (srcX, srcY), 1:1.
    int m_nSrcX = 0, m_nSrcY = 0;
    std::function<bool(IOBSEngineDC*, int, int)> m_draw;
    std::function<void(int, OBSVideoFrame*)> m_onFrame;

    bool DrawFrame(IOBSEngineDC* dc, int width, int height) override {
        ++m_nDraws;
        if (m_draw) return m_draw(dc, width, height);
        IOBSEngineScreenDC* screen = dc->GetScreenDC();
        if (!screen) {
            ++m_nNoScreen;
            return true;
        }
        return screen->BitBlt(dc, 0, 0, width, height, m_nSrcX, m_nSrcY);
    }

    void OnVideoFrame(int slot, OBSVideoFrame* frame) override {
        if (m_onFrame) m_onFrame(slot, frame);
        std::lock_guard<std::mutex> lock(m_mutex);
        m_pictures.push_back({slot, frame->dwTimeStamp, GetTickMs()});
        m_last.assign(frame->pData, frame->pData + frame->dwLength);
        m_nWidth = frame->nWidth;
        m_nHeight = frame->nHeight;
        m_nStride = frame->nStride;
        m_nFormat = frame->nFormat;
        m_cond.notify_all();
    }

    // Waits until `count` pictures have arrived in all.
    bool WaitFor(std::size_t count, std::chrono::milliseconds timeout = 5000ms) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cond.wait_for(lock, timeout, [&] { return m_pictures.size() >= count; });
    }
    std::vector<Picture> Pictures() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_pictures;
    }
    std::vector<std::uint8_t> Last() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_last;
    }

    std::atomic<int> m_nDraws{0};
    std::atomic<int> m_nNoScreen{0};
    int m_nWidth = 0, m_nHeight = 0, m_nStride = 0, m_nFormat = 0;

private:
    std::mutex m_mutex;
    std::condition_variable m_cond;
    std::vector<Picture> m_pictures;
    std::vector<std::uint8_t> m_last;
};

// A canvas set up the way the recorder does it.
struct CanvasHandle {
    IOBSEngineCanvas* canvas = nullptr;
    IOBSEngineSource* source = nullptr;

    CanvasHandle(CTestSinks& sinks, int width, int height) {
        canvas = OBSEngine_CreateCanvas("CANVAS_AS");
        canvas->SetBackgroundColor(0xFF808080);
        canvas->SetSize(width, height);
        canvas->SetFrameRate(15.0f);
        canvas->SetTimestampMode(0);
        canvas->SetSink(&sinks);
        source = canvas->CreateSource("SOURCE_AS", 0);
        source->SetDsSourceSink(&sinks);
        source->SetPosition(0, 0);
        source->SetSize(0xFFFF, 0xFFFF);
    }
    ~CanvasHandle() {
        source->SetDsSourceSink(nullptr);
        canvas->SetSink(nullptr);
        if (canvas->IsRunning()) canvas->Stop();
        canvas->Close();
        OBSEngine_DestroyCanvas(canvas);
    }
};

using CanvasTest = CXTestFixture;

void PaintScene(const std::string& display) {
    CTestScreen screen(display);
    screen.FillRect(0, 0, 1280, 720, 0x102030);
    screen.FillRect(0, 0, 640, 360, 0xc08040);
    screen.WarpPointer(1000, 150);  // away from every pixel the tests look at
}

// Each picture's distance from the grid anchor + slot x 1000 / 15, the anchor
// being the median, so that one late picture does not move it.
std::vector<double> GridOffsets(const std::vector<CTestSinks::Picture>& pictures) {
    std::vector<double> offsets;
    for (const auto& p : pictures) offsets.push_back(double(p.dwStamp) - p.nSlot * 1000.0 / 15.0);
    std::vector<double> sorted = offsets;
    std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end());
    const double anchor = sorted[sorted.size() / 2];
    for (auto& off : offsets) off -= anchor;
    return offsets;
}

}  // namespace

TEST_F(CanvasTest, ExportsCreateCanvasAndSources) {
    ASSERT_TRUE(OBSEngine_Load());
    EXPECT_EQ(OBSEngine_CreateCanvas(nullptr), nullptr);
    IOBSEngineCanvas* canvas = OBSEngine_CreateCanvas("CANVAS_AS");
    ASSERT_NE(canvas, nullptr);
    EXPECT_STREQ(canvas->GetName(), "CANVAS_AS");
    EXPECT_EQ(canvas->CreateSource("OTHER", 1), nullptr);
    IOBSEngineSource* source = canvas->CreateSource("SOURCE_AS", 0);
    ASSERT_NE(source, nullptr);
    EXPECT_FALSE(canvas->IsRunning());
    EXPECT_TRUE(canvas->Start());
    EXPECT_TRUE(canvas->IsRunning());
    canvas->Stop();
    EXPECT_FALSE(canvas->IsRunning());
    canvas->Close();
    EXPECT_FALSE(canvas->Start()) << "a closed canvas stays closed";
    EXPECT_EQ(canvas->CreateSource("SOURCE_AS", 0), nullptr);
    OBSEngine_DestroyCanvas(canvas);
    OBSEngine_DestroyCanvas(nullptr);
}

TEST_F(CanvasTest, LoadFailsWithoutADisplay) {
    UseDisplay(":79");  // nothing listens there
    EXPECT_FALSE(OBSEngine_Load());
    IOBSEngineCanvas* canvas = OBSEngine_CreateCanvas("CANVAS_AS");
    EXPECT_FALSE(canvas->Start());
    OBSEngine_DestroyCanvas(canvas);
    UseDisplay(DisplayName());
}

TEST_F(CanvasTest, DeliversScreenPicturesInFormat12) {
    PaintScene(DisplayName());
    CTestSinks sinks;
    sinks.m_nSrcX = 600;
    sinks.m_nSrcY = 300;
    CanvasHandle h(sinks, 320, 180);
    const std::uint64_t before = GetTickMs();
    ASSERT_TRUE(h.canvas->Start());
    ASSERT_TRUE(sinks.WaitFor(3));
    h.canvas->Stop();
    const std::vector<std::uint8_t> last = sinks.Last();
    EXPECT_EQ(sinks.m_nFormat, 12);
    EXPECT_EQ(sinks.m_nWidth, 320);
    EXPECT_EQ(sinks.m_nHeight, 180);
    EXPECT_EQ(sinks.m_nStride, 320 * 4);
    ASSERT_EQ(last.size(), 320u * 180 * 4);
    EXPECT_EQ(RgbAt(last.data(), 1280, 0, 0), 0xc08040u);
    EXPECT_EQ(RgbAt(last.data(), 1280, 39, 59), 0xc08040u);
    EXPECT_EQ(RgbAt(last.data(), 1280, 40, 59), 0x102030u);
    EXPECT_EQ(RgbAt(last.data(), 1280, 39, 60), 0x102030u);
    EXPECT_EQ(RgbAt(last.data(), 1280, 319, 179), 0x102030u);
    const auto pictures = sinks.Pictures();
    EXPECT_GE(pictures.front().dwStamp, static_cast<std::uint32_t>(before));
    EXPECT_LE(pictures.back().dwStamp, static_cast<std::uint32_t>(GetTickMs()));
}

TEST_F(CanvasTest, ScalesTheCaptureRectangleOntoTheCanvas) {
    PaintScene(DisplayName());
    CTestSinks sinks;
    sinks.m_draw = [](IOBSEngineDC* dc, int w, int h) {
        IOBSEngineScreenDC* screen = dc->GetScreenDC();
        return screen && screen->StretchBlt(dc, 0, 0, w, h, 0, 0, 1280, 720);
    };
    CanvasHandle h(sinks, 640, 360);
    ASSERT_TRUE(h.canvas->Start());
    ASSERT_TRUE(sinks.WaitFor(2));
    h.canvas->Stop();
    const std::vector<std::uint8_t> last = sinks.Last();
    EXPECT_EQ(RgbAt(last.data(), 640 * 4, 0, 0), 0xc08040u);
    EXPECT_EQ(RgbAt(last.data(), 640 * 4, 319, 179), 0xc08040u);
    EXPECT_EQ(RgbAt(last.data(), 640 * 4, 320, 179), 0x102030u);
    EXPECT_EQ(RgbAt(last.data(), 640 * 4, 639, 359), 0x102030u);
}

TEST_F(CanvasTest, GammaAppliesToTheSourceAreaOnly) {
    PaintScene(DisplayName());
    CTestSinks sinks;
    CanvasHandle h(sinks, 320, 180);
    h.source->SetPosition(100, 50);
    h.source->SetSize(100, 60);
    h.source->SetGamma(100);
    ASSERT_TRUE(h.canvas->Start());
    ASSERT_TRUE(sinks.WaitFor(2));
    std::vector<std::uint8_t> last = sinks.Last();
    EXPECT_EQ(RgbAt(last.data(), 1280, 99, 50), 0x808080u) << "background outside the source";
    EXPECT_EQ(RgbAt(last.data(), 1280, 100, 50), 0xc08040u) << "gamma 100 leaves pixels alone";
    EXPECT_EQ(RgbAt(last.data(), 1280, 199, 109), 0xc08040u);
    EXPECT_EQ(RgbAt(last.data(), 1280, 200, 110), 0x808080u);

    h.source->SetGamma(200);
    const std::size_t seen = sinks.Pictures().size();
    ASSERT_TRUE(sinks.WaitFor(seen + 2));
    h.canvas->Stop();
    last = sinks.Last();
    auto curve = [](unsigned v) { return unsigned(std::lround(255.0 * std::sqrt(v / 255.0))); };
    EXPECT_EQ(RgbAt(last.data(), 1280, 150, 80), (curve(0xc0) << 16) | (curve(0x80) << 8) | curve(0x40));
    EXPECT_EQ(RgbAt(last.data(), 1280, 99, 50), 0x808080u) << "the background has no gamma";
}

TEST_F(CanvasTest, PacesPicturesOnTheEngineClock) {
    PaintScene(DisplayName());  // also brings Xvfb's frame buffer into memory
    CTestSinks sinks;
    CanvasHandle h(sinks, 1280, 720);
    const std::uint64_t started = GetTickMs();
    ASSERT_TRUE(h.canvas->Start());
    // 5 s of pictures, waited for rather than slept: a slow start on a
    // loaded machine makes them later, not fewer.
    ASSERT_TRUE(sinks.WaitFor(75, 60s));
    const std::uint64_t ended = GetTickMs();
    h.canvas->Stop();
    auto pictures = sinks.Pictures();
    pictures.resize(75);
    // Stamped on the engine clock during the run.
    EXPECT_GE(pictures.front().dwStamp, static_cast<std::uint32_t>(started));
    EXPECT_LE(pictures.back().dwStamp, static_cast<std::uint32_t>(ended));
    // Stamps lie on one grid, one picture per slot at most. A picture is
    // never stamped before its slot is due, so the earliest offset from the
    // grid marks the grid's start (to within that picture's delay).
    const double period = 1000.0 / 15.0;
    double start = pictures.front().dwStamp;
    for (const auto& p : pictures) start = std::min(start, p.dwStamp - p.nSlot * period);
    auto due = [&](int slot) { return start + slot * period; };
    const std::vector<double> offsets = GridOffsets(pictures);
    int outliers = 0, waited = 0, skipped = 0;
    double worst = 0;
    for (std::size_t i = 0; i < pictures.size(); ++i) {
        const auto& p = pictures[i];
        if (i > 0) {
            const auto& before = pictures[i - 1];
            EXPECT_GE(p.nSlot - before.nSlot, 1) << "picture " << i;
            skipped += p.nSlot - before.nSlot - 1;
            // A slot is skipped only when it was missed: the picture after it
            // began more than half a period after it was due (the one before
            // took too long, or the thread woke too late; a loaded machine
            // skips more, but never one that could still be made).
            if (p.nSlot - before.nSlot > 1) {
                EXPECT_GT(p.dwStamp + 1.0, due(p.nSlot - 1) + period / 2) << "picture " << i;
            }
        }
        const double off = offsets[i];
        worst = std::max(worst, std::abs(off));
        // Punctual where the canvas had nothing to do but wait for the slot:
        // the picture before was delivered before this one was due.
        if (i == 0 || double(pictures[i - 1].llDeliveredMs) <= due(p.nSlot)) {
            ++waited;
            if (p.dwStamp - due(p.nSlot) > 4) ++outliers;
        }
    }
    std::printf("pacing: %zu pictures, %d slots skipped, worst deviation %.1f ms, %d of %d waited for beyond 4 ms\n",
                pictures.size(), skipped, worst, outliers, waited);
    // Most of those within a few ms (on an idle machine all of them; the
    // margin is for a shared one), none beyond half a period: a later one is
    // skipped.
    EXPECT_LE(outliers, waited / 5);
    EXPECT_LT(worst, 34.0);
    // Over the run the mean period is the nominal one.
    const auto& a = pictures[1];
    const auto& b = pictures.back();
    EXPECT_NEAR(double(b.dwStamp - a.dwStamp) / (b.nSlot - a.nSlot), 1000.0 / 15.0, 0.5);
}

TEST_F(CanvasTest, ASlowPictureSkipsSlotsInsteadOfBunching) {
    CTestSinks sinks;
    std::atomic<int> draws{0};
    sinks.m_draw = [&](IOBSEngineDC* dc, int w, int h) {
        if (++draws == 10) std::this_thread::sleep_for(250ms);
        IOBSEngineScreenDC* screen = dc->GetScreenDC();
        return screen && screen->BitBlt(dc, 0, 0, w, h, 0, 0);
    };
    CanvasHandle h(sinks, 640, 360);
    h.canvas->SetTimestampMode(1);
    ASSERT_TRUE(h.canvas->Start());
    ASSERT_TRUE(sinks.WaitFor(30));
    h.canvas->Stop();
    const auto pictures = sinks.Pictures();
    const std::uint32_t first = pictures.front().dwStamp;
    int skipped = 0;
    for (std::size_t i = 1; i < pictures.size(); ++i) {
        // In slot mode every stamp is exactly on the grid...
        EXPECT_EQ(pictures[i].dwStamp - first, static_cast<std::uint32_t>(std::floor(pictures[i].nSlot * 1000.0 / 15.0)));
        // ...and no two pictures come closer than one period.
        EXPECT_GE(pictures[i].nSlot - pictures[i - 1].nSlot, 1);
        skipped += pictures[i].nSlot - pictures[i - 1].nSlot - 1;
    }
    // The tenth picture took 250 ms: the three slots due meanwhile are gone
    // and the fourth is on time (one more may go on a busy machine).
    const int slow = pictures[9].nSlot;
    EXPECT_GE(pictures[10].nSlot - slow, 4);
    EXPECT_LE(pictures[10].nSlot - slow, 5);
    EXPECT_GE(skipped, 3);
}

TEST_F(CanvasTest, GrabTimeStampsKeepTheirDistanceAfterASlowPicture) {
    CTestSinks sinks;
    std::atomic<int> draws{0};
    sinks.m_draw = [&](IOBSEngineDC*, int, int) {
        if (++draws == 5) std::this_thread::sleep_for(180ms);
        return true;
    };
    CanvasHandle h(sinks, 64, 64);
    ASSERT_TRUE(h.canvas->Start());
    ASSERT_TRUE(sinks.WaitFor(20));
    h.canvas->Stop();
    const auto pictures = sinks.Pictures();
    const std::vector<double> offsets = GridOffsets(pictures);
    for (std::size_t i = 0; i < pictures.size(); ++i) {
        // Never more than half a period off the grid, never two pictures
        // closer than half a period.
        EXPECT_LE(std::abs(offsets[i]), 35.0) << i;
        if (i > 0) {
            EXPECT_GE(pictures[i].dwStamp - pictures[i - 1].dwStamp, 30u) << "pictures " << i - 1 << " and " << i << " bunched";
        }
    }
    // The fifth picture took 180 ms: two slots go, the third is on time.
    EXPECT_GE(pictures[5].nSlot - pictures[4].nSlot, 3);
    EXPECT_LE(pictures[5].nSlot - pictures[4].nSlot, 4);
}

TEST_F(CanvasTest, StopFromACallbackAndSinkDetachTakeEffect) {
    CTestSinks sinks;
    IOBSEngineCanvas* canvas = nullptr;
    sinks.m_onFrame = [&](int slot, OBSVideoFrame*) {
        if (slot == 2) canvas->Stop();
    };
    CanvasHandle h(sinks, 64, 64);
    canvas = h.canvas;
    ASSERT_TRUE(h.canvas->Start());
    ASSERT_TRUE(sinks.WaitFor(3));
    std::this_thread::sleep_for(300ms);
    EXPECT_FALSE(h.canvas->IsRunning());
    EXPECT_EQ(sinks.Pictures().size(), 3u);
    // It starts again; after SetSink(null) no picture arrives any more.
    sinks.m_onFrame = nullptr;
    ASSERT_TRUE(h.canvas->Start());
    ASSERT_TRUE(sinks.WaitFor(5));
    h.canvas->SetSink(nullptr);
    h.source->SetDsSourceSink(nullptr);
    const std::size_t count = sinks.Pictures().size();
    const int draws = sinks.m_nDraws.load();
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(h.canvas->IsRunning());
    EXPECT_EQ(sinks.Pictures().size(), count);
    EXPECT_EQ(sinks.m_nDraws.load(), draws);
    h.canvas->Stop();
}

TEST(CanvasServerTest, SurvivesTheServerGoingAway) {
    CXvfbServer server;
    ASSERT_TRUE(server.Start(640, 480, 24));
    setenv("DISPLAY", server.GetDisplayName().c_str(), 1);
    ASSERT_TRUE(OBSEngine_Load());
    CTestSinks sinks;
    CanvasHandle h(sinks, 320, 240);
    ASSERT_TRUE(h.canvas->Start());
    ASSERT_TRUE(sinks.WaitFor(3));
    EXPECT_EQ(sinks.m_nNoScreen.load(), 0);
    server.Signal(SIGKILL);
    server.Stop();
    // Pictures go on, without a screen to draw from.
    const std::size_t seen = sinks.Pictures().size();
    ASSERT_TRUE(sinks.WaitFor(seen + 5));
    EXPECT_GT(sinks.m_nNoScreen.load(), 0);
    const auto t0 = std::chrono::steady_clock::now();
    h.canvas->Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 1s);
}

TEST(CanvasServerTest, StopDoesNotHangOnAServerThatStoppedAnswering) {
    CXvfbServer server;
    ASSERT_TRUE(server.Start(640, 480, 24));
    setenv("DISPLAY", server.GetDisplayName().c_str(), 1);
    CTestSinks sinks;
    CanvasHandle h(sinks, 320, 240);
    ASSERT_TRUE(h.canvas->Start());
    ASSERT_TRUE(sinks.WaitFor(3));
    server.Signal(SIGSTOP);
    std::this_thread::sleep_for(300ms);  // the canvas thread now waits for a reply
    const auto t0 = std::chrono::steady_clock::now();
    h.canvas->Stop();
    const auto took = std::chrono::steady_clock::now() - t0;
    EXPECT_LT(took, 4s);
    EXPECT_FALSE(h.canvas->IsRunning());
    server.Signal(SIGCONT);
}

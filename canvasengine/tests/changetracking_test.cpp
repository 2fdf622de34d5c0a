// Change tracking: pictures drawn incrementally from what the X server
// reports damaged must equal whole grabs of the same screen, and the rows
// reported changed must hold every row that differs from the picture before.
#include <gtest/gtest.h>

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "canvasengine/obsengine.h"
#include "devicecontext.h"
#include "gammatable.h"
#include "rowspans.h"
#include "screenbackend.h"
#include "screengrabber.h"
#include "testscreen.h"
#include "xtestfixture.h"

namespace {

using namespace std::chrono_literals;

constexpr std::uint32_t kBackground = 0xFF405060;

// Rows where two pictures of w x h BGRA pixels differ.
std::vector<int> DifferingRows(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b, int w, int h) {
    std::vector<int> rows;
    const std::size_t rowBytes = static_cast<std::size_t>(w) * 4;
    for (int y = 0; y < h; ++y)
        if (std::memcmp(a.data() + y * rowBytes, b.data() + y * rowBytes, rowBytes) != 0) rows.push_back(y);
    return rows;
}

bool Holds(const CRowSpans& spans, int row) {
    if (spans.IsAll()) return true;
    for (const auto& s : spans.Spans())
        if (row >= s.first && row < s.second) return true;
    return false;
}

// A capture rectangle drawn onto a dw x dh picture the way the canvas does
// it: one grabber with change tracking onto a picture kept from one step to
// the next, checked at every step against a grabber without tracking that
// draws the whole picture anew.
class CTrackedDraws {
public:
    CTrackedDraws(int sx, int sy, int sw, int sh, int dw, int dh)
        : m_nSx(sx), m_nSy(sy), m_nSw(sw), m_nSh(sh), m_nDw(dw), m_nDh(dh),
          m_picture(static_cast<std::size_t>(dw) * dh * 4, 0) {
        m_pTracked = CScreenGrabber::Open(nullptr);
        m_pReference = CScreenGrabber::Open(nullptr);
        if (m_pReference) m_pReference->SetUseDamage(false);
    }
    bool IsOpen() const { return m_pTracked && m_pReference; }
    CScreenGrabber& Tracked() { return *m_pTracked; }

    // One picture; returns the rows it reports changed.
    CRowSpans Step(const char* what) {
        CDeviceContext dc(m_picture.data(), m_nDw, m_nDh, m_nDw * 4, static_cast<CScreenBackend*>(nullptr), m_bKeep,
                          kBackground);
        EXPECT_TRUE(Draw(*m_pTracked, dc)) << what;
        dc.Finish();
        m_bKeep = dc.IsKeepable();
        const CRowSpans changed = dc.GetChangedRows();

        std::vector<std::uint8_t> whole(m_picture.size(), 0);
        CDeviceContext fresh(whole.data(), m_nDw, m_nDh, m_nDw * 4, m_pReference.get());
        fresh.FillColor(kBackground);
        EXPECT_TRUE(Draw(*m_pReference, fresh)) << what;
        const std::vector<int> wrong = DifferingRows(m_picture, whole, m_nDw, m_nDh);
        EXPECT_TRUE(wrong.empty()) << what << ": " << wrong.size() << " rows differ from a whole grab, first "
                                   << wrong.front();
        if (!m_previous.empty()) {
            for (int row : DifferingRows(m_previous, m_picture, m_nDw, m_nDh)) {
                EXPECT_TRUE(Holds(changed, row)) << what << ": row " << row << " changed unreported";
            }
        }
        m_previous = m_picture;
        return changed;
    }

private:
    bool Draw(CScreenGrabber& grabber, CDeviceContext& dc) {
        if (m_nSw == m_nDw && m_nSh == m_nDh) return grabber.BitBlt(&dc, 0, 0, m_nDw, m_nDh, m_nSx, m_nSy);
        return grabber.StretchBlt(&dc, 0, 0, m_nDw, m_nDh, m_nSx, m_nSy, m_nSw, m_nSh);
    }

    int m_nSx, m_nSy, m_nSw, m_nSh, m_nDw, m_nDh;
    std::unique_ptr<CScreenGrabber> m_pTracked;
    std::unique_ptr<CScreenGrabber> m_pReference;
    std::vector<std::uint8_t> m_picture;
    std::vector<std::uint8_t> m_previous;
    bool m_bKeep = false;
};

struct Geometry {
    const char* name;
    int sx, sy, sw, sh, dw, dh;
};

// A window of the test's own, moved about the screen.
class CTestWindow {
public:
    CTestWindow(CTestScreen& screen, int x, int y, int w, int h, unsigned long pixel) : m_screen(screen) {
        Display* d = screen.GetDisplay();
        m_window = XCreateSimpleWindow(d, DefaultRootWindow(d), x, y, w, h, 0, 0, pixel);
        XMapWindow(d, m_window);
        screen.Sync();
    }
    ~CTestWindow() {
        XDestroyWindow(m_screen.GetDisplay(), m_window);
        m_screen.Sync();
    }
    void Move(int x, int y) {
        XMoveWindow(m_screen.GetDisplay(), m_window, x, y);
        m_screen.Sync();
    }

private:
    CTestScreen& m_screen;
    Window m_window;
};

void PaintBase(CTestScreen& screen) {
    screen.FillRect(0, 0, 1280, 720, 0x203040);
    // Stripes and a gradient, so that a row copied to the wrong place shows.
    for (int i = 0; i < 64; ++i) screen.FillRect(i * 20, 0, 10, 720, 0x10 * (i % 16) << 8 | 0x80);
    for (int i = 0; i < 72; ++i) screen.FillRect(0, i * 10, 1280, 3, (i * 3) << 16 | 0x40);
    screen.WarpPointer(1270, 10);  // parked in a corner
}

using ChangeTrackingTest = CXTestFixture;

}  // namespace

TEST(RowSpansTest, MergesBridgesAndClips) {
    CRowSpans rows;
    EXPECT_TRUE(rows.IsEmpty());
    rows.Add(10, 20);
    rows.Add(30, 40);
    rows.Add(5, 5);  // empty: nothing
    rows.Add(18, 31);
    ASSERT_EQ(rows.Spans().size(), 1u);
    EXPECT_EQ(rows.Spans()[0], CRowSpans::Span(10, 40));
    rows.Add(50, 60);
    rows.Add(41, 45);
    rows.Add(40, 41);  // touching spans join
    EXPECT_EQ(rows.Spans(), (std::vector<CRowSpans::Span>{{10, 45}, {50, 60}}));
    rows.Add(-5, 3);
    EXPECT_EQ(rows.Within(55), (std::vector<CRowSpans::Span>{{0, 3}, {10, 45}, {50, 55}}));
    EXPECT_EQ(rows.Hull(100), CRowSpans::Span(0, 60));
    rows.Bridge(6);
    EXPECT_EQ(rows.Spans(), (std::vector<CRowSpans::Span>{{-5, 3}, {10, 60}}));
    rows.SetAll();
    EXPECT_EQ(rows.Within(7), (std::vector<CRowSpans::Span>{{0, 7}}));
    rows.Add(1, 2);
    EXPECT_TRUE(rows.IsAll());
    rows.Clear();
    EXPECT_EQ(rows.Hull(10), CRowSpans::Span(0, 0));
}

// The same screen changes seen through a 1:1 region, a region hanging over
// the screen's corner, the whole screen shrunk (two ratios) and a small
// region enlarged.
TEST_F(ChangeTrackingTest, IncrementalPicturesEqualWholeGrabs) {
    const Geometry geometries[] = {
        {"region 1:1", 320, 180, 640, 360, 640, 360},
        {"over the corner", 1180, 640, 160, 120, 160, 120},
        {"full screen to 854x480", 0, 0, 1280, 720, 854, 480},
        {"full screen to 640x360", 0, 0, 1280, 720, 640, 360},
        {"region enlarged", 400, 300, 200, 150, 640, 480},
    };
    for (const Geometry& g : geometries) {
        SCOPED_TRACE(g.name);
        CTestScreen screen(DisplayName());
        ASSERT_TRUE(screen.IsOpen());
        PaintBase(screen);
        screen.WarpPointer(5, 5);
        CTrackedDraws draws(g.sx, g.sy, g.sw, g.sh, g.dw, g.dh);
        ASSERT_TRUE(draws.IsOpen());
        ASSERT_TRUE(draws.Tracked().IsTrackingChanges());
        const bool coversCorner = g.sx <= 5 && g.sy <= 5;

        EXPECT_TRUE(draws.Step("first").IsAll());
        const CRowSpans still = draws.Step("still");
        if (!coversCorner) {
            EXPECT_TRUE(still.IsEmpty());
        }
        EXPECT_TRUE(draws.Step("still again").IsEmpty());

        // A change inside the capture rectangle.
        const int cx = g.sx + g.sw / 2, cy = g.sy + g.sh / 2;
        screen.FillRect(cx - 20, cy - 10, 40, 20, 0x00ff00);
        const CRowSpans inside = draws.Step("a rectangle inside");
        EXPECT_FALSE(inside.IsEmpty());
        EXPECT_FALSE(inside.IsAll());
        if (g.sw == g.dw) {
            EXPECT_EQ(inside.Spans(), (std::vector<CRowSpans::Span>{{cy - 10 - g.sy, cy + 10 - g.sy}}));
        }

        // Changes that only touch the screen outside the capture rectangle.
        if (g.sw < 1280) {
            if (g.sy > 40) screen.FillRect(0, 0, 1280, 30, 0xff00ff);
            if (g.sx > 40) screen.FillRect(0, 0, 30, 720, 0xffff00);
            EXPECT_TRUE(draws.Step("outside").IsEmpty());
        }

        // The cursor moves in, within, and out again.
        screen.WarpPointer(cx, cy);
        EXPECT_FALSE(draws.Step("cursor in").IsEmpty());
        screen.WarpPointer(cx + 13, cy - 7);
        draws.Step("cursor moved");
        EXPECT_TRUE(draws.Step("cursor still").IsEmpty());
        screen.WarpPointer(g.sx + g.sw - 3, g.sy + g.sh - 2);  // hanging over the area's edge
        draws.Step("cursor at the edge");
        screen.WarpPointer(5, 5);
        draws.Step("cursor out");

        // A window moved about, partly outside, and closed.
        {
            CTestWindow window(screen, g.sx + 10, g.sy + 10, 90, 50, 0xcc3311);
            draws.Step("window mapped");
            window.Move(g.sx + 37, g.sy + 61);
            draws.Step("window moved");
            window.Move(g.sx - 45, g.sy + g.sh - 20);
            draws.Step("window over the edge");
        }
        draws.Step("window closed");
        // Changes scattered over many rows are read as one span.
        for (int i = 0; i < 8; ++i) screen.FillRect(g.sx + 3 * i, g.sy + 2 + i * (g.sh - 4) / 8, 5, 2, 0xa0a0a0);
        const CRowSpans scattered = draws.Step("scattered changes");
        EXPECT_EQ(scattered.Spans().size(), 1u);
        screen.FillRect(g.sx, g.sy, 1, 1, 0x000001);
        screen.FillRect(g.sx + g.sw - 1, g.sy + g.sh - 1, 1, 1, 0xfffffe);
        draws.Step("corner pixels");
    }
}

TEST_F(ChangeTrackingTest, WithoutDamageEveryPictureIsWhole) {
    CTestScreen screen(DisplayName());
    PaintBase(screen);
    setenv("TOLVANE_CAPTURE_DAMAGE", "0", 1);
    CTrackedDraws draws(100, 100, 400, 300, 200, 150);
    unsetenv("TOLVANE_CAPTURE_DAMAGE");
    ASSERT_TRUE(draws.IsOpen());
    EXPECT_FALSE(draws.Tracked().IsTrackingChanges());
    for (int i = 0; i < 3; ++i) {
        screen.FillRect(150 + i * 10, 150, 30, 30, 0xffffff);
        EXPECT_TRUE(draws.Step("no damage").IsAll());
    }
    // Turned on again, then off through the setting.
    draws.Tracked().SetUseDamage(true);
    EXPECT_TRUE(draws.Tracked().IsTrackingChanges());
    draws.Step("tracking again");
    EXPECT_TRUE(draws.Step("tracking, still").IsEmpty());
    draws.Tracked().SetUseDamage(false);
    EXPECT_TRUE(draws.Step("tracking off").IsAll());
}

TEST(ChangeTrackingServerTest, FallsBackOnAServerWithoutDamage) {
    CXvfbServer server;
    ASSERT_TRUE(server.Start(640, 480, 24, "-extension", "DAMAGE"));
    CTestScreen screen(server.GetDisplayName());
    screen.FillRect(0, 0, 640, 480, 0x336699);
    auto grabber = CScreenGrabber::Open(server.GetDisplayName().c_str());
    ASSERT_TRUE(grabber);
    EXPECT_FALSE(grabber->IsTrackingChanges());
    std::vector<std::uint8_t> bits(320 * 240 * 4);
    for (int i = 0; i < 2; ++i) {
        CDeviceContext dc(bits.data(), 320, 240, 320 * 4, static_cast<CScreenBackend*>(nullptr), i > 0, kBackground);
        ASSERT_TRUE(grabber->StretchBlt(&dc, 0, 0, 320, 240, 0, 0, 640, 480));
        dc.Finish();
        EXPECT_TRUE(dc.GetChangedRows().IsAll());
        EXPECT_EQ(RgbAt(bits.data(), 320 * 4, 0, 0), 0x336699u);
    }
}

// Draws that do not come from one tracked grab make the area a fresh one:
// the background where nothing drew, every row changed.
TEST_F(ChangeTrackingTest, OtherDrawsStartFromAFreshArea) {
    CTestScreen screen(DisplayName());
    PaintBase(screen);
    auto grabber = CScreenGrabber::Open(nullptr);
    ASSERT_TRUE(grabber);
    std::vector<std::uint8_t> bits(200 * 100 * 4, 0);
    auto dcFor = [&](bool keep) {
        return std::make_unique<CDeviceContext>(bits.data(), 200, 100, 800, static_cast<CScreenBackend*>(nullptr), keep,
                                                kBackground);
    };
    // A fresh picture of the whole area, which the next one may keep.
    auto wholeGrab = [&] {
        auto dc = dcFor(false);
        EXPECT_TRUE(grabber->BitBlt(dc.get(), 0, 0, 200, 100, 0, 0));
        dc->Finish();
        EXPECT_TRUE(dc->IsKeepable());
    };
    // A grab into part of the area, then one kept picture with nothing drawn.
    {
        auto dc = dcFor(false);
        ASSERT_TRUE(grabber->BitBlt(dc.get(), 0, 0, 100, 100, 0, 0));
        dc->Finish();
        EXPECT_TRUE(dc->IsKeepable());
    }
    {
        auto dc = dcFor(true);
        dc->Finish();  // the source drew nothing this time
        EXPECT_TRUE(dc->GetChangedRows().IsAll());
        EXPECT_FALSE(dc->IsKeepable());
        EXPECT_EQ(RgbAt(bits.data(), 800, 10, 10), 0x405060u);
    }
    // Written through GetBits: the background first, not kept.
    wholeGrab();
    {
        auto dc = dcFor(true);
        std::uint8_t* p = dc->GetBits();
        EXPECT_EQ(RgbAt(p, 800, 150, 50), 0x405060u);
        dc->Finish();
        EXPECT_TRUE(dc->GetChangedRows().IsAll());
        EXPECT_FALSE(dc->IsKeepable());
    }
    // An incremental grab followed by another draw: marked mixed.
    wholeGrab();
    {
        auto dc = dcFor(true);
        ASSERT_TRUE(grabber->BitBlt(dc.get(), 0, 0, 200, 100, 0, 0));
        EXPECT_FALSE(dc->IsMixed());
        dc->FillColor(0xFF000000);
        dc->Finish();
        EXPECT_TRUE(dc->IsMixed());
        EXPECT_FALSE(dc->IsKeepable());
    }
    // A grab with other arguments than the last one reads everything.
    wholeGrab();
    {
        auto dc = dcFor(true);
        ASSERT_TRUE(grabber->BitBlt(dc.get(), 0, 0, 200, 100, 10, 0));
        dc->Finish();
        EXPECT_TRUE(dc->GetChangedRows().IsAll());
        EXPECT_TRUE(dc->IsKeepable());
    }
    // Shared memory given up between two pictures (the kept image with it).
    wholeGrab();
    grabber->SetUseShm(false);
    {
        auto dc = dcFor(true);
        ASSERT_TRUE(grabber->BitBlt(dc.get(), 0, 0, 200, 100, 0, 0));
        dc->Finish();
        EXPECT_TRUE(dc->GetChangedRows().IsAll());
        EXPECT_EQ(RgbAt(bits.data(), 800, 0, 0), 0x000040u);
    }
}

namespace {

// Collects the canvas's pictures and checks each against the one before:
// every row that differs lies in the band the picture reports.
class CBandChecker : public OBSEngineSink, public OBSEngineDsSourceSink {
public:
    bool DrawFrame(IOBSEngineDC* dc, int width, int height) override {
        IOBSEngineScreenDC* screen = dc->GetScreenDC();
        return screen && screen->StretchBlt(dc, 0, 0, width, height, 0, 0, 1280, 720);
    }

    void OnVideoFrame(int, OBSVideoFrame* frame) override {
        std::vector<std::uint8_t> picture(frame->pData, frame->pData + frame->dwLength);
        std::lock_guard<std::mutex> lock(m_mutex);
        m_nTid = static_cast<pid_t>(syscall(SYS_gettid));
        if (m_pictures == 0 && frame->nDirtyRows != -1) ++m_nWrong;
        if (frame->nDirtyRows != -1) ++m_nKnown;
        if (frame->nDirtyRows != -1 && !m_last.empty()) {
            for (int row : DifferingRows(m_last, picture, frame->nWidth, frame->nHeight))
                if (row < frame->nDirtyTop || row >= frame->nDirtyTop + frame->nDirtyRows) ++m_nWrong;
        }
        if (frame->nDirtyRows == 0) ++m_nUnchanged;
        m_nLastDirtyTop = frame->nDirtyTop;
        m_nLastDirtyRows = frame->nDirtyRows;
        m_last.swap(picture);
        ++m_pictures;
        m_cond.notify_all();
    }

    // Waits for `more` pictures after the ones seen so far.
    bool WaitMore(int more) {
        std::unique_lock<std::mutex> lock(m_mutex);
        const int target = m_pictures + more;
        return m_cond.wait_for(lock, 10s, [&] { return m_pictures >= target; });
    }

    std::mutex m_mutex;
    std::condition_variable m_cond;
    std::vector<std::uint8_t> m_last;
    int m_pictures = 0;
    int m_nWrong = 0;
    int m_nUnchanged = 0;
    int m_nKnown = 0;  // pictures with a band
    int m_nLastDirtyTop = 0;
    int m_nLastDirtyRows = 0;
    pid_t m_nTid = 0;
};

struct CanvasRun {
    IOBSEngineCanvas* canvas = nullptr;
    IOBSEngineSource* source = nullptr;

    explicit CanvasRun(CBandChecker& checker) {
        canvas = OBSEngine_CreateCanvas("CANVAS_AS");
        canvas->SetBackgroundColor(0xFF000000);
        canvas->SetSize(640, 360);
        canvas->SetFrameRate(15.0f);
        canvas->SetSink(&checker);
        source = canvas->CreateSource("SOURCE_AS", 0);
        source->SetDsSourceSink(&checker);
        source->SetPosition(0, 0);
        source->SetSize(0xFFFF, 0xFFFF);
    }
    ~CanvasRun() {
        source->SetDsSourceSink(nullptr);
        canvas->SetSink(nullptr);
        canvas->Stop();
        canvas->Close();
        OBSEngine_DestroyCanvas(canvas);
    }
};

// The times one thread of this process gave the processor up itself
// (waiting: for its next slot, for an X server reply, for a lock).
long VoluntarySwitches(pid_t tid) {
    std::ifstream status("/proc/self/task/" + std::to_string(tid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("voluntary_ctxt_switches:", 0) == 0) return std::stol(line.substr(line.find(':') + 1));
    return -1;
}

}  // namespace

TEST_F(ChangeTrackingTest, CanvasReportsTheRowsThatChanged) {
    CTestScreen screen(DisplayName());
    PaintBase(screen);
    CBandChecker checker;
    CanvasRun run(checker);
    ASSERT_TRUE(run.canvas->Start());
    ASSERT_TRUE(checker.WaitMore(3));
    // Still: pictures that equal the one before say so.
    ASSERT_TRUE(checker.WaitMore(2));
    {
        std::lock_guard<std::mutex> lock(checker.m_mutex);
        EXPECT_EQ(checker.m_nLastDirtyRows, 0);
    }
    // A change while the canvas runs, a moving cursor and a gamma change.
    for (int i = 0; i < 6; ++i) {
        screen.FillRect(100 + 50 * i, 400, 60, 30, 0x10101 * (40 * i));
        screen.WarpPointer(600 + 20 * i, 300 - 15 * i);
        ASSERT_TRUE(checker.WaitMore(1));
    }
    run.source->SetGamma(140);
    ASSERT_TRUE(checker.WaitMore(2));
    screen.FillRect(900, 100, 40, 40, 0xffffff);
    ASSERT_TRUE(checker.WaitMore(3));
    run.canvas->Stop();
    // The last picture equals a whole grab of the (now still) screen with that gamma.
    auto grabber = CScreenGrabber::Open(nullptr);
    ASSERT_TRUE(grabber);
    grabber->SetUseDamage(false);
    std::vector<std::uint8_t> whole(640 * 360 * 4, 0);
    CDeviceContext dc(whole.data(), 640, 360, 640 * 4, grabber.get());
    dc.FillColor(0xFF000000);
    ASSERT_TRUE(grabber->StretchBlt(&dc, 0, 0, 640, 360, 0, 0, 1280, 720));
    CGammaTable gamma;
    gamma.Set(140);
    gamma.Apply(whole.data(), 640, 360, 640 * 4);
    std::lock_guard<std::mutex> lock(checker.m_mutex);
    EXPECT_EQ(checker.m_nWrong, 0) << "rows changed outside the reported band";
    EXPECT_GT(checker.m_nUnchanged, 0);
    EXPECT_TRUE(DifferingRows(checker.m_last, whole, 640, 360).empty());
}

// The canvas thread wakes for its pictures, not more: voluntary context
// switches per picture on a still screen, with change tracking and without.
TEST_F(ChangeTrackingTest, CanvasThreadWakesOncePerPicture) {
    CTestScreen screen(DisplayName());
    PaintBase(screen);
    for (bool tracking : {false, true}) {
        if (!tracking) setenv("TOLVANE_CAPTURE_DAMAGE", "0", 1);
        CBandChecker checker;
        CanvasRun run(checker);
        ASSERT_TRUE(run.canvas->Start());
        unsetenv("TOLVANE_CAPTURE_DAMAGE");
        ASSERT_TRUE(checker.WaitMore(3));
        pid_t tid;
        int first;
        {
            std::lock_guard<std::mutex> lock(checker.m_mutex);
            tid = checker.m_nTid;
            first = checker.m_pictures;
        }
        const long before = VoluntarySwitches(tid);
        ASSERT_TRUE(checker.WaitMore(30));
        const long after = VoluntarySwitches(tid);
        ASSERT_GE(before, 0);
        int pictures;
        {
            std::lock_guard<std::mutex> lock(checker.m_mutex);
            pictures = checker.m_pictures - first;
        }
        const double perPicture = double(after - before) / pictures;
        std::printf("canvas thread, change tracking %s: %.2f voluntary context switches per picture\n",
                    tracking ? "on" : "off", perPicture);
        RecordProperty(tracking ? "switches_per_picture_tracking" : "switches_per_picture_whole",
                       std::to_string(perPicture));
        // One wake-up for the slot and one per reply waited for: the
        // cursor's and, grabbing whole pictures, the image's; with change
        // tracking a still screen needs only the cursor's. Half a switch of
        // slack per picture for a lock now and then.
        EXPECT_LE(perPicture, tracking ? 2.5 : 3.5);
    }
}

// Two sources side by side, each drawing the whole screen into its half:
// both halves follow the screen (one grabber serves both, so neither may take
// the other's changes for its own). Overlapping sources are never kept (a
// later one would cover rows an earlier one redraws): every picture is then
// reported as unknown.
TEST_F(ChangeTrackingTest, CanvasWithTwoSources) {
    CTestScreen screen(DisplayName());
    PaintBase(screen);
    CBandChecker checker;
    CanvasRun run(checker);
    run.source->SetSize(320, 360);
    IOBSEngineSource* second = run.canvas->CreateSource("SECOND", 0);
    ASSERT_NE(second, nullptr);
    second->SetDsSourceSink(&checker);
    second->SetPosition(320, 0);
    second->SetSize(320, 360);
    ASSERT_TRUE(run.canvas->Start());
    ASSERT_TRUE(checker.WaitMore(3));
    for (int i = 0; i < 3; ++i) {
        screen.FillRect(200 + 100 * i, 200, 100, 100, 0xffffff);
        ASSERT_TRUE(checker.WaitMore(1));
    }
    ASSERT_TRUE(checker.WaitMore(2));
    {
        auto grabber = CScreenGrabber::Open(nullptr);
        ASSERT_TRUE(grabber);
        std::vector<std::uint8_t> whole(640 * 360 * 4, 0);
        CDeviceContext dc(whole.data(), 640, 360, 640 * 4, grabber.get());
        ASSERT_TRUE(grabber->StretchBlt(&dc, 0, 0, 320, 360, 0, 0, 1280, 720));
        ASSERT_TRUE(grabber->StretchBlt(&dc, 320, 0, 320, 360, 0, 0, 1280, 720));
        std::lock_guard<std::mutex> lock(checker.m_mutex);
        EXPECT_TRUE(DifferingRows(checker.m_last, whole, 640, 360).empty()) << "a half missed a change";
        EXPECT_EQ(checker.m_nWrong, 0);
    }
    second->SetPosition(200, 0);
    ASSERT_TRUE(checker.WaitMore(2));
    int known;
    {
        std::lock_guard<std::mutex> lock(checker.m_mutex);
        known = checker.m_nKnown;
    }
    screen.FillRect(100, 100, 100, 100, 0x00ffff);
    ASSERT_TRUE(checker.WaitMore(4));
    run.canvas->Stop();
    second->SetDsSourceSink(nullptr);
    std::lock_guard<std::mutex> lock(checker.m_mutex);
    EXPECT_EQ(checker.m_nKnown, known) << "overlapping sources gave a band";
    EXPECT_EQ(checker.m_nWrong, 0);
}

// The Wayland backend: the backend choice, the desktop-to-stream mapping,
// the PipeWire video path against a real PipeWire with a test source, and
// the screen-cast portal on a private headless sway desktop.
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

#include "basekit/tickcount.h"
#include "canvas.h"
#include "devicecontext.h"
#include "pipewirestream.h"
#include "portalscreen.h"
#include "screenbackend.h"
#include "screencastportal.h"
#include "testvideoproducer.h"
#include "waylandstack.h"
#include "xtestfixture.h"

// Last: Xlib's macros clash with the test framework's names.
#include <X11/Xlib.h>

namespace {

using Kind = CScreenBackend::Kind;

// Sets an environment variable for one scope.
class CScopedEnv {
public:
    CScopedEnv(const char* name, const std::string& value) : m_strName(name) {
        if (const char* old = std::getenv(name)) m_strOld = old, m_bHad = true;
        ::setenv(name, value.c_str(), 1);
    }
    ~CScopedEnv() { m_bHad ? (void)::setenv(m_strName.c_str(), m_strOld.c_str(), 1) : (void)::unsetenv(m_strName.c_str()); }

private:
    std::string m_strName;
    std::string m_strOld;
    bool m_bHad = false;
};

bool Near(unsigned rgb, unsigned want, int tolerance = 30) {
    for (int shift : {0, 8, 16})
        if (std::abs(static_cast<int>((rgb >> shift) & 0xFF) - static_cast<int>((want >> shift) & 0xFF)) > tolerance)
            return false;
    return true;
}

// Polls `done` until it holds or timeoutMs passed.
template <typename F>
bool WaitUntil(F done, int timeoutMs) {
    const std::uint64_t end = GetTickMs() + static_cast<std::uint64_t>(timeoutMs);
    while (!done()) {
        if (GetTickMs() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// A w x h BGRA surface for the screen contexts to draw into.
struct Surface {
    Surface(int w, int h) : bits(static_cast<std::size_t>(w) * 4 * h, 0), dc(bits.data(), w, h, w * 4, static_cast<CScreenBackend*>(nullptr)) {}
    unsigned At(int x, int y) { return RgbAt(bits.data(), dc.GetStride(), x, y); }
    std::vector<std::uint8_t> bits;
    CDeviceContext dc;
};

}  // namespace

TEST(ScreenBackendChoice, FollowsTheSessionTypeTheDisplaysAndTheOverride) {
    EXPECT_EQ(CScreenBackend::Choose(nullptr, "wayland", "wayland-0", ":0"), Kind::kPortal);
    EXPECT_EQ(CScreenBackend::Choose(nullptr, "x11", "wayland-0", ":0"), Kind::kX11);
    EXPECT_EQ(CScreenBackend::Choose(nullptr, "x11", nullptr, ":0"), Kind::kX11);
    // No session type: a Wayland display without an X display means Wayland.
    EXPECT_EQ(CScreenBackend::Choose(nullptr, nullptr, "wayland-0", nullptr), Kind::kPortal);
    EXPECT_EQ(CScreenBackend::Choose(nullptr, "", "wayland-0", ""), Kind::kPortal);
    EXPECT_EQ(CScreenBackend::Choose(nullptr, "tty", "wayland-0", ":0"), Kind::kX11);
    EXPECT_EQ(CScreenBackend::Choose(nullptr, nullptr, nullptr, nullptr), Kind::kX11);
    // The override wins; an unknown override is ignored.
    EXPECT_EQ(CScreenBackend::Choose("x11", "wayland", "wayland-0", nullptr), Kind::kX11);
    EXPECT_EQ(CScreenBackend::Choose("portal", "x11", nullptr, ":0"), Kind::kPortal);
    EXPECT_EQ(CScreenBackend::Choose("vnc", "wayland", nullptr, nullptr), Kind::kPortal);
    Kind kind;
    EXPECT_FALSE(CScreenBackend::ParseKind("X11", kind));
    EXPECT_TRUE(CScreenBackend::ParseKind("portal", kind));
    EXPECT_EQ(kind, Kind::kPortal);
}

TEST(PortalScreenMapping, ScalesDesktopAreasIntoStreamCoordinates) {
    double x0, y0, x1, y1;
    // A monitor at scale 2: 1280x720 logical, 2560x1440 in the stream.
    CPortalScreen::ToStream(100, 50, 200, 100, 0, 0, 1280, 720, 2560, 1440, x0, y0, x1, y1);
    EXPECT_DOUBLE_EQ(x0, 200);
    EXPECT_DOUBLE_EQ(y0, 100);
    EXPECT_DOUBLE_EQ(x1, 600);
    EXPECT_DOUBLE_EQ(y1, 300);
    // A second monitor right of the first: desktop x 1920 is its column 0.
    CPortalScreen::ToStream(1920, 0, 1920, 1080, 1920, 0, 1920, 1080, 1920, 1080, x0, y0, x1, y1);
    EXPECT_DOUBLE_EQ(x0, 0);
    EXPECT_DOUBLE_EQ(x1, 1920);
    EXPECT_DOUBLE_EQ(y1, 1080);
}

TEST(ScreenCastPortalToken, IsKeptInThePerUserSettingsFolder) {
    char folder[] = "/tmp/tolvane-token-test.XXXXXX";
    ASSERT_NE(::mkdtemp(folder), nullptr);
    {
        CScopedEnv config("XDG_CONFIG_HOME", folder);
        EXPECT_EQ(CScreenCastPortal::TokenPath(), std::string(folder) + "/orvix/Tolvane/screencast.ini");
        EXPECT_EQ(CScreenCastPortal::LoadToken(), "");
        CScreenCastPortal::SaveToken("3f2a-first");
        CScreenCastPortal::SaveToken("8c1d-second");  // a new grant replaces the old one
        EXPECT_EQ(CScreenCastPortal::LoadToken(), "8c1d-second");
    }
    std::filesystem::remove_all(folder);
}

// The PipeWire video path on a private PipeWire with a test video source in
// place of the compositor's cast.
class PipeWireStreamTest : public ::testing::Test {
protected:
    // Starts PipeWire and the test source, and connects a stream to it;
    // m_strSkip says why when PipeWire or the source cannot start.
    std::unique_ptr<CPipeWireStream> Connect(int width, int height, const std::array<std::uint32_t, 4>& quadrants) {
        std::string why;
        if (!m_stack.StartPipeWire(why)) {
            m_strSkip = "no private PipeWire here: " + why;
            return nullptr;
        }
        m_producer.SetQuadrants(quadrants);
        if (!m_producer.Start(m_stack.ConnectPipeWire(), width, height, why)) {
            m_strSkip = "no PipeWire video source: " + why;
            return nullptr;
        }
        std::unique_ptr<CPipeWireStream> stream =
            CPipeWireStream::Connect(m_stack.ConnectPipeWire(), m_producer.NodeId(), why);
        EXPECT_TRUE(stream) << why;
        if (stream && !stream->WaitFirstPicture(10000)) {
            ADD_FAILURE() << "no picture; produced " << m_producer.Produced() << "\n" << m_stack.LogTail("wireplumber");
            return nullptr;
        }
        return stream;
    }

    CWaylandStack m_stack;
    CTestVideoProducer m_producer;
    std::string m_strSkip;
};

TEST_F(PipeWireStreamTest, DeliversTheNewestPictureAndNoticesTheSourceGoing) {
    std::unique_ptr<CPipeWireStream> stream = Connect(320, 240, {0xFF0000, 0x00FF00, 0x0000FF, 0xFFFFFF});
    if (!m_strSkip.empty()) GTEST_SKIP() << m_strSkip;
    ASSERT_TRUE(stream);
    int width = 0, height = 0;
    unsigned corners[4] = {};
    ASSERT_TRUE(stream->UseLatest([&](const std::uint8_t* bits, int w, int h, int stride) {
        width = w;
        height = h;
        corners[0] = RgbAt(bits, stride, 10, 10);
        corners[1] = RgbAt(bits, stride, w - 10, 10);
        corners[2] = RgbAt(bits, stride, 10, h - 10);
        corners[3] = RgbAt(bits, stride, w - 10, h - 10);
    }));
    EXPECT_EQ(width, 320);
    EXPECT_EQ(height, 240);
    EXPECT_EQ(corners[0], 0xFF0000u);
    EXPECT_EQ(corners[1], 0x00FF00u);
    EXPECT_EQ(corners[2], 0x0000FFu);
    EXPECT_EQ(corners[3], 0xFFFFFFu);

    // A change shows in the newest picture.
    m_producer.SetQuadrants({0x202020, 0x202020, 0x202020, 0xC08040});
    EXPECT_TRUE(WaitUntil(
        [&] {
            unsigned rgb = 0;
            stream->UseLatest([&](const std::uint8_t* bits, int w, int h, int stride) { rgb = RgbAt(bits, stride, w - 1, h - 1); });
            return rgb == 0xC08040u;
        },
        5000));
    EXPECT_TRUE(stream->IsAlive());

    // The source going away ends the stream: the recording can finish.
    m_producer.Stop();
    EXPECT_TRUE(WaitUntil([&] { return !stream->IsAlive(); }, 5000));
}

// The screen context over a real stream: a monitor of 320x180 desktop
// pixels streamed at 640x360 (scale 2), placed right of another monitor.
TEST_F(PipeWireStreamTest, PortalScreenCutsDesktopAreasFromAScaledStream) {
    std::unique_ptr<CPipeWireStream> stream = Connect(640, 360, {0xFF0000, 0x00FF00, 0x0000FF, 0xFFFF00});
    if (!m_strSkip.empty()) GTEST_SKIP() << m_strSkip;
    ASSERT_TRUE(stream);
    CScreenCastPortal::Stream monitor;
    monitor.nX = 1000;
    monitor.nWidth = 320;
    monitor.nHeight = 180;
    std::unique_ptr<CScreenBackend> screen = CPortalScreen::FromStream(std::move(stream), monitor);
    EXPECT_EQ(screen->GetWidth(), 1320);
    EXPECT_EQ(screen->GetHeight(), 180);

    Surface whole(160, 90);
    ASSERT_TRUE(screen->StretchBlt(&whole.dc, 0, 0, 160, 90, 1000, 0, 320, 180));
    EXPECT_EQ(whole.At(5, 5), 0xFF0000u);
    EXPECT_EQ(whole.At(155, 5), 0x00FF00u);
    EXPECT_EQ(whole.At(5, 85), 0x0000FFu);
    EXPECT_EQ(whole.At(155, 85), 0xFFFF00u);
    // A 40x40 region around the middle, 1:1 in desktop pixels: 80x80 stream
    // pixels scaled down, each quarter one colour.
    Surface region(40, 40);
    ASSERT_TRUE(screen->BitBlt(&region.dc, 0, 0, 40, 40, 1140, 70));
    EXPECT_EQ(region.At(2, 2), 0xFF0000u);
    EXPECT_EQ(region.At(37, 2), 0x00FF00u);
    EXPECT_EQ(region.At(2, 37), 0x0000FFu);
    EXPECT_EQ(region.At(37, 37), 0xFFFF00u);
    // Left of the monitor is off the stream: black, and the dc is clipped.
    Surface edge(40, 20);
    edge.dc.FillColor(0xFF808080u);
    ASSERT_TRUE(screen->BitBlt(&edge.dc, 10, 0, 40, 20, 980, 0));
    EXPECT_EQ(edge.At(5, 5), 0x808080u);   // not drawn: left of dx
    EXPECT_EQ(edge.At(15, 5), 0x000000u);  // desktop x 985: no monitor there
    EXPECT_EQ(edge.At(35, 5), 0xFF0000u);  // desktop x 1005
    EXPECT_TRUE(screen->IsAlive());
    m_producer.Stop();
    EXPECT_TRUE(WaitUntil([&] { return !screen->IsAlive(); }, 5000));
    EXPECT_FALSE(screen->BitBlt(&region.dc, 0, 0, 40, 40, 1140, 70));
}

// The portal on a private headless sway desktop.
class PortalDesktopTest : public ::testing::Test {
protected:
    void StartDesktop(const std::string& output) {
        std::string why;
        if (!m_stack.StartPipeWire(why) || !m_stack.StartDesktop(output, why)) {
            m_strSkip = "the headless Wayland desktop did not start: " + why;
            return;
        }
        m_pBus = std::make_unique<CScopedEnv>("DBUS_SESSION_BUS_ADDRESS", m_stack.BusAddress());
        m_pConfig = std::make_unique<CScopedEnv>("XDG_CONFIG_HOME", m_stack.ConfigHome());
    }

    CWaylandStack m_stack;
    std::unique_ptr<CScopedEnv> m_pBus;
    std::unique_ptr<CScopedEnv> m_pConfig;
    std::string m_strSkip;
};

// Without a chooser, xdg-desktop-portal-wlr answers a cast of an output it
// does not have as a user who closed the dialog.
TEST_F(PortalDesktopTest, ARefusedCastEndsOpenWithAMessageAndNoHang) {
    StartDesktop("NO-SUCH-OUTPUT");
    if (!m_strSkip.empty()) GTEST_SKIP() << m_strSkip;
    const std::uint64_t start = GetTickMs();
    CScreenCastPortal portal;
    std::string error;
    EXPECT_EQ(portal.Open(error), CScreenCastPortal::kRefused);
    EXPECT_NE(error.find("the screen-cast request was refused"), std::string::npos) << error;
    EXPECT_LT(GetTickMs() - start, static_cast<std::uint64_t>(CScreenCastPortal::kCallTimeoutMs));
    // The canvas refuses to start rather than recording black.
    CScopedEnv portalBackend(CScreenBackend::kOverrideVariable, "portal");
    CCanvas canvas("portal");
    EXPECT_FALSE(canvas.Start());
}

// An X window of the test over the whole XWayland screen, in four colours.
class CQuadrantWindow {
public:
    explicit CQuadrantWindow(const std::string& display) {
        m_pDisplay = XOpenDisplay(display.c_str());
        if (!m_pDisplay) return;
        XSetWindowAttributes attributes{};
        attributes.override_redirect = True;
        m_window = XCreateWindow(m_pDisplay, DefaultRootWindow(m_pDisplay), 0, 0, 1280, 720, 0, CopyFromParent,
                                 InputOutput, CopyFromParent, CWOverrideRedirect, &attributes);
        m_gc = XCreateGC(m_pDisplay, m_window, 0, nullptr);
        XMapRaised(m_pDisplay, m_window);
        XSync(m_pDisplay, False);
    }
    ~CQuadrantWindow() {
        if (!m_pDisplay) return;
        XFreeGC(m_pDisplay, m_gc);
        XDestroyWindow(m_pDisplay, m_window);
        XCloseDisplay(m_pDisplay);
    }
    bool IsOpen() const { return m_pDisplay != nullptr; }
    void Paint(const std::array<unsigned, 4>& rgb) {
        for (int q = 0; q < 4; ++q) {
            XSetForeground(m_pDisplay, m_gc, rgb[q]);  // XWayland's visual is 0xRRGGBB
            XFillRectangle(m_pDisplay, m_window, m_gc, (q % 2) * 640, (q / 2) * 360, 640, 360);
        }
        XSync(m_pDisplay, False);
    }

private:
    Display* m_pDisplay = nullptr;
    Window m_window = 0;
    GC m_gc = nullptr;
};

TEST_F(PortalDesktopTest, CastsTheMonitorAndCutsRegionsInStreamCoordinates) {
    StartDesktop("HEADLESS-1");
    if (!m_strSkip.empty()) GTEST_SKIP() << m_strSkip;
    CQuadrantWindow window(m_stack.XDisplay());
    if (!window.IsOpen()) GTEST_SKIP() << "XWayland " << m_stack.XDisplay() << " did not let the test in";
    window.Paint({0xFF0000, 0x00FF00, 0x0000FF, 0xFFFF00});
    std::string error;
    std::unique_ptr<CScreenBackend> screen = CPortalScreen::Open(error);
    if (!screen) {
        // xdg-desktop-portal-wlr 0.7.x insists on a DMA-BUF format from the
        // compositor's screencopy (it speaks screencopy version 3), and a
        // wlroots compositor offers one only with a GPU renderer, which needs
        // a render node (/dev/dri). Without one there is only the pixman
        // renderer, whose screencopy offers shared memory alone.
        const bool noFormat = m_stack.LogTail("xdpw").find("unable to receive a valid format") != std::string::npos;
        GTEST_SKIP() << "the portal could not cast the headless output: " << error
                     << (noFormat ? " (xdg-desktop-portal-wlr: \"unable to receive a valid format from wlr_screencopy\":"
                                    " it needs a DMA-BUF capable renderer, and without a GPU render node sway has only"
                                    " pixman, which offers shared memory alone)"
                                  : "");
    }
    EXPECT_EQ(screen->GetWidth(), 1280);
    EXPECT_EQ(screen->GetHeight(), 720);
    Surface whole(320, 180);
    ASSERT_TRUE(WaitUntil(
        [&] {
            screen->StretchBlt(&whole.dc, 0, 0, 320, 180, 0, 0, 1280, 720);
            return Near(whole.At(10, 10), 0xFF0000);
        },
        5000));
    EXPECT_TRUE(Near(whole.At(310, 10), 0x00FF00));
    EXPECT_TRUE(Near(whole.At(10, 170), 0x0000FF));
    EXPECT_TRUE(Near(whole.At(310, 170), 0xFFFF00));
    // A region across the middle: its own four quadrants, nothing else.
    Surface region(200, 100);
    ASSERT_TRUE(screen->BitBlt(&region.dc, 0, 0, 200, 100, 540, 310));
    EXPECT_TRUE(Near(region.At(5, 5), 0xFF0000));
    EXPECT_TRUE(Near(region.At(195, 95), 0xFFFF00));
    // The portal's death ends the capture.
    m_stack.KillPortal();
    EXPECT_TRUE(WaitUntil([&] { return !screen->IsAlive(); }, 5000));
}

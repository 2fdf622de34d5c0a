#include "scenepainter.h"

#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

constexpr int kTileColumns = 16;
constexpr int kTileRows = 9;
constexpr int kBalls = 40;
constexpr double kPi = 3.14159265358979323846;

// A colour of the hue wheel (0..1), fully saturated.
std::uint32_t Hue(double h) {
    h -= std::floor(h);
    const double r = 0.5 + 0.5 * std::cos(2 * kPi * h);
    const double g = 0.5 + 0.5 * std::cos(2 * kPi * (h - 1.0 / 3));
    const double b = 0.5 + 0.5 * std::cos(2 * kPi * (h - 2.0 / 3));
    return (static_cast<std::uint32_t>(r * 255) << 16) | (static_cast<std::uint32_t>(g * 255) << 8) |
           static_cast<std::uint32_t>(b * 255);
}

unsigned long Place(std::uint32_t v8, unsigned long mask) {
    if (!mask) return 0;
    int shift = 0;
    while (!((mask >> shift) & 1)) ++shift;
    const unsigned long max = mask >> shift;
    return ((v8 * max + 127) / 255) << shift;
}

// A fixed pseudo-random sequence, so that every run shows the same scene.
std::uint32_t Next(std::uint32_t& state) {
    state = state * 1664525u + 1013904223u;
    return state >> 8;
}

}  // namespace

CScenePainter::CScenePainter(Display* display, Window window, int width, int height, bool still)
    : m_pDisplay(display), m_window(window), m_nWidth(width), m_nHeight(height), m_bStill(still) {
    const int screen = DefaultScreen(display);
    m_pVisual = DefaultVisual(display, screen);
    m_back = XCreatePixmap(display, window, static_cast<unsigned>(width), static_cast<unsigned>(height),
                           static_cast<unsigned>(DefaultDepth(display, screen)));
    m_gc = XCreateGC(display, m_back, 0, nullptr);
    std::uint32_t seed = 12345;
    for (int i = 0; i < kBalls; ++i) {
        Ball ball;
        ball.radius = 20 + static_cast<int>(Next(seed) % 60);
        ball.x = Next(seed) % static_cast<std::uint32_t>(width);
        ball.y = Next(seed) % static_cast<std::uint32_t>(height);
        ball.dx = (static_cast<int>(Next(seed) % 600) - 300) * width / 1280.0;
        ball.dy = (static_cast<int>(Next(seed) % 600) - 300) * height / 720.0;
        ball.rgb = Hue((Next(seed) % 1000) / 1000.0);
        m_balls.push_back(ball);
    }
}

CScenePainter::~CScenePainter() {
    XFreeGC(m_pDisplay, m_gc);
    XFreePixmap(m_pDisplay, m_back);
}

unsigned long CScenePainter::PixelFor(std::uint32_t rgb) const {
    return Place((rgb >> 16) & 0xff, m_pVisual->red_mask) | Place((rgb >> 8) & 0xff, m_pVisual->green_mask) |
           Place(rgb & 0xff, m_pVisual->blue_mask);
}

void CScenePainter::PaintTiles(double t) {
    const int tw = (m_nWidth + kTileColumns - 1) / kTileColumns;
    const int th = (m_nHeight + kTileRows - 1) / kTileRows;
    for (int row = 0; row < kTileRows; ++row) {
        for (int column = 0; column < kTileColumns; ++column) {
            const double hue = 0.05 * column + 0.07 * row + 0.1 * t;
            XSetForeground(m_pDisplay, m_gc, PixelFor(Hue(hue)));
            XFillRectangle(m_pDisplay, m_back, m_gc, column * tw, row * th, static_cast<unsigned>(tw),
                           static_cast<unsigned>(th));
        }
    }
}

void CScenePainter::PaintBands(double t) {
    // Four dark diagonal bands sliding to the right.
    const int period = m_nWidth / 2;
    const int shift = static_cast<int>(t * 240) % period;
    XSetForeground(m_pDisplay, m_gc, PixelFor(0x202020));
    for (int k = -2; k < 4; ++k) {
        const int x0 = k * period / 2 + shift;
        XPoint band[4] = {{static_cast<short>(x0), 0},
                          {static_cast<short>(x0 + 60), 0},
                          {static_cast<short>(x0 + 60 + m_nHeight / 2), static_cast<short>(m_nHeight)},
                          {static_cast<short>(x0 + m_nHeight / 2), static_cast<short>(m_nHeight)}};
        XFillPolygon(m_pDisplay, m_back, m_gc, band, 4, Convex, CoordModeOrigin);
    }
}

void CScenePainter::PaintBalls(double t) {
    for (const Ball& ball : m_balls) {
        // Bounce inside the picture: positions fold back at the edges.
        auto fold = [t](double p, double d, double size) {
            double v = std::fmod(p + d * t, 2 * size);
            if (v < 0) v += 2 * size;
            return v > size ? 2 * size - v : v;
        };
        const int x = static_cast<int>(fold(ball.x, ball.dx, m_nWidth));
        const int y = static_cast<int>(fold(ball.y, ball.dy, m_nHeight));
        XSetForeground(m_pDisplay, m_gc, PixelFor(ball.rgb));
        XFillArc(m_pDisplay, m_back, m_gc, x - ball.radius, y - ball.radius, static_cast<unsigned>(2 * ball.radius),
                 static_cast<unsigned>(2 * ball.radius), 0, 360 * 64);
    }
}

void CScenePainter::PaintCounter(std::uint64_t n) {
    char text[64];
    std::snprintf(text, sizeof(text), "picture %llu", static_cast<unsigned long long>(n));
    XSetForeground(m_pDisplay, m_gc, PixelFor(0x000000));
    XFillRectangle(m_pDisplay, m_back, m_gc, 10, 10, 200, 30);
    XSetForeground(m_pDisplay, m_gc, PixelFor(0xFFFFFF));
    XDrawString(m_pDisplay, m_back, m_gc, 20, 30, text, static_cast<int>(std::strlen(text)));
}

void CScenePainter::PaintDesktop() {
    XSetForeground(m_pDisplay, m_gc, PixelFor(0x3A6EA5));
    XFillRectangle(m_pDisplay, m_back, m_gc, 0, 0, static_cast<unsigned>(m_nWidth), static_cast<unsigned>(m_nHeight));
    // A panel along the top and three windows with a title bar and lines of "text".
    XSetForeground(m_pDisplay, m_gc, PixelFor(0x202020));
    XFillRectangle(m_pDisplay, m_back, m_gc, 0, 0, static_cast<unsigned>(m_nWidth), 28);
    const int windows[3][4] = {{m_nWidth / 10, m_nHeight / 8, m_nWidth / 2, m_nHeight / 2},
                               {m_nWidth / 3, m_nHeight / 3, m_nWidth / 2, m_nHeight / 2},
                               {m_nWidth * 2 / 3, m_nHeight / 6, m_nWidth / 4, m_nHeight * 2 / 3}};
    for (const auto& w : windows) {
        XSetForeground(m_pDisplay, m_gc, PixelFor(0xF0F0F0));
        XFillRectangle(m_pDisplay, m_back, m_gc, w[0], w[1], static_cast<unsigned>(w[2]), static_cast<unsigned>(w[3]));
        XSetForeground(m_pDisplay, m_gc, PixelFor(0x4A4A70));
        XFillRectangle(m_pDisplay, m_back, m_gc, w[0], w[1], static_cast<unsigned>(w[2]), 24);
        XSetForeground(m_pDisplay, m_gc, PixelFor(0x303030));
        for (int y = w[1] + 40; y + 16 < w[1] + w[3]; y += 18) {
            static const char kLine[] = "the quick brown fox jumps over the lazy dog 0123456789";
            XDrawString(m_pDisplay, m_back, m_gc, w[0] + 10, y, kLine, static_cast<int>(sizeof(kLine) - 1));
        }
    }
}

void CScenePainter::PaintClock(std::uint64_t second) {
    // A 96x96 clock face in the middle of the screen (inside any centred capture region).
    constexpr int kSize = 96;
    const int x0 = m_nWidth / 2 - kSize / 2;
    const int y0 = m_nHeight / 2 - kSize / 2;
    XSetForeground(m_pDisplay, m_gc, PixelFor(0x202020));
    XFillRectangle(m_pDisplay, m_back, m_gc, x0, y0, kSize, kSize);
    XSetForeground(m_pDisplay, m_gc, PixelFor(0xFFFFFF));
    XFillArc(m_pDisplay, m_back, m_gc, x0 + 8, y0 + 8, kSize - 16, kSize - 16, 0, 360 * 64);
    const double angle = 2 * kPi * static_cast<double>(second % 60) / 60.0;
    const int cx = x0 + kSize / 2;
    const int cy = y0 + kSize / 2;
    XSetForeground(m_pDisplay, m_gc, PixelFor(0xC00000));
    XDrawLine(m_pDisplay, m_back, m_gc, cx, cy, cx + static_cast<int>(34 * std::sin(angle)),
              cy - static_cast<int>(34 * std::cos(angle)));
    char text[32];
    std::snprintf(text, sizeof(text), "%llu", static_cast<unsigned long long>(second));
    XSetForeground(m_pDisplay, m_gc, PixelFor(0x000000));
    XDrawString(m_pDisplay, m_back, m_gc, cx - 10, cy + 26, text, static_cast<int>(std::strlen(text)));
    XCopyArea(m_pDisplay, m_back, m_window, m_gc, x0, y0, kSize, kSize, x0, y0);
}

void CScenePainter::Paint(std::uint64_t n, int fps) {
    if (m_bStill) {
        const std::uint64_t second = n / static_cast<unsigned>(fps);
        if (!m_bDesktopShown) {
            PaintDesktop();
            XCopyArea(m_pDisplay, m_back, m_window, m_gc, 0, 0, static_cast<unsigned>(m_nWidth),
                      static_cast<unsigned>(m_nHeight), 0, 0);
            m_bDesktopShown = true;
        }
        if (second != m_nShownSecond) {
            PaintClock(second);
            m_nShownSecond = second;
        }
        XSync(m_pDisplay, False);
        return;
    }
    const double t = static_cast<double>(n) / fps;
    PaintTiles(t);
    PaintBands(t);
    PaintBalls(t);
    PaintCounter(n);
    XCopyArea(m_pDisplay, m_back, m_window, m_gc, 0, 0, static_cast<unsigned>(m_nWidth),
              static_cast<unsigned>(m_nHeight), 0, 0);
    XSync(m_pDisplay, False);
}

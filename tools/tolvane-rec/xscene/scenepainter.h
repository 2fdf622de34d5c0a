// CScenePainter: a colourful moving scene on an X window: a grid of tiles
// whose colours cycle, diagonal bands sliding across, bouncing balls and a
// picture counter. Each picture is painted into a back buffer (a pixmap) and
// copied to the window at once, so a screen grab never sees half a picture.
// All painting is done by the X server (core requests).
// In the still form it shows a quiet desktop instead: a fixed background with
// a few plain windows, painted once, and a small clock whose seconds hand and
// counter change once a second; only the clock's square is copied again.
// Called from the one thread that owns the display.
#pragma once

#include <X11/Xlib.h>

#include <cstdint>
#include <vector>

class CScenePainter {
public:
    CScenePainter(Display* display, Window window, int width, int height, bool still = false);
    ~CScenePainter();
    CScenePainter(const CScenePainter&) = delete;
    CScenePainter& operator=(const CScenePainter&) = delete;

    // Paints picture `n` (the scene at n / fps seconds) and shows it. The
    // still scene repaints only when the second changes.
    void Paint(std::uint64_t n, int fps);

private:
    struct Ball {
        double x, y, dx, dy;  // position and speed in pixels per second
        int radius;
        std::uint32_t rgb;
    };

    unsigned long PixelFor(std::uint32_t rgb) const;
    void PaintTiles(double t);
    void PaintBands(double t);
    void PaintBalls(double t);
    void PaintCounter(std::uint64_t n);
    void PaintDesktop();
    void PaintClock(std::uint64_t second);

    Display* m_pDisplay;
    Window m_window;
    Pixmap m_back;
    GC m_gc;
    int m_nWidth;
    int m_nHeight;
    Visual* m_pVisual;
    std::vector<Ball> m_balls;
    bool m_bStill;
    bool m_bDesktopShown = false;
    std::uint64_t m_nShownSecond = ~std::uint64_t{0};
};

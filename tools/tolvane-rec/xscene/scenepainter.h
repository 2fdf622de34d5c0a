// CScenePainter: a colourful moving scene on an X window: a grid of tiles
// whose colours cycle, diagonal bands sliding across, bouncing balls and a
// picture counter. Each picture is painted into a back buffer (a pixmap) and
// copied to the window at once, so a screen grab never sees half a picture.
// All painting is done by the X server (core requests).
#pragma once

#include <X11/Xlib.h>

#include <cstdint>
#include <vector>

class CScenePainter {
public:
    CScenePainter(Display* display, Window window, int width, int height);
    ~CScenePainter();
    CScenePainter(const CScenePainter&) = delete;
    CScenePainter& operator=(const CScenePainter&) = delete;

    // Paints picture `n` (the scene at n / fps seconds) and shows it.
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

    Display* m_pDisplay;
    Window m_window;
    Pixmap m_back;
    GC m_gc;
    int m_nWidth;
    int m_nHeight;
    Visual* m_pVisual;
    std::vector<Ball> m_balls;
};

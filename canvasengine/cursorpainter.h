// CCursorPainter: draws the X server's current cursor (XFixes cursor image,
// premultiplied ARGB) into a BGRA picture, alpha-blended at its position.
#pragma once

#include <X11/Xlib.h>

#include <cstdint>

class CCursorPainter {
public:
    // Checks for the XFixes extension on the display.
    explicit CCursorPainter(Display* display);

    bool IsAvailable() const { return m_bAvailable; }
    // Draws the cursor into the w x h picture (stride bytes per row) whose
    // top-left pixel is at root position (x, y). False when the cursor image
    // could not be read.
    bool Paint(std::uint8_t* bits, int stride, int x, int y, int w, int h);

    // Blends one premultiplied ARGB pixel over a B, G, R, A pixel.
    static void Blend(std::uint32_t argb, std::uint8_t* bgra);

private:
    Display* m_pDisplay;
    bool m_bAvailable = false;
};

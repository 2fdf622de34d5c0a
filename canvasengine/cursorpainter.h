// CCursorPainter: draws the X server's current cursor (XFixes cursor image,
// premultiplied ARGB) into a BGRA picture, alpha-blended at its position.
// Used by the thread that owns the display (the canvas thread).
#pragma once

#include <X11/Xlib.h>
#include <X11/extensions/Xfixes.h>

#include <cstdint>
#include <memory>

class CCursorPainter {
public:
    // The cursor's place in root coordinates, with the serial of its image.
    struct Place {
        int nLeft = 0;
        int nTop = 0;
        int nWidth = 0;  // 0: no cursor image
        int nHeight = 0;
        unsigned long dwSerial = 0;
        bool operator==(const Place&) const = default;
    };

    // Checks for the XFixes extension on the display.
    explicit CCursorPainter(Display* display);

    bool IsAvailable() const { return m_bAvailable; }
    // Draws the cursor into the w x h picture (stride bytes per row) whose
    // top-left pixel is at root position (x, y). False when the cursor image
    // could not be read.
    bool Paint(std::uint8_t* bits, int stride, int x, int y, int w, int h);

    // Reads the cursor's image and place from the server (what PaintRows
    // draws); false when it could not be read (then nothing is drawn).
    bool Fetch();
    // The place of the image Fetch read; nWidth 0 when it read none.
    const Place& GetPlace() const { return m_place; }
    // Draws the fetched cursor like Paint, only into rows [rowFrom, rowTo)
    // of the picture.
    void PaintRows(std::uint8_t* bits, int stride, int x, int y, int w, int h, int rowFrom, int rowTo) const;

    // Blends one premultiplied ARGB pixel over a B, G, R, A pixel.
    static void Blend(std::uint32_t argb, std::uint8_t* bgra);

private:
    struct ImageFree {
        void operator()(XFixesCursorImage* image) const { XFree(image); }
    };

    Display* m_pDisplay;
    bool m_bAvailable = false;
    std::unique_ptr<XFixesCursorImage, ImageFree> m_pImage;
    Place m_place;
};

// CPixelFormat: the pixel layout of an X image and its conversion to BGRA.
#pragma once

#include <X11/Xlib.h>

#include <cstdint>

class CPixelFormat {
public:
    explicit CPixelFormat(const XImage& image);

    // 32 bits per pixel, least significant byte first, red 0xff0000, green
    // 0xff00, blue 0xff: the bytes are already B, G, R, x.
    bool IsBgrx() const { return m_bBgrx; }
    // Whether Convert understands the layout (16, 24 or 32 bits per pixel, TrueColor masks).
    bool IsSupported() const { return m_bSupported; }
    // Converts w pixels of one image row to B, G, R, 255.
    void ConvertRow(const std::uint8_t* src, std::uint8_t* dst, int w) const;

private:
    struct Channel {
        int shift = 0;
        std::uint32_t max = 0;  // mask >> shift
        std::uint8_t Expand(std::uint32_t pixel) const;
    };
    std::uint32_t ReadPixel(const std::uint8_t* p) const;

    int m_nBytesPerPixel;
    bool m_bMsbFirst;
    bool m_bBgrx;
    bool m_bSupported;
    Channel m_red, m_green, m_blue;
};

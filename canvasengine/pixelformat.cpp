#include "pixelformat.h"

#include <cstring>

namespace {
int LowestBit(unsigned long mask) {
    int shift = 0;
    while (mask && !(mask & 1)) {
        mask >>= 1;
        ++shift;
    }
    return shift;
}
}  // namespace

CPixelFormat::CPixelFormat(const XImage& image)
    : m_nBytesPerPixel(image.bits_per_pixel / 8), m_bMsbFirst(image.byte_order == MSBFirst) {
    auto channel = [](unsigned long mask) {
        Channel c;
        c.shift = LowestBit(mask);
        c.max = static_cast<std::uint32_t>(mask >> c.shift);
        return c;
    };
    m_red = channel(image.red_mask);
    m_green = channel(image.green_mask);
    m_blue = channel(image.blue_mask);
    const int bpp = image.bits_per_pixel;
    m_bSupported = image.format == ZPixmap && (bpp == 16 || bpp == 24 || bpp == 32) && m_red.max &&
                   m_green.max && m_blue.max;
    m_bBgrx = m_bSupported && bpp == 32 && !m_bMsbFirst && image.red_mask == 0xff0000 &&
              image.green_mask == 0xff00 && image.blue_mask == 0xff;
}

std::uint8_t CPixelFormat::Channel::Expand(std::uint32_t pixel) const {
    const std::uint32_t v = (pixel >> shift) & max;
    return static_cast<std::uint8_t>(max == 255 ? v : (v * 255 + max / 2) / max);
}

std::uint32_t CPixelFormat::ReadPixel(const std::uint8_t* p) const {
    std::uint32_t v = 0;
    if (m_bMsbFirst)
        for (int i = 0; i < m_nBytesPerPixel; ++i) v = (v << 8) | p[i];
    else
        for (int i = m_nBytesPerPixel - 1; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

void CPixelFormat::ConvertRow(const std::uint8_t* src, std::uint8_t* dst, int w) const {
    if (m_bBgrx) {
        std::memcpy(dst, src, static_cast<std::size_t>(w) * 4);
        return;
    }
    for (int x = 0; x < w; ++x, src += m_nBytesPerPixel, dst += 4) {
        const std::uint32_t pixel = ReadPixel(src);
        dst[0] = m_blue.Expand(pixel);
        dst[1] = m_green.Expand(pixel);
        dst[2] = m_red.Expand(pixel);
        dst[3] = 255;
    }
}

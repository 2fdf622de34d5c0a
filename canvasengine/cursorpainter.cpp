#include "cursorpainter.h"

#include <algorithm>

CCursorPainter::CCursorPainter(Display* display) : m_pDisplay(display) {
    int eventBase = 0, errorBase = 0;
    m_bAvailable = XFixesQueryExtension(display, &eventBase, &errorBase) != 0;
}

void CCursorPainter::Blend(std::uint32_t argb, std::uint8_t* bgra) {
    const std::uint32_t a = argb >> 24;
    if (a == 0 && (argb & 0xffffff) == 0) return;
    const std::uint32_t keep = 255 - a;
    const std::uint32_t src[3] = {argb & 0xff, (argb >> 8) & 0xff, (argb >> 16) & 0xff};
    for (int c = 0; c < 3; ++c) {
        const std::uint32_t v = src[c] + (bgra[c] * keep + 127) / 255;
        bgra[c] = static_cast<std::uint8_t>(std::min<std::uint32_t>(v, 255));
    }
}

bool CCursorPainter::Fetch() {
    m_pImage.reset();
    m_place = Place{};
    if (!m_bAvailable) return false;
    m_pImage.reset(XFixesGetCursorImage(m_pDisplay));
    if (!m_pImage) return false;
    const XFixesCursorImage& image = *m_pImage;
    m_place = {image.x - image.xhot, image.y - image.yhot, image.width, image.height, image.cursor_serial};
    return true;
}

bool CCursorPainter::Paint(std::uint8_t* bits, int stride, int x, int y, int w, int h) {
    if (!Fetch()) return false;
    PaintRows(bits, stride, x, y, w, h, 0, h);
    return true;
}

void CCursorPainter::PaintRows(std::uint8_t* bits, int stride, int x, int y, int w, int h, int rowFrom,
                               int rowTo) const {
    if (!m_pImage) return;
    const int left = m_place.nLeft - x;
    const int top = m_place.nTop - y;
    const int cw = m_place.nWidth, ch = m_place.nHeight;
    const int x0 = std::max(0, left), x1 = std::min(w, left + cw);
    const int y0 = std::max({0, top, rowFrom}), y1 = std::min({h, top + ch, rowTo});
    for (int py = y0; py < y1; ++py) {
        // The pixels come as unsigned long, 32 significant bits each.
        const unsigned long* src = m_pImage->pixels + static_cast<std::size_t>(py - top) * cw + (x0 - left);
        std::uint8_t* dst = bits + static_cast<std::ptrdiff_t>(py) * stride + x0 * 4;
        for (int px = x0; px < x1; ++px, dst += 4) Blend(static_cast<std::uint32_t>(*src++), dst);
    }
}

#include "testscreen.h"

namespace {
unsigned long Place(std::uint32_t v8, unsigned long mask) {
    if (!mask) return 0;
    int shift = 0;
    while (!((mask >> shift) & 1)) ++shift;
    const unsigned long max = mask >> shift;
    return ((v8 * max + 127) / 255) << shift;
}
}  // namespace

CTestScreen::CTestScreen(const std::string& display) {
    m_pDisplay = XOpenDisplay(display.c_str());
    if (m_pDisplay) m_gc = XCreateGC(m_pDisplay, DefaultRootWindow(m_pDisplay), 0, nullptr);
}

CTestScreen::~CTestScreen() {
    if (!m_pDisplay) return;
    XFreeGC(m_pDisplay, m_gc);
    XCloseDisplay(m_pDisplay);
}

unsigned long CTestScreen::PixelFor(std::uint32_t rgb) const {
    const Visual* visual = DefaultVisual(m_pDisplay, DefaultScreen(m_pDisplay));
    return Place((rgb >> 16) & 0xff, visual->red_mask) | Place((rgb >> 8) & 0xff, visual->green_mask) |
           Place(rgb & 0xff, visual->blue_mask);
}

void CTestScreen::FillRect(int x, int y, int w, int h, std::uint32_t rgb) {
    XSetForeground(m_pDisplay, m_gc, PixelFor(rgb));
    XFillRectangle(m_pDisplay, DefaultRootWindow(m_pDisplay), m_gc, x, y, static_cast<unsigned>(w),
                   static_cast<unsigned>(h));
    XSync(m_pDisplay, False);
}

void CTestScreen::WarpPointer(int x, int y) {
    XWarpPointer(m_pDisplay, None, DefaultRootWindow(m_pDisplay), 0, 0, 0, 0, x, y);
    XSync(m_pDisplay, False);
}

void CTestScreen::Sync() { XSync(m_pDisplay, False); }

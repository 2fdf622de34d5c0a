#include "screenarea.h"

#include <X11/Xlib.h>

#include <cstdlib>

#include "monitortable.h"

bool CScreenArea::Query(std::string& error) {
    const char* name = std::getenv("DISPLAY");
    if (!name || !*name) {
        error = "no X display: $DISPLAY is not set (--source screen records an X11 screen)";
        return false;
    }
    Display* display = XOpenDisplay(name);
    if (!display) {
        error = std::string("cannot open the X display '") + name + "'";
        return false;
    }
    const Window root = DefaultRootWindow(display);
    XWindowAttributes attributes{};
    XGetWindowAttributes(display, root, &attributes);
    m_nRootWidth = attributes.width;
    m_nRootHeight = attributes.height;
    XCloseDisplay(display);
    // The primary monitor as the bar records it; the whole root window where
    // XRandR names no monitor.
    CMonitorTable monitors;
    monitors.refresh();
    m_primary = monitors.primaryRect();
    if (m_primary.empty()) m_primary = {0, 0, m_nRootWidth, m_nRootHeight};
    if (m_nRootWidth < 1 || m_nRootHeight < 1) {
        error = std::string("the X display '") + name + "' has no screen area";
        return false;
    }
    return true;
}

bool CScreenArea::Contains(const CaptureRect& rect, std::string& error) const {
    if (rect.left >= 0 && rect.top >= 0 && rect.right <= m_nRootWidth && rect.bottom <= m_nRootHeight &&
        !rect.empty())
        return true;
    error = "the rectangle " + std::to_string(rect.left) + "," + std::to_string(rect.top) + "," +
            std::to_string(rect.width()) + "," + std::to_string(rect.height()) + " is not inside the " +
            std::to_string(m_nRootWidth) + "x" + std::to_string(m_nRootHeight) + " screen";
    return false;
}

#include "xscreenprobe.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace {
Display* display(void* p) { return static_cast<Display*>(p); }
}  // namespace

bool CXScreenProbe::open(const std::string& displayName) {
    close();
    m_pDisplay = XOpenDisplay(displayName.c_str());
    return m_pDisplay != nullptr;
}

void CXScreenProbe::close() {
    if (m_pDisplay) XCloseDisplay(display(m_pDisplay));
    m_pDisplay = nullptr;
}

void CXScreenProbe::setRootBackground(unsigned rgb) {
    Display* d = display(m_pDisplay);
    const Window root = DefaultRootWindow(d);
    XSetWindowBackground(d, root, rgb);
    XClearWindow(d, root);
    XSync(d, False);
}

QImage CXScreenProbe::grab(const QRect& area) const {
    Display* d = display(m_pDisplay);
    if (!d || area.isEmpty()) return {};
    XImage* image = XGetImage(d, DefaultRootWindow(d), area.x(), area.y(), unsigned(area.width()),
                              unsigned(area.height()), AllPlanes, ZPixmap);
    if (!image) return {};
    QImage result(area.size(), QImage::Format_RGB32);
    for (int y = 0; y < area.height(); ++y)
        for (int x = 0; x < area.width(); ++x) result.setPixel(x, y, QRgb(XGetPixel(image, x, y) | 0xFF000000u));
    XDestroyImage(image);
    return result;
}

unsigned CXScreenProbe::pixel(int x, int y) const {
    const QImage image = grab(QRect(x, y, 1, 1));
    if (image.isNull()) return 0xFFFFFFFFu;
    return unsigned(image.pixel(0, 0)) & 0xFFFFFFu;
}

QRect CXScreenProbe::windowGeometry(unsigned long window) const {
    XWindowAttributes attributes;
    if (!m_pDisplay || !XGetWindowAttributes(display(m_pDisplay), Window(window), &attributes)) return {};
    return QRect(attributes.x, attributes.y, attributes.width, attributes.height);
}

bool CXScreenProbe::isOverrideRedirect(unsigned long window) const {
    XWindowAttributes attributes;
    if (!m_pDisplay || !XGetWindowAttributes(display(m_pDisplay), Window(window), &attributes)) return false;
    return attributes.override_redirect;
}

void CXScreenProbe::setRootCardinals(const char* name, const std::vector<long>& values) {
    Display* d = display(m_pDisplay);
    XChangeProperty(d, DefaultRootWindow(d), XInternAtom(d, name, False), XA_CARDINAL, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(values.data()), int(values.size()));
    XSync(d, False);
}

void CXScreenProbe::deleteRootProperty(const char* name) {
    Display* d = display(m_pDisplay);
    XDeleteProperty(d, DefaultRootWindow(d), XInternAtom(d, name, False));
    XSync(d, False);
}

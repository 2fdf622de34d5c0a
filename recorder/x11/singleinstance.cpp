#include "singleinstance.h"

#include <X11/Xatom.h>

#include "x11errortrap.h"

CSingleInstance::CSingleInstance(const char* displayName) {
    m_pDisplay = XOpenDisplay(displayName);
    if (m_pDisplay) m_property = XInternAtom(m_pDisplay, kPropertyName, False);
}

CSingleInstance::~CSingleInstance() {
    if (m_pDisplay) XCloseDisplay(m_pDisplay);
}

unsigned long CSingleInstance::publishedWindow() {
    if (!m_pDisplay) return 0;
    Atom type = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    unsigned long window = 0;
    CX11ErrorTrap trap(m_pDisplay);
    if (XGetWindowProperty(m_pDisplay, DefaultRootWindow(m_pDisplay), m_property, 0, 1, False, XA_WINDOW, &type,
                           &format, &count, &after, &data) == Success &&
        data) {
        if (type == XA_WINDOW && format == 32 && count == 1) window = *reinterpret_cast<unsigned long*>(data);
        XFree(data);
    }
    trap.sync();
    return window;
}

bool CSingleInstance::windowExists(Window window) {
    XWindowAttributes attributes;
    CX11ErrorTrap trap(m_pDisplay);
    Status status = XGetWindowAttributes(m_pDisplay, window, &attributes);
    return trap.sync() == Success && status != 0;
}

bool CSingleInstance::anotherInstanceRuns() {
    unsigned long window = publishedWindow();
    return window != 0 && windowExists(window);
}

bool CSingleInstance::publish(unsigned long windowId) {
    if (!m_pDisplay) return false;
    Window value = windowId;
    CX11ErrorTrap trap(m_pDisplay);
    XChangeProperty(m_pDisplay, DefaultRootWindow(m_pDisplay), m_property, XA_WINDOW, 32, PropModeReplace,
                    reinterpret_cast<unsigned char*>(&value), 1);
    return trap.sync() == Success;
}

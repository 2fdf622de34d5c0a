// CX11ErrorTrap: catches the X protocol errors of one display connection
// for the lifetime of the object (requests are synchronised before the
// previous handler comes back). Errors of other connections go on to the
// handler that was installed before.
#pragma once

#include <X11/Xlib.h>

class CX11ErrorTrap {
public:
    explicit CX11ErrorTrap(Display* display);
    ~CX11ErrorTrap();
    CX11ErrorTrap(const CX11ErrorTrap&) = delete;
    CX11ErrorTrap& operator=(const CX11ErrorTrap&) = delete;

    // Waits for the server to handle every request so far; the first error
    // code caught since the trap was set (Success when none).
    int sync();

private:
    static int handler(Display* display, XErrorEvent* event);

    Display* m_pDisplay;
    int m_nErrorCode = Success;
    XErrorHandler m_previous = nullptr;
    CX11ErrorTrap* m_pOuter = nullptr;
};

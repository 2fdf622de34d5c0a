#include "x11errortrap.h"

namespace {

// The innermost trap; traps are set and removed on the GUI thread only.
thread_local CX11ErrorTrap* t_pActive = nullptr;

}  // namespace

CX11ErrorTrap::CX11ErrorTrap(Display* display) : m_pDisplay(display) {
    if (m_pDisplay) XSync(m_pDisplay, False);
    m_pOuter = t_pActive;
    t_pActive = this;
    m_previous = XSetErrorHandler(&CX11ErrorTrap::handler);
}

CX11ErrorTrap::~CX11ErrorTrap() {
    if (m_pDisplay) XSync(m_pDisplay, False);
    XSetErrorHandler(m_previous);
    t_pActive = m_pOuter;
}

int CX11ErrorTrap::sync() {
    if (m_pDisplay) XSync(m_pDisplay, False);
    return m_nErrorCode;
}

int CX11ErrorTrap::handler(Display* display, XErrorEvent* event) {
    for (CX11ErrorTrap* trap = t_pActive; trap; trap = trap->m_pOuter) {
        if (trap->m_pDisplay != display) continue;
        if (trap->m_nErrorCode == Success) trap->m_nErrorCode = event->error_code;
        return 0;
    }
    CX11ErrorTrap* outermost = t_pActive;
    while (outermost && outermost->m_pOuter) outermost = outermost->m_pOuter;
    XErrorHandler previous = outermost ? outermost->m_previous : nullptr;
    return previous ? previous(display, event) : 0;
}

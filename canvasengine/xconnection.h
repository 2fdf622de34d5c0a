// CXConnection: one Xlib connection of the component, used by one thread at a
// time, whose failures never reach the rest of the process.
//
// Protocol errors on the connection are recorded (TakeError) instead of going
// to the process-wide error handler. A broken connection (the server went
// away, or Shutdown) is marked lost: with libX11 >= 1.7 the process-wide I/O
// error handler returns for the component's connections and the connection's
// exit handler only marks it, so Xlib calls on it fail from then on; the
// socket is also polled for a hang-up before each use, so that a server gone
// between two pictures is noticed without entering Xlib at all. With an older
// libX11, whose I/O error path always ends the process, that poll is the only
// protection, and a lost connection is left open rather than closed through Xlib.
#pragma once

#include <X11/Xlib.h>

#include <atomic>
#include <memory>

class CXConnection {
public:
    // Opens the display (null: $DISPLAY); null when it cannot be opened.
    static std::unique_ptr<CXConnection> Open(const char* name);
    ~CXConnection();
    CXConnection(const CXConnection&) = delete;
    CXConnection& operator=(const CXConnection&) = delete;

    Display* GetDisplay() const { return m_pDisplay; }
    Window GetRoot() const { return m_root; }
    // False once the connection is lost; polls the socket for a hang-up first.
    bool CheckAlive();
    bool IsLost() const { return m_bLost.load(std::memory_order_acquire); }
    // The first X error code recorded since the last call, 0 for none.
    int TakeError();
    // May be called from another thread while the owner is blocked in an
    // Xlib call: shuts the socket down so that the call returns.
    void Shutdown();

    // Installs the process-wide I/O error handler that spares the
    // component's connections and passes every other one on to the handler
    // installed before. Idempotent; reinstalls itself if it was replaced.
    static void InstallIOErrorHandler();

private:
    explicit CXConnection(Display* display);
    bool Attach();
    void MarkLost() { m_bLost.store(true, std::memory_order_release); }
    static CXConnection* FromDisplay(Display* display);
    static int OnIOError(Display* display);

    Display* m_pDisplay;
    Window m_root;
    int m_nFd;
    int m_nError = 0;
    std::atomic<bool> m_bLost{false};
};

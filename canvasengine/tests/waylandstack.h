// CWaylandStack: a private headless Wayland desktop for the tests of the
// screen-cast backend: a session bus of its own, PipeWire and WirePlumber on
// a private runtime folder, and on request sway (headless, pixman renderer,
// one 1280x720 output "HEADLESS-1", XWayland on) with xdg-desktop-portal and
// xdg-desktop-portal-wlr set to cast that output without asking. sway refuses
// to run as root, so as root it runs as nobody (setpriv) in a runtime folder
// that user owns. Every process is stopped by its id when the object goes;
// their output goes to log files in the stack's folder.
//
// Start* return false with the reason when a program is missing or does not
// come up; the tests skip then.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

class CWaylandStack {
public:
    CWaylandStack();
    ~CWaylandStack();
    CWaylandStack(const CWaylandStack&) = delete;
    CWaylandStack& operator=(const CWaylandStack&) = delete;

    // The session bus alone (StartPipeWire starts it too).
    bool StartBus(std::string& why);
    // The session bus, PipeWire and WirePlumber.
    bool StartPipeWire(std::string& why);
    // xdg-desktop-portal alone, with the back ends described by the .portal
    // files in portalDir for the desktop `desktop` (XDG_CURRENT_DESKTOP).
    // idle runs while it comes up: a back end served by the caller's own
    // event loop has to answer the front end's start-up calls.
    bool StartPortal(const std::string& portalDir, const std::string& desktop, std::string& why,
                     const std::function<void()>& idle = {});
    // sway and the portals; outputName goes into xdg-desktop-portal-wlr's
    // configuration as the output to cast (a wrong name makes casts fail).
    bool StartDesktop(const std::string& outputName, std::string& why);

    std::string BusAddress() const { return "unix:path=" + m_strRoot + "/bus"; }
    std::string PipeWireSocket() const { return m_strRoot + "/rt/pipewire-0"; }
    // A new connection to the PipeWire socket (what the portal's
    // OpenPipeWireRemote hands out); -1 when it cannot be made.
    int ConnectPipeWire() const;
    std::string ConfigHome() const { return m_strRoot + "/cfg"; }
    // The Wayland socket's absolute path, the XWayland display (":N").
    const std::string& WaylandDisplay() const { return m_strWayland; }
    const std::string& XDisplay() const { return m_strXDisplay; }
    // Kills the portal front end (xdg-desktop-portal) at once.
    void KillPortal();
    // The last lines of a program's log ("sway", "xdpw", "xdp", "pipewire", ...).
    std::string LogTail(const std::string& name) const;

private:
    struct Child {
        std::string strName;
        pid_t pid = -1;
    };
    // Starts argv with the stack's environment plus `env`, output to
    // <name>.log; asNobody: under setpriv when this process is root.
    bool Spawn(const std::string& name, const std::vector<std::string>& argv, const std::vector<std::string>& env,
               bool asNobody, std::string& why);
    bool WaitForPath(const std::string& path, int timeoutMs) const;
    // Waits until the portal front end owns its name on the bus.
    bool WaitForPortal(std::string& why, const std::function<void()>& idle = {}) const;
    void StopChild(Child& child);

    std::string m_strRoot;
    std::string m_strWayland;
    std::string m_strXDisplay;
    std::vector<Child> m_children;
    bool m_bBus = false;
};

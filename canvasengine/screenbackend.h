// CScreenBackend: the screen context a canvas draws its sources from, and
// the choice between the two ways of reading the screen: the X server
// (CX11ScreenBackend) or the desktop's screen-cast portal with a PipeWire
// video stream (CPortalScreen, for Wayland desktops). Everything above the
// canvas only sees IOBSEngineScreenDC.
//
// Opened by the thread that starts the canvas, then used by the canvas
// thread alone; Shutdown may come from any thread.
#pragma once

#include <memory>
#include <string>

#include "canvasengine/obsenginedc.h"

class CScreenBackend : public IOBSEngineScreenDC {
public:
    enum class Kind { kX11, kPortal };

    virtual ~CScreenBackend() = default;

    // False once the screen can no longer be read (X server gone, portal
    // session or stream ended).
    virtual bool IsAlive() = 0;
    // Any thread: makes a read that blocks fail, so that the canvas thread ends.
    virtual void Shutdown() = 0;

    // The environment variable that overrides the choice: "x11" or "portal".
    static constexpr const char* kOverrideVariable = "TOLVANE_CAPTURE_BACKEND";

    // The choice from the environment's values (null: unset): the override
    // when it names a backend; the portal for XDG_SESSION_TYPE=wayland, or for
    // a Wayland display without an X display; X11 otherwise.
    static Kind Choose(const char* override, const char* sessionType, const char* waylandDisplay,
                       const char* xDisplay);
    // Choose with this process's environment.
    static Kind ChosenKind();
    static const char* KindName(Kind kind);
    // Parses "x11" / "portal"; false for anything else.
    static bool ParseKind(const std::string& name, Kind& kind);

    // Opens the chosen backend; null with `error` set when it cannot read the
    // screen (no X display; the portal refused, failed or is missing).
    static std::unique_ptr<CScreenBackend> Open(Kind kind, std::string& error);

protected:
    CScreenBackend() = default;
};

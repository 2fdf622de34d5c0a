#include "screenbackend.h"

#include <cstdlib>
#include <cstring>

#include "portalscreen.h"
#include "x11screenbackend.h"

namespace {
bool IsSet(const char* value) { return value && *value; }
}  // namespace

CScreenBackend::Kind CScreenBackend::Choose(const char* override, const char* sessionType,
                                            const char* waylandDisplay, const char* xDisplay) {
    Kind kind;
    if (IsSet(override) && ParseKind(override, kind)) return kind;
    if (IsSet(sessionType)) {
        if (std::strcmp(sessionType, "wayland") == 0) return Kind::kPortal;
        if (std::strcmp(sessionType, "x11") == 0) return Kind::kX11;
    }
    // No session type: a Wayland desktop without an X server of its own.
    if (IsSet(waylandDisplay) && !IsSet(xDisplay)) return Kind::kPortal;
    return Kind::kX11;
}

CScreenBackend::Kind CScreenBackend::ChosenKind() {
    return Choose(std::getenv(kOverrideVariable), std::getenv("XDG_SESSION_TYPE"), std::getenv("WAYLAND_DISPLAY"),
                  std::getenv("DISPLAY"));
}

const char* CScreenBackend::KindName(Kind kind) { return kind == Kind::kPortal ? "portal" : "x11"; }

bool CScreenBackend::ParseKind(const std::string& name, Kind& kind) {
    if (name == "x11") {
        kind = Kind::kX11;
        return true;
    }
    if (name == "portal") {
        kind = Kind::kPortal;
        return true;
    }
    return false;
}

std::unique_ptr<CScreenBackend> CScreenBackend::Open(Kind kind, std::string& error) {
    if (kind == Kind::kPortal) return CPortalScreen::Open(error);
    return CX11ScreenBackend::Open(error);
}

// ITalkTransport: the window system under ProcessTalkImpl. CX11TalkTransport
// realises it on an X display; tests and fuzz targets script it.
#pragma once

#include <cstdint>
#include <span>

#include "processtalkbase.h"

class ITalkTransport {
public:
    // The server knows the window.
    virtual bool IsWindow(TalkWindow window) = 0;
    // The window is a top-level window: a child of the root window, or a
    // descendant of one where a window manager reparented it.
    virtual bool IsTopLevelWindow(TalkWindow window) = 0;
    // Hands the packet to the destination window; true when the receiver
    // took it within the time-out.
    virtual bool SendPacket(TalkWindow destination, std::span<const std::uint8_t> packet) = 0;
    // Report the window's destruction soon (the link then checks its peer);
    // 0 stops watching.
    virtual void WatchPeer(TalkWindow window) = 0;

protected:
    ~ITalkTransport() = default;
};

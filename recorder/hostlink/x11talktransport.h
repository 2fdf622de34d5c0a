// CX11TalkTransport: the host link's packets on an X display. The sender
// stores the packet in a property of the destination window (type
// "_TOLVANE_LINK_PACKET", format 8, named after the sender's window) and
// announces it with a client message "_TOLVANE_LINK" naming the property;
// the receiver reads and deletes the property, and the sender's call returns
// when it sees the deletion, or reports failure after the time-out.
//
// The announcement is sent to the clients that selected ColormapChangeMask
// on the destination, a mask the link's own connection selects on the
// window it listens on and the toolkit does not, so that the bar's toolkit
// never sees the link's messages. Packets above kMaxPacketBytes are refused
// (deleted unread), so that no client of the display can make the receiver
// allocate without limit; a property of another type is left alone.
//
// Threads: one. The owner polls GetFd() (readable when there is something
// to do) and calls Pump(), which hands received packets to the link. Packets
// that arrive while a packet of this side is being sent, or while one is
// being handled, are taken off the window at once (so that the other side's
// send returns) and handed over afterwards, in order.
#pragma once

#include <X11/Xlib.h>

#include <cstdint>
#include <deque>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "talktransport.h"

class CX11TalkTransport : public ITalkTransport {
public:
    static constexpr std::size_t kMaxPacketBytes = 1024 * 1024;
    static constexpr int kDefaultSendTimeoutMs = 2000;
    static constexpr const char* kMessageName = "_TOLVANE_LINK";
    static constexpr const char* kPacketTypeName = "_TOLVANE_LINK_PACKET";

    CX11TalkTransport() = default;
    ~CX11TalkTransport();
    CX11TalkTransport(const CX11TalkTransport&) = delete;
    CX11TalkTransport& operator=(const CX11TalkTransport&) = delete;

    // Opens a connection of its own to the display (null: $DISPLAY).
    bool Open(const char* displayName = nullptr);
    Display* GetDisplay() const { return m_pDisplay; }
    // A small unmapped window of this connection for a host program; 0 on
    // failure. The transport listens on it.
    TalkWindow CreateOwnWindow(const char* title);
    // Receive the packets sent to this window (the bar's window).
    bool Listen(TalkWindow window);
    // Where received packets and peer checks go (null: dropped).
    void SetReceiver(ProcessTalkBase* link) { m_pReceiver = link; }
    void SetSendTimeout(int milliseconds) { m_nSendTimeoutMs = milliseconds; }

    // Readable when Pump has work.
    int GetFd() const { return m_nEpollFd; }
    void Pump();

    // ITalkTransport
    bool IsWindow(TalkWindow window) override;
    bool IsTopLevelWindow(TalkWindow window) override;
    bool SendPacket(TalkWindow destination, std::span<const std::uint8_t> packet) override;
    void WatchPeer(TalkWindow window) override;

    // The client message that tells destination's listeners about a packet
    // in its property `property` (dwData: the packet's tag).
    static void Announce(Display* display, unsigned long destination, unsigned long property, long dwData,
                         unsigned long source);
    // Whether the last packet sent was taken by its receiver.
    bool LastSendTaken() const { return m_bLastTaken; }
    // Packets refused (too big, wrong format) since Open.
    unsigned RefusedCount() const { return m_nRefused; }

private:
    struct Item {
        bool checkPeer = false;
        std::uint32_t dwData = 0;
        std::vector<std::uint8_t> bytes;
    };
    enum class Wait { NONE, DONE, GONE };

    void readEvents(Window waitWindow, Atom waitProperty, Wait* wait);
    void handleEvent(const XEvent& event, Window waitWindow, Atom waitProperty, Wait* wait);
    void takePacket(const XClientMessageEvent& message);
    void addMask(Window window, long mask);
    void removeMask(Window window, long mask);
    void afterCall();
    void signal();
    bool findBelow(Window parent, Window wanted, int depth);

    Display* m_pDisplay = nullptr;
    int m_nEpollFd = -1;
    int m_nEventFd = -1;
    Atom m_message = 0;
    Atom m_packetType = 0;
    Atom m_ownProperty = 0;
    Window m_ownWindow = 0;
    bool m_bCreatedWindow = false;
    Window m_watched = 0;
    std::map<Window, long> m_masks;
    std::map<Window, bool> m_listening;
    std::deque<Item> m_queue;
    ProcessTalkBase* m_pReceiver = nullptr;
    int m_nDepth = 0;
    int m_nSendTimeoutMs = kDefaultSendTimeoutMs;
    unsigned m_nRefused = 0;
    bool m_bLastTaken = false;
};

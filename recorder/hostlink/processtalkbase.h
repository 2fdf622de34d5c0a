// ProcessTalkBase: a point-to-point link between two top-level windows of the
// same X display (the bar and its host), carrying packets of the layout
// CLinkPacket gives. Implemented by ProcessTalkImpl.
#pragma once

#include <cstdint>

class ProcessTalkSink;

// A window id as the packets carry it (32 bits; X window ids fit).
using TalkWindow = std::uint32_t;

// One received packet, as a WM_COPYDATA record: dwData (12 from every sender
// of this program, not checked), cbData bytes at lpData.
struct TalkCopyData {
    std::uint32_t dwData = 0;
    std::uint32_t cbData = 0;
    const void* lpData = nullptr;
};

class ProcessTalkBase {
public:
    // Both must be non-zero / non-null; 1, else 0.
    virtual int Initialize(TalkWindow ownWindow, ProcessTalkSink* sink) = 0;
    // Disconnects when connected and forgets every handle.
    virtual void Shutdown() = 0;
    virtual TalkWindow GetOwnWindow() = 0;
    virtual TalkWindow GetPeerWindow() = 0;
    // Sends a connect request; 0 when peerWindow is zero or not a window.
    virtual int Connect(TalkWindow peerWindow) = 0;
    virtual int IsConnected() = 0;
    // 0 when not connected, else 1.
    virtual int Disconnect() = 0;
    // 1 when the data packet was taken by the peer.
    virtual int SendData(const char* data, unsigned length) = 0;
    // Periodic liveness check (timer 254).
    virtual void CheckPeer() = 0;
    // One received packet.
    virtual int OnCopyData(std::uintptr_t wParam, const TalkCopyData* copyData) = 0;

protected:
    ~ProcessTalkBase() = default;
};

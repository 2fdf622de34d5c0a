// ProcessTalkImpl: the host link's connection logic over an ITalkTransport.
// One peer at a time: a connect request from a window becomes the peer (a
// second one is put to the sink, which refuses it), a connect accept
// completes a Connect, a disconnect from the peer or the peer's window
// vanishing ends the connection. Data packets reach the sink only from the
// peer and addressed to the own window.
//
// Not synchronised: every call, the transport's deliveries included, comes
// from the one thread that pumps the link (the bar's GUI thread, or a host
// program's loop). The sink and the transport are the caller's and must
// outlive the object.
#pragma once

#include "processtalkbase.h"
#include "talktransport.h"

class ProcessTalkImpl : public ProcessTalkBase {
public:
    static constexpr unsigned kCheckPeriodMs = 1000;

    explicit ProcessTalkImpl(ITalkTransport& transport);
    ~ProcessTalkImpl();
    ProcessTalkImpl(const ProcessTalkImpl&) = delete;
    ProcessTalkImpl& operator=(const ProcessTalkImpl&) = delete;

    int Initialize(TalkWindow ownWindow, ProcessTalkSink* sink) override;
    void Shutdown() override;
    TalkWindow GetOwnWindow() override { return m_dwOwnWindow; }
    TalkWindow GetPeerWindow() override { return m_dwPeerWindow; }
    int Connect(TalkWindow peerWindow) override;
    int IsConnected() override { return m_bConnected ? 1 : 0; }
    int Disconnect() override;
    int SendData(const char* data, unsigned length) override;
    void CheckPeer() override;
    int OnCopyData(std::uintptr_t wParam, const TalkCopyData* copyData) override;

private:
    void becomeConnected(TalkWindow peer);
    void dropLocally();
    bool send(int type, TalkWindow destination, const char* data = nullptr, unsigned length = 0);

    ITalkTransport& m_transport;
    ProcessTalkSink* m_pSink = nullptr;
    TalkWindow m_dwOwnWindow = 0;
    TalkWindow m_dwPeerWindow = 0;
    bool m_bConnected = false;
};

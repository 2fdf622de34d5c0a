#include "processtalkimpl.h"

#include "basekit/logwrapper.h"
#include "linkpacket.h"
#include "processtalksink.h"

ProcessTalkImpl::ProcessTalkImpl(ITalkTransport& transport) : m_transport(transport) {}

ProcessTalkImpl::~ProcessTalkImpl() { Shutdown(); }

int ProcessTalkImpl::Initialize(TalkWindow ownWindow, ProcessTalkSink* sink) {
    if (ownWindow == 0 || !sink) return 0;
    m_dwOwnWindow = ownWindow;
    m_pSink = sink;
    return 1;
}

void ProcessTalkImpl::Shutdown() {
    if (m_bConnected) Disconnect();
    m_transport.WatchPeer(0);
    m_dwPeerWindow = 0;
    m_dwOwnWindow = 0;
    m_pSink = nullptr;
}

bool ProcessTalkImpl::send(int type, TalkWindow destination, const char* data, unsigned length) {
    std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(data), data ? length : 0);
    return m_transport.SendPacket(destination, CLinkPacket::Build(type, destination, m_dwOwnWindow, bytes));
}

void ProcessTalkImpl::becomeConnected(TalkWindow peer) {
    m_dwPeerWindow = peer;
    m_bConnected = true;
    m_transport.WatchPeer(peer);
    if (m_pSink) {
        m_pSink->OnConnectState(1);
        m_pSink->StartCheckTimer(kCheckPeriodMs);
    }
}

void ProcessTalkImpl::dropLocally() {
    m_bConnected = false;
    m_transport.WatchPeer(0);
    if (m_pSink) {
        m_pSink->OnConnectState(0);
        m_pSink->StopCheckTimer();
    }
    m_dwPeerWindow = 0;
}

int ProcessTalkImpl::Connect(TalkWindow peerWindow) {
    if (peerWindow == 0 || !m_transport.IsWindow(peerWindow)) return 0;
    UC_LOG_THIS(CLogWrapper::LOG_INFO, "connect request to window " << peerWindow);
    send(CLinkPacket::TYPE_CONNECT, peerWindow);
    return 1;
}

int ProcessTalkImpl::Disconnect() {
    if (!m_bConnected) return 0;
    const TalkWindow peer = m_dwPeerWindow;
    m_bConnected = false;
    m_transport.WatchPeer(0);
    if (m_pSink) {
        m_pSink->OnConnectState(0);
        m_pSink->StopCheckTimer();
    }
    if (peer != 0 && m_transport.IsWindow(peer)) send(CLinkPacket::TYPE_DISCONNECT, peer);
    m_dwPeerWindow = 0;
    return 1;
}

int ProcessTalkImpl::SendData(const char* data, unsigned length) {
    if (!m_bConnected) return 0;
    if (!m_transport.IsWindow(m_dwPeerWindow)) {
        dropLocally();
        return 0;
    }
    return send(CLinkPacket::TYPE_DATA, m_dwPeerWindow, data, length) ? 1 : 0;
}

void ProcessTalkImpl::CheckPeer() {
    if (m_dwPeerWindow == 0) return;
    if (!m_transport.IsTopLevelWindow(m_dwPeerWindow)) {
        UC_LOG_THIS(CLogWrapper::LOG_INFO, "the peer window " << m_dwPeerWindow << " has gone");
        if (m_bConnected)
            dropLocally();
        else
            m_dwPeerWindow = 0;
    }
}

int ProcessTalkImpl::OnCopyData(std::uintptr_t, const TalkCopyData* copyData) {
    if (!copyData || !m_pSink) return 0;
    std::span<const std::uint8_t> packet(static_cast<const std::uint8_t*>(copyData->lpData),
                                         copyData->lpData ? copyData->cbData : 0);
    const LinkPacketHeader header = CLinkPacket::Parse(packet);
    switch (header.type) {
        case CLinkPacket::TYPE_CONNECT:
            if (header.destination == 0 || header.destination != m_dwOwnWindow ||
                !m_transport.IsWindow(header.source))
                return 1;
            if (m_dwPeerWindow != 0 && m_dwPeerWindow != header.source && m_pSink->OnMultiConnect() != 0) return 1;
            becomeConnected(header.source);
            send(CLinkPacket::TYPE_ACCEPT, header.source);
            return 1;
        case CLinkPacket::TYPE_ACCEPT:
            // From no window it would leave a connection without a peer,
            // which nothing could end.
            if (m_bConnected || !m_transport.IsWindow(header.source)) return 1;
            becomeConnected(header.source);
            return 1;
        case CLinkPacket::TYPE_DISCONNECT:
            if (!m_bConnected) return 1;
            if (header.destination != 0 && header.source != m_dwPeerWindow && m_transport.IsWindow(header.source))
                return 1;
            dropLocally();
            return 1;
        case CLinkPacket::TYPE_DATA:
            if (m_bConnected && header.destination == m_dwOwnWindow && header.source == m_dwPeerWindow &&
                packet.size() > CLinkPacket::kHeaderSize)
                m_pSink->OnReceiveData(reinterpret_cast<const char*>(packet.data()) + CLinkPacket::kHeaderSize,
                                       static_cast<unsigned>(packet.size() - CLinkPacket::kHeaderSize));
            return 1;
        default: return 1;
    }
}

// ProcessTalkSink: what the host link tells its owner (the bar's frame side,
// or a host program). Called on the thread that pumps the link.
#pragma once

class ProcessTalkSink {
public:
    // 1: a peer is connected; 0: the connection has gone.
    virtual void OnConnectState(int connected) = 0;
    // One data packet's bytes (an XML message), valid during the call.
    virtual void OnReceiveData(const char* data, unsigned length) = 0;
    // Start / stop calling CheckPeer every periodMs milliseconds (timer 254).
    virtual void StartCheckTimer(unsigned periodMs) = 0;
    virtual void StopCheckTimer() = 0;
    // A second peer asks to connect while one is connected; non-zero refuses.
    virtual int OnMultiConnect() = 0;

protected:
    ~ProcessTalkSink() = default;
};

// CHostSession: tolvane-ctl's end of the host link. It opens its own
// connection to the display and a small unmapped window, connects to the
// bar (or waits for a bar started with "/wnd" to connect), sends commands and
// waits for their answers, matched by their identifier. It notices the bar
// going away (a disconnect, or its window vanishing) and reports it.
//
// One thread: every call runs the link's loop while it waits.
#pragma once

#include <poll.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "hostmessage.h"
#include "processtalkimpl.h"
#include "processtalksink.h"
#include "x11talktransport.h"

class CHostSession : public ProcessTalkSink {
public:
    // tolvane-ctl's exit codes for the outcomes below.
    enum Result {
        RESULT_OK = 0,
        RESULT_FAILED = 1,
        RESULT_NO_BAR = 3,
        RESULT_REFUSED = 4,
        RESULT_NO_ANSWER = 5,
        RESULT_BAR_GONE = 6,
    };
    static constexpr int kAnswerTimeoutMs = 5000;
    static constexpr int kAcceptTimeoutMs = 3000;

    CHostSession();
    ~CHostSession();

    // Display connection and own window; false without a display.
    bool Open();
    TalkWindow OwnWindow() const { return m_dwOwnWindow; }
    // The running bar's window ("Tolvane_Instance"), 0 when none runs.
    TalkWindow FindBar();

    // Connects to the bar; RESULT_REFUSED when the bar took the request but
    // did not accept it (another host drives it).
    Result Connect(TalkWindow bar);
    // Waits for a bar to connect to this window (tolvane /wnd); stops
    // early when gaveUp returns true.
    Result WaitForBar(int timeoutMs, const std::function<bool()>& gaveUp);
    bool IsConnected() { return m_link.IsConnected() != 0; }
    bool BarGone() const { return m_bGone; }

    // Sends a command and waits for its answer.
    Result Request(HostCommand command, HostAnswer* answer, std::string* answerText = nullptr);
    // Sends a command that has no answer ("source").
    Result Send(HostCommand command);
    // Sends raw bytes as one data packet.
    bool SendRaw(const std::string& bytes);

    // Runs the link for up to timeoutMs, also polling extra; returns early
    // when one of extra is ready.
    void Run(int timeoutMs, std::vector<pollfd>* extra = nullptr);
    void Disconnect();

    // The answers not waited for, as printed.
    std::deque<std::string> TakeUnclaimed();

    // ProcessTalkSink
    void OnConnectState(int connected) override;
    void OnReceiveData(const char* data, unsigned length) override;
    void StartCheckTimer(unsigned periodMs) override;
    void StopCheckTimer() override;
    int OnMultiConnect() override;

private:
    CX11TalkTransport m_transport;
    ProcessTalkImpl m_link;
    TalkWindow m_dwOwnWindow = 0;
    bool m_bWasConnected = false;
    bool m_bGone = false;
    unsigned m_nCheckPeriodMs = 0;
    std::uint64_t m_nextCheckMs = 0;
    struct Received {
        HostAnswer answer;
        std::string text;
    };
    std::deque<Received> m_answers;
};

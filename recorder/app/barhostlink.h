// CBarHostLink: the bar's end of the host link. It owns the link's X11
// transport (its own display connection, watched on the GUI thread's event
// loop), the link (ProcessTalkImpl) and the frame side (CHostFrameSink), and
// is the IHostFrame of that frame side over the record state machine:
// timer 254 checks the peer, message 1128 shows the finish prompt.
//
// GUI thread only. The record control and the message presenter are the
// frame's and outlive this object.
#pragma once

#include <QObject>

#include <functional>
#include <memory>
#include <string>

#include "hostframe.h"
#include "hostframesink.h"
#include "processtalkimpl.h"

class CRecordControl;
class CX11TalkTransport;
class IMessagePresenter;
class QSocketNotifier;
class QTimer;

class CBarHostLink : public QObject, public IHostFrame {
    Q_OBJECT
public:
    enum { TIMER_HOST_CHECK = 254 };

    // finishPrompt: message 1128 (runs after the current call).
    CBarHostLink(CRecordControl& control, IMessagePresenter& messages, std::string versionText,
                 std::function<void()> finishPrompt, QObject* parent = nullptr);
    ~CBarHostLink() override;

    // Listens on the bar's window; false without a display.
    bool open(unsigned long barWindow);
    // "/wnd": connects to the host's window.
    void connectToHost(std::uint32_t hostWindow);
    // Disconnects and forgets the link (window destruction).
    void shutdown();
    ProcessTalkImpl& link() { return *m_pLink; }

    // IHostFrame
    bool isRecording() override;
    bool isPaused() override;
    bool isAutoSync() override;
    int doStart() override;
    int doStop() override;
    int doPause() override;
    int doResume() override;
    int doToAutoSync(bool on) override;
    void setHostName(const std::string& name) override;
    void applyAudioDevices(const std::string& inputName, bool inputDisabled, const std::string& outputName,
                           bool outputDisabled) override;
    void postFinishPrompt() override;
    void startCheckTimer(unsigned periodMs) override;
    void stopCheckTimer() override;

private:
    CRecordControl& m_control;
    std::function<void()> m_finishPrompt;
    // The transport includes Xlib, which Qt's headers must not meet.
    std::unique_ptr<CX11TalkTransport> m_pTransport;
    std::unique_ptr<ProcessTalkImpl> m_pLink;
    CHostFrameSink m_sink;
    std::unique_ptr<QSocketNotifier> m_pNotifier;
    QTimer* m_pCheckTimer = nullptr;
    bool m_bOpen = false;
};

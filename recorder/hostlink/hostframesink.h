// CHostFrameSink: the bar's side of the host link. A host that connects
// makes the bar host-driven (and ends a running recording); when it goes,
// the bar leaves host mode, a running recording is stopped and its file
// finished, and then the user is told. Each data packet is one XML command
// (CHostMessage): start, stop, pause, the sources, the state query; the
// four record commands are answered before they are carried out.
//
// Decisions of this implementation: a command without a valid "id" is
// answered with the nil identifier; a pause while nothing records is
// answered and does nothing else.
//
// GUI thread only (the link's pump). The frame, the message presenter and
// the link are the caller's and outlive the sink.
#pragma once

#include <string>

#include "hostmessage.h"
#include "processtalksink.h"

class IHostFrame;
class IMessagePresenter;
class ProcessTalkBase;

class CHostFrameSink : public ProcessTalkSink {
public:
    CHostFrameSink(IHostFrame& frame, IMessagePresenter& messages, std::string versionText);
    void SetLink(ProcessTalkBase* link) { m_pLink = link; }

    // ProcessTalkSink
    void OnConnectState(int connected) override;
    void OnReceiveData(const char* data, unsigned length) override;
    void StartCheckTimer(unsigned periodMs) override;
    void StopCheckTimer() override;
    int OnMultiConnect() override;

    // The answers (each logs its name, answers, then acts).
    void doRespondStart(const CHostMessage::Guid& id);
    void doRespondStop(const CHostMessage::Guid& id);
    void doRespondPause(const CHostMessage::Guid& id);
    void doRespondQureyRecState(const CHostMessage::Guid& id);
    void doRespondRecSource(const HostCommand& command);

private:
    void answer(const CHostMessage::Guid& id, std::optional<int> val);

    IHostFrame& m_frame;
    IMessagePresenter& m_messages;
    std::string m_strVersionText;
    ProcessTalkBase* m_pLink = nullptr;
};

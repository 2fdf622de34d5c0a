#include "hostframesink.h"

#include "basekit/logwrapper.h"
#include "hostframe.h"
#include "messagepresenter.h"
#include "processtalkbase.h"

namespace {
constexpr const char* kCaption = "ID_TEXT_TIPS";
enum { STATE_READY = 0, STATE_RECORDING = 1, STATE_PAUSED = 2 };
enum { VAL_STOP = 0, VAL_START = 1, VAL_PAUSE = 2 };
}  // namespace

CHostFrameSink::CHostFrameSink(IHostFrame& frame, IMessagePresenter& messages, std::string versionText)
    : m_frame(frame), m_messages(messages), m_strVersionText(std::move(versionText)) {}

void CHostFrameSink::OnConnectState(int connected) {
    UC_LOG_THIS(CLogWrapper::LOG_INFO, "-------- OnConnectState = " << connected);
    const bool wasRecording = m_frame.isRecording();
    const bool wasHostDriven = m_frame.isAutoSync();
    if (connected) {
        m_frame.doToAutoSync(true);
        m_frame.doStop();
        return;
    }
    m_frame.doToAutoSync(false);
    // The recording is stopped and its file finished before the box that
    // says so, which waits for the user.
    m_frame.doStop();
    if (wasRecording && wasHostDriven)
        m_messages.showMessage("ID_TEXT_RECORD_FINISH", kCaption, IMessagePresenter::ICON_INFORMATION,
                               IMessagePresenter::BUTTONS_OK);
}

void CHostFrameSink::StartCheckTimer(unsigned periodMs) { m_frame.startCheckTimer(periodMs); }

void CHostFrameSink::StopCheckTimer() { m_frame.stopCheckTimer(); }

int CHostFrameSink::OnMultiConnect() {
    UC_LOG_THIS(CLogWrapper::LOG_INFO, "-------- OnMultiConnect: refused");
    m_messages.showMessage("ID_TEXT_MULTY_CONNECT_TIP", kCaption, IMessagePresenter::ICON_WARNING,
                           IMessagePresenter::BUTTONS_OK);
    return 1;
}

void CHostFrameSink::OnReceiveData(const char* data, unsigned length) {
    if (!data) return;
    std::optional<HostCommand> command = CHostMessage::ParseCommand(std::string_view(data, length));
    if (!command) {
        UC_LOG_THIS(CLogWrapper::LOG_WARNING, " --- not a command, dropped (" << length << " bytes)");
        return;
    }
    const CHostMessage::Guid id = CHostMessage::ParseGuid(command->id).value_or(CHostMessage::Guid{});
    if (command->opt == "set") {
        if (command->type == "source") {
            doRespondRecSource(*command);
        } else if (command->type == "record") {
            switch (command->val) {
                case VAL_START:
                    m_frame.setHostName(command->name);
                    doRespondStart(id);
                    break;
                case VAL_STOP: {
                    const bool connected = m_pLink && m_pLink->IsConnected();
                    const bool recording = m_frame.isRecording();
                    doRespondStop(id);
                    if (connected && recording && !m_frame.isRecording()) m_frame.postFinishPrompt();
                    break;
                }
                case VAL_PAUSE: doRespondPause(id); break;
                default: break;
            }
        }
    } else if (command->opt == "qurey" && command->type == "record") {
        doRespondQureyRecState(id);
    }
}

void CHostFrameSink::answer(const CHostMessage::Guid& id, std::optional<int> val) {
    const std::string text = CHostMessage::PrintAnswer(m_strVersionText, id, val);
    if (m_pLink) m_pLink->SendData(text.data(), static_cast<unsigned>(text.size()));
}

void CHostFrameSink::doRespondStart(const CHostMessage::Guid& id) {
    UC_LOG_THIS(CLogWrapper::LOG_INFO, "-------- doRespondStart");
    answer(id, std::nullopt);
    if (!m_frame.isRecording())
        m_frame.doStart();
    else if (m_frame.isPaused())
        m_frame.doResume();
}

void CHostFrameSink::doRespondStop(const CHostMessage::Guid& id) {
    UC_LOG_THIS(CLogWrapper::LOG_INFO, "-------- doRespondStop");
    answer(id, std::nullopt);
    m_frame.doStop();
}

void CHostFrameSink::doRespondPause(const CHostMessage::Guid& id) {
    UC_LOG_THIS(CLogWrapper::LOG_INFO, "-------- doRespondPause");
    answer(id, std::nullopt);
    // Nothing records: no engine is asked to pause.
    if (m_frame.isRecording()) m_frame.doPause();
}

void CHostFrameSink::doRespondQureyRecState(const CHostMessage::Guid& id) {
    UC_LOG_THIS(CLogWrapper::LOG_INFO, "-------- doRespondQureyRecState");
    const int state = !m_frame.isRecording() ? STATE_READY : m_frame.isPaused() ? STATE_PAUSED : STATE_RECORDING;
    answer(id, state);
}

void CHostFrameSink::doRespondRecSource(const HostCommand& command) {
    UC_LOG_THIS(CLogWrapper::LOG_INFO, "-------- doRespondRecSource");
    m_frame.applyAudioDevices(command.mic.name, command.mic.disable != 0, command.speaker.name,
                              command.speaker.disable != 0);
}

#include "hostsession.h"

#include <chrono>

#include "singleinstance.h"

namespace {

std::uint64_t nowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

CHostSession::CHostSession() : m_link(m_transport) {}

CHostSession::~CHostSession() {
    m_link.Shutdown();
    m_transport.SetReceiver(nullptr);
}

bool CHostSession::Open() {
    if (!m_transport.Open()) return false;
    m_dwOwnWindow = m_transport.CreateOwnWindow("tolvane-ctl");
    if (!m_dwOwnWindow) return false;
    m_link.Initialize(m_dwOwnWindow, this);
    m_transport.SetReceiver(&m_link);
    return true;
}

TalkWindow CHostSession::FindBar() {
    CSingleInstance instance(DisplayString(m_transport.GetDisplay()));
    if (!instance.anotherInstanceRuns()) return 0;
    return static_cast<TalkWindow>(instance.publishedWindow());
}

CHostSession::Result CHostSession::Connect(TalkWindow bar) {
    if (!m_link.Connect(bar)) return RESULT_NO_BAR;
    if (!m_transport.LastSendTaken() && !IsConnected()) return RESULT_NO_ANSWER;
    const std::uint64_t until = nowMs() + kAcceptTimeoutMs;
    while (!IsConnected() && nowMs() < until) Run(static_cast<int>(until - nowMs()));
    return IsConnected() ? RESULT_OK : RESULT_REFUSED;
}

CHostSession::Result CHostSession::WaitForBar(int timeoutMs, const std::function<bool()>& gaveUp) {
    const std::uint64_t until = nowMs() + static_cast<std::uint64_t>(timeoutMs);
    while (!IsConnected() && nowMs() < until) {
        if (gaveUp && gaveUp()) return RESULT_BAR_GONE;
        Run(std::min<int>(100, static_cast<int>(until - nowMs())));
    }
    return IsConnected() ? RESULT_OK : RESULT_NO_ANSWER;
}

CHostSession::Result CHostSession::Send(HostCommand command) {
    if (!IsConnected()) return RESULT_BAR_GONE;
    const std::string text = CHostMessage::PrintCommand(command);
    if (m_link.SendData(text.data(), static_cast<unsigned>(text.size()))) return RESULT_OK;
    return IsConnected() ? RESULT_NO_ANSWER : RESULT_BAR_GONE;
}

bool CHostSession::SendRaw(const std::string& bytes) {
    return m_link.SendData(bytes.data(), static_cast<unsigned>(bytes.size())) != 0;
}

CHostSession::Result CHostSession::Request(HostCommand command, HostAnswer* answer, std::string* answerText) {
    if (command.id.empty()) command.id = CHostMessage::FormatGuid(CHostMessage::NewGuid());
    const Result sent = Send(command);
    if (sent != RESULT_OK) return sent;
    const std::uint64_t until = nowMs() + kAnswerTimeoutMs;
    for (;;) {
        for (auto it = m_answers.begin(); it != m_answers.end(); ++it) {
            if (it->answer.id != command.id) continue;
            if (answer) *answer = it->answer;
            if (answerText) *answerText = it->text;
            m_answers.erase(it);
            return RESULT_OK;
        }
        if (m_bGone || !IsConnected()) return RESULT_BAR_GONE;
        const std::uint64_t now = nowMs();
        if (now >= until) return RESULT_NO_ANSWER;
        Run(static_cast<int>(until - now));
    }
}

void CHostSession::Run(int timeoutMs, std::vector<pollfd>* extra) {
    std::vector<pollfd> fds{{m_transport.GetFd(), POLLIN, 0}};
    if (extra)
        for (pollfd& fd : *extra) fds.push_back({fd.fd, fd.events, 0});
    int wait = timeoutMs < 0 ? 0 : timeoutMs;
    if (m_nCheckPeriodMs) {
        const std::uint64_t now = nowMs();
        wait = now >= m_nextCheckMs ? 0 : std::min<int>(wait, static_cast<int>(m_nextCheckMs - now));
    }
    ::poll(fds.data(), fds.size(), wait);
    if (fds[0].revents) m_transport.Pump();
    if (extra)
        for (std::size_t i = 0; i < extra->size(); ++i) (*extra)[i].revents = fds[i + 1].revents;
    if (m_nCheckPeriodMs && nowMs() >= m_nextCheckMs) {
        m_nextCheckMs = nowMs() + m_nCheckPeriodMs;
        m_link.CheckPeer();
    }
}

void CHostSession::Disconnect() { m_link.Disconnect(); }

std::deque<std::string> CHostSession::TakeUnclaimed() {
    std::deque<std::string> texts;
    for (Received& received : m_answers) texts.push_back(std::move(received.text));
    m_answers.clear();
    return texts;
}

void CHostSession::OnConnectState(int connected) {
    if (connected) {
        m_bWasConnected = true;
        m_bGone = false;
    } else if (m_bWasConnected) {
        m_bGone = true;
    }
}

void CHostSession::OnReceiveData(const char* data, unsigned length) {
    std::string text(data, length);
    std::optional<HostAnswer> answer = CHostMessage::ParseAnswer(text);
    if (answer) m_answers.push_back(Received{std::move(*answer), std::move(text)});
}

void CHostSession::StartCheckTimer(unsigned periodMs) {
    m_nCheckPeriodMs = periodMs;
    m_nextCheckMs = nowMs() + periodMs;
}

void CHostSession::StopCheckTimer() { m_nCheckPeriodMs = 0; }

// A host drives one bar; a second bar asking is refused.
int CHostSession::OnMultiConnect() { return 1; }

#include "barhostlink.h"

#include <QSocketNotifier>
#include <QTimer>

#include "basekit/logwrapper.h"
#include "recordcontrol.h"
#include "x11talktransport.h"

CBarHostLink::CBarHostLink(CRecordControl& control, IMessagePresenter& messages, std::string versionText,
                           std::function<void()> finishPrompt, QObject* parent)
    : QObject(parent),
      m_control(control),
      m_finishPrompt(std::move(finishPrompt)),
      m_pTransport(std::make_unique<CX11TalkTransport>()),
      m_pLink(std::make_unique<ProcessTalkImpl>(*m_pTransport)),
      m_sink(*this, messages, std::move(versionText)) {
    m_sink.SetLink(m_pLink.get());
    m_pCheckTimer = new QTimer(this);
    connect(m_pCheckTimer, &QTimer::timeout, this, [this] { m_pLink->CheckPeer(); });
}

CBarHostLink::~CBarHostLink() { shutdown(); }

bool CBarHostLink::open(unsigned long barWindow) {
    if (!m_pTransport->Open() || !m_pTransport->Listen(static_cast<TalkWindow>(barWindow))) {
        UC_LOG_THIS(CLogWrapper::LOG_WARNING, " --- the host link has no display; no host can connect");
        return false;
    }
    m_pLink->Initialize(static_cast<TalkWindow>(barWindow), &m_sink);
    m_pTransport->SetReceiver(m_pLink.get());
    m_pNotifier = std::make_unique<QSocketNotifier>(m_pTransport->GetFd(), QSocketNotifier::Read);
    connect(m_pNotifier.get(), &QSocketNotifier::activated, this, [this] { m_pTransport->Pump(); });
    m_control.setHostLink(m_pLink.get());
    m_bOpen = true;
    return true;
}

void CBarHostLink::connectToHost(std::uint32_t hostWindow) {
    if (!m_bOpen) return;
    UC_LOG_THIS(CLogWrapper::LOG_INFO, "host window from the command line: " << hostWindow);
    if (!m_pLink->Connect(hostWindow))
        UC_LOG_THIS(CLogWrapper::LOG_WARNING, " --- the host window " << hostWindow << " does not exist");
}

void CBarHostLink::shutdown() {
    if (!m_bOpen) return;
    m_bOpen = false;
    m_pLink->Shutdown();
    m_control.setHostLink(nullptr);
    m_pTransport->SetReceiver(nullptr);
    m_pNotifier.reset();
    m_pCheckTimer->stop();
}

bool CBarHostLink::isRecording() { return m_control.isRecording(); }
bool CBarHostLink::isPaused() { return m_control.isPaused(); }
bool CBarHostLink::isAutoSync() { return m_control.isAutoSync(); }
int CBarHostLink::doStart() { return m_control.doStart(); }
int CBarHostLink::doStop() { return m_control.doStop(); }
int CBarHostLink::doPause() { return m_control.doPause(); }
int CBarHostLink::doResume() { return m_control.doResume(); }
int CBarHostLink::doToAutoSync(bool on) { return m_control.doToAutoSync(on); }
void CBarHostLink::setHostName(const std::string& name) { m_control.setHostName(name); }

void CBarHostLink::applyAudioDevices(const std::string& inputName, bool inputDisabled, const std::string& outputName,
                                     bool outputDisabled) {
    // Kept for the host's recordings, as the command line's devices are:
    // a start applies them again to its fresh engine.
    m_control.setStartDevices({inputName, inputDisabled, outputName, outputDisabled});
}

void CBarHostLink::postFinishPrompt() {
    if (m_finishPrompt) QMetaObject::invokeMethod(this, m_finishPrompt, Qt::QueuedConnection);
}

void CBarHostLink::startCheckTimer(unsigned periodMs) { m_pCheckTimer->start(static_cast<int>(periodMs)); }

void CBarHostLink::stopCheckTimer() { m_pCheckTimer->stop(); }

#include "signalpipe.h"

#include <QSocketNotifier>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

namespace {

// The write end the handler uses; -1 while no object exists.
volatile sig_atomic_t g_nWriteFd = -1;
int g_anPipe[2] = {-1, -1};
struct sigaction g_previousTerm {}, g_previousInt {};

}  // namespace

void CSignalPipe::handler(int signalNumber) {
    int saved = errno;
    unsigned char number = static_cast<unsigned char>(signalNumber);
    if (g_nWriteFd >= 0) {
        ssize_t written = ::write(g_nWriteFd, &number, 1);
        (void)written;
    }
    errno = saved;
}

CSignalPipe::CSignalPipe(QObject* parent) : QObject(parent) {
    if (g_anPipe[0] >= 0 || ::pipe2(g_anPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    g_nWriteFd = g_anPipe[1];
    struct sigaction action {};
    action.sa_handler = &CSignalPipe::handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, &g_previousTerm);
    sigaction(SIGINT, &action, &g_previousInt);
    m_pNotifier = std::make_unique<QSocketNotifier>(g_anPipe[0], QSocketNotifier::Read);
    connect(m_pNotifier.get(), &QSocketNotifier::activated, this, &CSignalPipe::readSignal);
    m_bInstalled = true;
}

CSignalPipe::~CSignalPipe() {
    if (!m_bInstalled) return;
    sigaction(SIGTERM, &g_previousTerm, nullptr);
    sigaction(SIGINT, &g_previousInt, nullptr);
    m_pNotifier.reset();
    g_nWriteFd = -1;
    ::close(g_anPipe[0]);
    ::close(g_anPipe[1]);
    g_anPipe[0] = g_anPipe[1] = -1;
}

void CSignalPipe::readSignal() {
    unsigned char number = 0;
    while (::read(g_anPipe[0], &number, 1) == 1) {
        const int signalNumber = number;
        QMetaObject::invokeMethod(this, [this, signalNumber] { emit terminationRequested(signalNumber); },
                                  Qt::QueuedConnection);
    }
}

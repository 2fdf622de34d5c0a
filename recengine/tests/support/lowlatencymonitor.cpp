#include "support/lowlatencymonitor.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

CLowLatencyMonitor::CLowLatencyMonitor(const std::string& sink) {
    const std::string device = "--device=" + sink + ".monitor";
    m_pid = fork();
    if (m_pid == 0) {
        int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        execlp("parec", "parec", device.c_str(), "--latency-msec=10", "--raw", static_cast<char*>(nullptr));
        _exit(127);
    }
}

CLowLatencyMonitor::~CLowLatencyMonitor() {
    if (m_pid > 0) {
        kill(m_pid, SIGTERM);
        waitpid(m_pid, nullptr, 0);
    }
}

// CLowLatencyMonitor: records a sink's monitor with 10 ms fragments into
// /dev/null (parec) while it lives.
//
// An idle null sink runs with its largest latency (2 s) and takes up to that
// long to follow a stream that asks for less; playback that starts in that
// window is rendered late, although the player's own clock says otherwise.
// Keeping a low-latency recorder on the monitor from well before a test
// makes the null sink behave as a real sound card does.
#pragma once

#include <sys/types.h>

#include <string>

class CLowLatencyMonitor {
public:
    explicit CLowLatencyMonitor(const std::string& sink);
    ~CLowLatencyMonitor();
    CLowLatencyMonitor(const CLowLatencyMonitor&) = delete;
    CLowLatencyMonitor& operator=(const CLowLatencyMonitor&) = delete;

    bool IsRunning() const { return m_pid > 0; }

private:
    pid_t m_pid = -1;
};

// CXvfbServer: a private Xvfb for the tests, on the first free display
// number of :90..:99 (a display is free when it has no lock file; the server
// takes the lock itself, so two processes never share one), stopped (or
// killed) with the object.
#pragma once

#include <sys/types.h>

#include <string>

class CXvfbServer {
public:
    CXvfbServer() = default;
    ~CXvfbServer() { Stop(); }
    CXvfbServer(const CXvfbServer&) = delete;
    CXvfbServer& operator=(const CXvfbServer&) = delete;

    // Starts "Xvfb :N -screen 0 WxHxdepth -nolisten tcp -noreset [extra]" (no
    // reset when the last client leaves, so pictures painted stay) and waits
    // until it accepts connections. extra: one more argument pair, e.g.
    // "-extension" "MIT-SHM" (empty: none).
    bool Start(int width, int height, int depth, const std::string& extraOption = "",
               const std::string& extraValue = "");
    void Stop();
    // Sends a signal to the server (SIGSTOP / SIGCONT / SIGKILL).
    void Signal(int signal);
    const std::string& GetDisplayName() const { return m_strDisplay; }
    bool IsRunning() const { return m_pid > 0; }

private:
    bool Launch(int number, const std::string& screen, const std::string& extraOption,
                const std::string& extraValue);
    // The pid in the display's lock file, -1 without one.
    static pid_t LockOwner(int number);
    void RemoveStaleFiles();

    pid_t m_pid = -1;
    int m_nNumber = -1;
    std::string m_strDisplay;
};

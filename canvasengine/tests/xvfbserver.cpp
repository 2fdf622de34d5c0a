#include "xvfbserver.h"

#include <X11/Xlib.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

bool CXvfbServer::Start(int width, int height, int depth, const std::string& extraOption,
                        const std::string& extraValue) {
    Stop();
    const std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x" + std::to_string(depth);
    for (int number = 90; number <= 99; ++number) {
        struct stat st;
        const std::string lock = "/tmp/.X" + std::to_string(number) + "-lock";
        if (stat(lock.c_str(), &st) == 0) continue;
        if (Launch(number, screen, extraOption, extraValue)) return true;
    }
    return false;
}

pid_t CXvfbServer::LockOwner(int number) {
    std::FILE* file = std::fopen(("/tmp/.X" + std::to_string(number) + "-lock").c_str(), "r");
    if (!file) return -1;
    long owner = -1;
    if (std::fscanf(file, "%ld", &owner) != 1) owner = -1;
    std::fclose(file);
    return static_cast<pid_t>(owner);
}

void CXvfbServer::RemoveStaleFiles() {
    // A killed server leaves its lock and socket behind; they are ours to clear.
    if (m_nNumber < 0 || LockOwner(m_nNumber) != m_pid) return;
    unlink(("/tmp/.X11-unix/X" + std::to_string(m_nNumber)).c_str());
    unlink(("/tmp/.X" + std::to_string(m_nNumber) + "-lock").c_str());
}

bool CXvfbServer::Launch(int number, const std::string& screen, const std::string& extraOption,
                         const std::string& extraValue) {
    const std::string display = ":" + std::to_string(number);
    const pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        const int null = open("/dev/null", O_WRONLY);
        if (null >= 0) {
            dup2(null, 1);
            dup2(null, 2);
        }
        std::vector<const char*> argv = {"Xvfb", display.c_str(), "-screen", "0", screen.c_str(),
                                         "-nolisten", "tcp", "-noreset"};
        if (!extraOption.empty()) argv.push_back(extraOption.c_str());
        if (!extraValue.empty()) argv.push_back(extraValue.c_str());
        argv.push_back(nullptr);
        execvp("Xvfb", const_cast<char* const*>(argv.data()));
        _exit(127);
    }
    m_pid = pid;
    m_nNumber = number;
    m_strDisplay = display;
    // Ready once the server holds the display's lock (another process may
    // have won the race for the number: then ours exits) and takes clients.
    for (int i = 0; i < 750; ++i) {
        if (waitpid(pid, nullptr, WNOHANG) == pid) {
            m_pid = -1;
            m_nNumber = -1;
            return false;
        }
        if (LockOwner(number) == pid) {
            if (Display* client = XOpenDisplay(display.c_str())) {
                XCloseDisplay(client);
                return true;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    Stop();
    return false;
}

void CXvfbServer::Signal(int signal) {
    if (m_pid > 0) kill(m_pid, signal);
}

void CXvfbServer::Stop() {
    if (m_pid <= 0) return;
    kill(m_pid, SIGCONT);
    kill(m_pid, SIGTERM);
    bool ended = false;
    for (int i = 0; i < 100 && !ended; ++i) {
        ended = waitpid(m_pid, nullptr, WNOHANG) == m_pid;
        if (!ended) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (!ended) {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
    }
    RemoveStaleFiles();
    m_pid = -1;
    m_nNumber = -1;
}

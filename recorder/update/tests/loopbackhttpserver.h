// CLoopbackHttpServer: a small HTTP/1.1 server on 127.0.0.1 (a free port)
// for the update tests. Each path answers as set: a status with a body, a
// redirect, no answer at all (the connection is held open), a body shorter
// than its announced length, or half the body and then nothing until the
// server stops. Connections are served on threads of their own; stop()
// (and the destructor) ends them all.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class CLoopbackHttpServer {
public:
    enum Mode { MODE_NORMAL, MODE_STALL, MODE_TRUNCATE, MODE_HOLD_HALF };
    struct Response {
        int status = 200;
        std::string body;
        std::string location;  // a redirect's target
        Mode mode = MODE_NORMAL;
    };

    CLoopbackHttpServer();
    ~CLoopbackHttpServer();

    bool start();
    void stop();
    int port() const { return m_nPort; }
    std::string url(const std::string& path) const;

    void set(const std::string& path, const Response& response);
    int requests(const std::string& path) const;

private:
    void acceptLoop();
    void serve(int fd);

    int m_nListen = -1;
    int m_nPort = 0;
    int m_wake[2] = {-1, -1};
    std::atomic<bool> m_bStop{false};
    std::thread m_acceptor;
    mutable std::mutex m_lock;
    std::vector<std::thread> m_connections;
    std::map<std::string, Response> m_responses;
    std::map<std::string, int> m_requests;
};

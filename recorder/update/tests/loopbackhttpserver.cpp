#include "loopbackhttpserver.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace {

bool sendAll(int fd, const std::string& data) {
    std::size_t at = 0;
    while (at < data.size()) {
        const ssize_t n = ::send(fd, data.data() + at, data.size() - at, MSG_NOSIGNAL);
        if (n <= 0) return false;
        at += static_cast<std::size_t>(n);
    }
    return true;
}

const char* reason(int status) {
    switch (status) {
        case 200: return "OK";
        case 302: return "Found";
        case 404: return "Not Found";
        default: return "Status";
    }
}

}  // namespace

CLoopbackHttpServer::CLoopbackHttpServer() = default;

CLoopbackHttpServer::~CLoopbackHttpServer() { stop(); }

bool CLoopbackHttpServer::start() {
    m_nListen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_nListen < 0) return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    if (::bind(m_nListen, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return false;
    if (::listen(m_nListen, 16) != 0) return false;
    socklen_t length = sizeof address;
    ::getsockname(m_nListen, reinterpret_cast<sockaddr*>(&address), &length);
    m_nPort = ntohs(address.sin_port);
    if (::pipe2(m_wake, O_CLOEXEC) != 0) return false;
    m_acceptor = std::thread(&CLoopbackHttpServer::acceptLoop, this);
    return true;
}

void CLoopbackHttpServer::stop() {
    if (m_bStop.exchange(true)) return;
    if (m_wake[1] >= 0) {
        const char byte = 1;
        (void)!::write(m_wake[1], &byte, 1);
    }
    if (m_acceptor.joinable()) m_acceptor.join();
    std::vector<std::thread> connections;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        connections.swap(m_connections);
    }
    for (std::thread& connection : connections) connection.join();
    for (int fd : {m_nListen, m_wake[0], m_wake[1]})
        if (fd >= 0) ::close(fd);
}

std::string CLoopbackHttpServer::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(m_nPort) + path;
}

void CLoopbackHttpServer::set(const std::string& path, const Response& response) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_responses[path] = response;
}

int CLoopbackHttpServer::requests(const std::string& path) const {
    std::lock_guard<std::mutex> lock(m_lock);
    auto it = m_requests.find(path);
    return it == m_requests.end() ? 0 : it->second;
}

void CLoopbackHttpServer::acceptLoop() {
    while (!m_bStop) {
        pollfd fds[2] = {{m_nListen, POLLIN, 0}, {m_wake[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) <= 0) continue;
        if (fds[1].revents) break;
        const int fd = ::accept4(m_nListen, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        std::lock_guard<std::mutex> lock(m_lock);
        m_connections.emplace_back(&CLoopbackHttpServer::serve, this, fd);
    }
}

void CLoopbackHttpServer::serve(int fd) {
    // Waits until the server stops (or the peer goes away).
    auto hold = [&] {
        while (!m_bStop) {
            pollfd fds[2] = {{fd, POLLIN, 0}, {m_wake[0], POLLIN, 0}};
            if (::poll(fds, 2, 200) > 0 && fds[1].revents) break;
            if (fds[0].revents) {
                char buffer[256];
                if (::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT) == 0) break;
            }
        }
    };
    std::string request;
    char buffer[4096];
    while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {m_wake[0], POLLIN, 0}};
        if (::poll(fds, 2, 5000) <= 0 || fds[1].revents) break;
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        request.append(buffer, static_cast<std::size_t>(n));
    }
    const std::size_t pathStart = request.find(' ');
    const std::size_t pathEnd = pathStart == std::string::npos ? pathStart : request.find(' ', pathStart + 1);
    std::string path = pathEnd == std::string::npos ? std::string() : request.substr(pathStart + 1, pathEnd - pathStart - 1);
    path = path.substr(0, path.find('?'));
    Response response;
    bool known = false;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        ++m_requests[path];
        auto it = m_responses.find(path);
        if (it != m_responses.end()) {
            response = it->second;
            known = true;
        }
    }
    if (!known) response.status = 404, response.body = "not found";
    if (response.mode == MODE_STALL) {
        hold();
        ::close(fd);
        return;
    }
    std::string head = "HTTP/1.1 " + std::to_string(response.status) + " " + reason(response.status) + "\r\n";
    if (!response.location.empty()) head += "Location: " + response.location + "\r\n";
    const std::size_t announced = response.mode == MODE_TRUNCATE ? response.body.size() * 2 : response.body.size();
    head += "Content-Length: " + std::to_string(announced) + "\r\nConnection: close\r\n\r\n";
    if (response.mode == MODE_HOLD_HALF) {
        sendAll(fd, head + response.body.substr(0, response.body.size() / 2));
        hold();
    } else {
        sendAll(fd, head + response.body);
    }
    ::shutdown(fd, SHUT_WR);
    ::close(fd);
}

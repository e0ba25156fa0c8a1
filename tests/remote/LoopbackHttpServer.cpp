#include "tests/remote/LoopbackHttpServer.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <stdexcept>

namespace noctave::test {

namespace {

sockaddr_in loopback(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

uint16_t boundPort(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof(address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

const char* reason(int status) {
    switch (status) {
        case 200:
            return "OK";
        case 302:
            return "Found";
        case 404:
            return "Not Found";
        default:
            return "Status";
    }
}

}  // namespace

bool LoopbackHttpServer::Request::hasHeader(const std::string& line) const {
    return std::find(headerLines.begin(), headerLines.end(), line) != headerLines.end();
}

LoopbackHttpServer::LoopbackHttpServer(Handler handler) : handler_(std::move(handler)) {
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = loopback(0);
    if (listenFd_ < 0 ||
        ::bind(listenFd_, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
        ::listen(listenFd_, 16) != 0) {
        throw std::runtime_error("cannot listen on 127.0.0.1");
    }
    port_ = boundPort(listenFd_);
    acceptor_ = std::thread([this] { acceptLoop(); });
}

LoopbackHttpServer::~LoopbackHttpServer() {
    isStopping_ = true;
    ::shutdown(listenFd_, SHUT_RDWR);  // wakes accept()
    acceptor_.join();
    ::close(listenFd_);
    {
        std::lock_guard lock(mutex_);
        for (const int fd : clientFds_) {
            ::shutdown(fd, SHUT_RDWR);
        }
    }
    stopped_.notify_all();
    for (auto& client : clients_) {
        client.join();
    }
    for (const int fd : clientFds_) {
        ::close(fd);
    }
}

std::string LoopbackHttpServer::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<LoopbackHttpServer::Request> LoopbackHttpServer::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

std::pair<int, uint16_t> LoopbackHttpServer::refusingPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = loopback(0);
    if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        throw std::runtime_error("cannot bind on 127.0.0.1");
    }
    return {fd, boundPort(fd)};
}

void LoopbackHttpServer::acceptLoop() {
    while (!isStopping_) {
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (isStopping_) {
                return;
            }
            continue;
        }
        std::lock_guard lock(mutex_);
        clientFds_.push_back(fd);
        clients_.emplace_back([this, fd] { serve(fd); });
    }
}

bool LoopbackHttpServer::waitForStop(std::chrono::milliseconds interval) {
    std::unique_lock lock(mutex_);
    return stopped_.wait_for(lock, interval, [this] { return isStopping_.load(); });
}

bool LoopbackHttpServer::sendAll(int fd, const std::string& data, bool isBody) {
    std::size_t sent = 0;
    while (sent < data.size()) {
        const ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        sent += static_cast<std::size_t>(n);
        if (isBody) {
            bodyBytesSent_ += static_cast<std::size_t>(n);
        }
    }
    return true;
}

void LoopbackHttpServer::serve(int fd) {
    std::string received;
    char buffer[4096];
    while (received.find("\r\n\r\n") == std::string::npos && received.size() < 65536) {
        const ssize_t n = ::recv(fd, buffer, sizeof(buffer), 0);
        if (n <= 0) {
            return;
        }
        received.append(buffer, static_cast<std::size_t>(n));
    }
    Request request;
    std::size_t lineStart = 0;
    for (std::size_t lineEnd;
         (lineEnd = received.find("\r\n", lineStart)) != std::string::npos && lineEnd > lineStart;
         lineStart = lineEnd + 2) {
        const std::string line = received.substr(lineStart, lineEnd - lineStart);
        if (request.method.empty()) {
            const auto space = line.find(' ');
            request.method = line.substr(0, space);
            request.target = line.substr(space + 1, line.rfind(' ') - space - 1);
        } else {
            request.headerLines.push_back(line);
        }
    }
    {
        std::lock_guard lock(mutex_);
        requests_.push_back(request);
    }

    const Response response = handler_(request);
    if (response.kind == Response::Kind::stall) {
        while (!waitForStop(std::chrono::milliseconds(1000))) {
        }
        return;
    }
    std::string head = "HTTP/1.1 " + std::to_string(response.status) + " " +
                       reason(response.status) + "\r\nConnection: close\r\n";
    for (const auto& [name, value] : response.headers) {
        head += name + ": " + value + "\r\n";
    }
    if (response.kind == Response::Kind::trickle) {
        head += "Content-Length: 1000000\r\n\r\n";
        if (!sendAll(fd, head, false)) {
            return;
        }
        while (!waitForStop(std::chrono::milliseconds(50)) && sendAll(fd, " ", true)) {
        }
        return;
    }
    head += "Content-Length: " + std::to_string(response.body.size()) + "\r\n\r\n";
    if (sendAll(fd, head, false)) {
        sendAll(fd, response.body, true);
    }
    ::shutdown(fd, SHUT_WR);
}

}  // namespace noctave::test

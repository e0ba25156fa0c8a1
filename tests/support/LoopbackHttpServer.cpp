#include "tests/support/LoopbackHttpServer.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <sstream>
#include <stdexcept>
#include <tuple>

namespace noctave::test {

namespace {

using namespace std::chrono_literals;

// A TCP socket bound to a free port on 127.0.0.1, and that port.
std::pair<int, uint16_t> bindLoopback() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw std::runtime_error("cannot bind on 127.0.0.1");
    }
    return {fd, ntohs(address.sin_port)};
}

}  // namespace

bool LoopbackHttpServer::Request::hasHeader(const std::string& line) const {
    return std::find(headerLines.begin(), headerLines.end(), line) != headerLines.end();
}

LoopbackHttpServer::LoopbackHttpServer(Handler handler) : handler_(std::move(handler)) {
    std::tie(listenFd_, port_) = bindLoopback();
    if (::listen(listenFd_, 16) != 0) {
        throw std::runtime_error("cannot listen on 127.0.0.1");
    }
    acceptor_ = std::thread([this] { acceptLoop(); });
}

LoopbackHttpServer::~LoopbackHttpServer() {
    isStopping_ = true;
    ::shutdown(listenFd_, SHUT_RDWR);  // wakes accept()
    acceptor_.join();
    ::close(listenFd_);
    // The acceptor is gone, so the connection lists no longer change. Shutting the sockets
    // down wakes reads and sends; waits for the stop wake up here or at their next tick.
    for (const int fd : clientFds_) {
        ::shutdown(fd, SHUT_RDWR);
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

// Bound but not listening: the kernel refuses connections, and no other test can take the port.
std::pair<int, uint16_t> LoopbackHttpServer::refusingPort() {
    return bindLoopback();
}

void LoopbackHttpServer::acceptLoop() {
    while (!isStopping_) {
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {  // only this thread touches the connection lists until it ends
            clientFds_.push_back(fd);
            clients_.emplace_back([this, fd] { serve(fd); });
        }
    }
}

bool LoopbackHttpServer::waitForStop(std::chrono::milliseconds interval) {
    std::unique_lock lock(mutex_);
    return stopped_.wait_for(lock, interval, [this] { return isStopping_.load(); });
}

// A blocking send returns once all of `data` is queued, or early when the peer goes away.
bool LoopbackHttpServer::sendAll(int fd, const std::string& data, bool isBody) {
    const ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
    bodyBytesSent_ += isBody && n > 0 ? static_cast<std::size_t>(n) : 0;
    return n == static_cast<ssize_t>(data.size());
}

void LoopbackHttpServer::serve(int fd) {
    std::string received;
    char buffer[4096];
    for (ssize_t n = 1; received.find("\r\n\r\n") == std::string::npos && n > 0;) {
        n = ::recv(fd, buffer, sizeof(buffer), 0);
        received.append(buffer, static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
    }
    const std::size_t headEnd = received.find("\r\n\r\n");
    if (headEnd == std::string::npos) {
        return;
    }
    received.resize(headEnd);
    std::erase(received, '\r');
    std::istringstream lines(received);
    Request request;
    std::string line;
    lines >> request.method >> request.target;
    std::getline(lines, line);  // the rest of the request line
    while (std::getline(lines, line)) {
        request.headerLines.push_back(line);
    }
    {
        std::lock_guard lock(mutex_);
        requests_.push_back(request);
    }

    const Response response = handler_(request);
    // Clients ignore the reason phrase; one word serves every status.
    std::string head = "HTTP/1.1 " + std::to_string(response.status) + " Status\r\n";
    for (const auto& [name, value] : response.headers) {
        head += name + ": " + value + "\r\n";
    }
    const bool isAnswer = response.kind == Response::Kind::answer;
    head += "Connection: close\r\nContent-Length: " +
            std::to_string(isAnswer ? response.body.size() : 1000000) + "\r\n\r\n";
    if (isAnswer) {
        if (sendAll(fd, head, false)) {
            sendAll(fd, response.body, true);
        }
        ::shutdown(fd, SHUT_WR);
        return;
    }
    // A stalled server says nothing; a trickling one sends the head, then a byte every 50 ms.
    const bool isStall = response.kind == Response::Kind::stall;
    if (isStall || sendAll(fd, head, false)) {
        while (!waitForStop(50ms) && (isStall || sendAll(fd, " ", true))) {
        }
    }
}

}  // namespace noctave::test

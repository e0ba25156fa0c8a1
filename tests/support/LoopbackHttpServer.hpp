#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace noctave::test {

// A small HTTP/1.1 server on 127.0.0.1 for tests of the real HTTP client: it listens on a free
// port, answers every connection on its own thread and closes the connection after one answer.
class LoopbackHttpServer {
  public:
    struct Request {
        std::string method;
        std::string target;
        std::vector<std::string> headerLines;  // "Name: value", as received
        bool hasHeader(const std::string& line) const;
    };

    struct Response {
        // answer: status, headers and body at once; stall: read the request, then say nothing
        // until the server stops; trickle: headers, then one body byte every 50 ms until then.
        enum class Kind { answer, stall, trickle };
        Kind kind = Kind::answer;
        int status = 200;
        std::vector<std::pair<std::string, std::string>> headers;
        std::string body;
    };

    using Handler = std::function<Response(const Request&)>;

    explicit LoopbackHttpServer(Handler handler);
    ~LoopbackHttpServer();

    uint16_t port() const { return port_; }
    std::string url(const std::string& path) const;
    std::vector<Request> requests() const;
    // Body bytes the server managed to hand to the kernel, over all connections.
    std::size_t bodyBytesSent() const { return bodyBytesSent_.load(); }

    // A port on 127.0.0.1 that refuses connections while the returned socket stays open
    // (bound, not listening). Close the socket when done.
    static std::pair<int, uint16_t> refusingPort();

  private:
    void acceptLoop();
    void serve(int fd);
    bool sendAll(int fd, const std::string& data, bool isBody);
    bool waitForStop(std::chrono::milliseconds interval);

    Handler handler_;
    int listenFd_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> isStopping_{false};
    std::atomic<std::size_t> bodyBytesSent_{0};
    mutable std::mutex mutex_;
    std::condition_variable stopped_;
    std::vector<Request> requests_;
    std::vector<int> clientFds_;
    std::vector<std::thread> clients_;
    std::thread acceptor_;
};

}  // namespace noctave::test

#pragma once

#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/os/HttpClient.hpp"

namespace noctave::sim {

// The virtual laptop's network: a scripted HTTP client. Each request takes the next scripted
// reply; with none scripted it waits until a test answers it. Replies are delivered on the
// session's queue ("noctave.http" of the installed runtime), like the real client, and bodies
// are cut at the request's size limit plus one byte, as the real client stops receiving there.
class SimHttpClient final : public os::HttpClient,
                            public std::enable_shared_from_this<SimHttpClient> {
  public:
    struct Reply {
        std::optional<std::string> error;  // a transport failure with this description
        bool isHttp = true;
        int status = 200;
        std::string body;

        static Reply document(std::string body, int status = 200);
        static Reply failure(std::string description);
    };

    struct Request {
        std::string url;
        double timeoutSeconds = 0;
        std::size_t maxBodyBytes = 0;
        Configuration configuration;  // of the session that sent it
    };

    std::shared_ptr<os::HttpSession> makeSession(Configuration configuration) override;

    // The next request gets `reply` (replies are used in the order given).
    void script(Reply reply);
    // Answers the oldest request still waiting. Returns false when none waits.
    bool answerPending(Reply reply);
    std::size_t pendingCount() const;

    // Every request sent so far, oldest first.
    std::vector<Request> requests() const;
    // The same, forgotten as they are returned: a long run keeps no record of its own.
    std::vector<Request> takeRequests();
    // The most body bytes handed to any session (what a real client would have buffered).
    std::size_t largestBodyDelivered() const;

  private:
    class Session;
    struct Pending {
        std::weak_ptr<Session> session;
        Request request;
        os::HttpSession::Completion completion;
    };
    void submit(const std::shared_ptr<Session>& session, Request request,
                os::HttpSession::Completion completion);
    void deliver(const std::shared_ptr<Session>& session, const Request& request,
                 os::HttpSession::Completion completion, Reply reply);

    mutable std::mutex mutex_;
    std::deque<Reply> scripted_;
    std::deque<Pending> pending_;
    std::vector<Request> requests_;
    std::size_t largestBody_ = 0;
};

}  // namespace noctave::sim

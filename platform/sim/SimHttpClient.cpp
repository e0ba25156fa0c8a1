#include "platform/sim/SimHttpClient.hpp"

#include <algorithm>
#include <utility>

#include "core/runtime/Runtime.hpp"

namespace noctave::sim {

class SimHttpClient::Session final : public os::HttpSession,
                                     public std::enable_shared_from_this<Session> {
  public:
    Session(std::weak_ptr<SimHttpClient> client, Configuration configuration)
        : client_(std::move(client)),
          configuration_(std::move(configuration)),
          queue_(runtime::current().makeSerialQueue("noctave.http")) {}

    void get(os::HttpRequest request, Completion completion) override {
        const auto client = client_.lock();
        if (!client) {
            return;  // the laptop is gone: nothing will ever answer
        }
        client->submit(
            shared_from_this(),
            Request{request.url, request.timeoutSeconds, request.maxBodyBytes, configuration_},
            std::move(completion));
    }

    runtime::Queue& queue() { return *queue_; }

  private:
    std::weak_ptr<SimHttpClient> client_;
    Configuration configuration_;
    std::shared_ptr<runtime::Queue> queue_;
};

SimHttpClient::Reply SimHttpClient::Reply::document(std::string body, int status) {
    Reply reply;
    reply.status = status;
    reply.body = std::move(body);
    return reply;
}

SimHttpClient::Reply SimHttpClient::Reply::failure(std::string description) {
    Reply reply;
    reply.error = std::move(description);
    return reply;
}

std::shared_ptr<os::HttpSession> SimHttpClient::makeSession(Configuration configuration) {
    return std::make_shared<Session>(weak_from_this(), std::move(configuration));
}

void SimHttpClient::submit(const std::shared_ptr<Session>& session, Request request,
                           os::HttpSession::Completion completion) {
    std::unique_lock lock(mutex_);
    requests_.push_back(request);
    if (scripted_.empty()) {
        pending_.push_back(Pending{session, std::move(request), std::move(completion)});
        return;
    }
    Reply reply = std::move(scripted_.front());
    scripted_.pop_front();
    lock.unlock();
    deliver(session, request, std::move(completion), std::move(reply));
}

void SimHttpClient::deliver(const std::shared_ptr<Session>& session, const Request& request,
                            os::HttpSession::Completion completion, Reply reply) {
    os::HttpResult result;
    result.error = std::move(reply.error);
    if (!result.error) {
        if (reply.body.size() > request.maxBodyBytes) {
            reply.body.resize(request.maxBodyBytes + 1);
        }
        {
            std::lock_guard lock(mutex_);
            largestBody_ = std::max(largestBody_, reply.body.size());
        }
        result.response = os::HttpResponse{reply.isHttp, reply.status, std::move(reply.body)};
    }
    // Held weakly: a session destroyed before its queue runs drops the completion.
    session->queue().async([weak = std::weak_ptr<Session>(session), result = std::move(result),
                            completion = std::move(completion)] {
        if (weak.lock()) {
            completion(result);
        }
    });
}

void SimHttpClient::script(Reply reply) {
    std::lock_guard lock(mutex_);
    scripted_.push_back(std::move(reply));
}

bool SimHttpClient::answerPending(Reply reply) {
    std::unique_lock lock(mutex_);
    while (!pending_.empty()) {
        Pending pending = std::move(pending_.front());
        pending_.pop_front();
        if (auto session = pending.session.lock()) {
            lock.unlock();
            deliver(session, pending.request, std::move(pending.completion), std::move(reply));
            return true;
        }
    }
    return false;
}

std::size_t SimHttpClient::pendingCount() const {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(std::count_if(
        pending_.begin(), pending_.end(), [](const Pending& p) { return !p.session.expired(); }));
}

std::vector<SimHttpClient::Request> SimHttpClient::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

std::vector<SimHttpClient::Request> SimHttpClient::takeRequests() {
    std::lock_guard lock(mutex_);
    return std::exchange(requests_, {});
}

std::size_t SimHttpClient::largestBodyDelivered() const {
    std::lock_guard lock(mutex_);
    return largestBody_;
}

}  // namespace noctave::sim

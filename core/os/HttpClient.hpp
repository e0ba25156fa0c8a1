#pragma once

#include <cstddef>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace noctave::os {

using HttpHeaders = std::vector<std::pair<std::string, std::string>>;

// One GET request.
struct HttpRequest {
    std::string url;
    // The longest the transfer may sit without receiving anything, in seconds. The session's
    // own timeouts still apply; the shorter one wins.
    double timeoutSeconds = 60;
    // The body is received only up to this many bytes plus one: the client then stops the
    // transfer and reports what it has, so a caller can tell "exactly the limit" from "more".
    std::size_t maxBodyBytes = std::numeric_limits<std::size_t>::max() - 1;
};

// What came back when the transfer did not fail.
struct HttpResponse {
    bool isHttp = true;  // false: the server did not speak HTTP (no status)
    int status = 0;
    std::string body;  // at most maxBodyBytes + 1 bytes
    bool hasBody() const { return !body.empty(); }
};

// Either a transport error (offline, refused, timed out, TLS, bad address) or a response.
struct HttpResult {
    std::optional<std::string> error;  // a readable description for the log
    HttpResponse response;
    bool isFailure() const { return error.has_value(); }
};

// A session: one set of settings applied to every request it runs. Requests run one at a time
// on the session's own serial queue, and each completion is called on that queue, exactly once,
// unless the session is destroyed first (pending requests are then dropped without a call).
// Members may be called from any thread.
class HttpSession {
  public:
    virtual ~HttpSession() = default;
    using Completion = std::function<void(HttpResult)>;
    virtual void get(HttpRequest request, Completion completion) = 0;
};

// Makes sessions. Every session is ephemeral: no cookies, no cache and no stored credentials
// are kept or sent, and it never waits for the network to come up: a request made while
// offline fails at once.
class HttpClient {
  public:
    virtual ~HttpClient() = default;

    struct Configuration {
        // Longest wait for the connection or the next bytes of the response, in seconds.
        double requestTimeout = 10;
        // Longest a whole transfer may take, in seconds.
        double resourceTimeout = 20;
        // Sent with every request of the session.
        HttpHeaders headers;
    };

    virtual std::shared_ptr<HttpSession> makeSession(Configuration configuration) = 0;
};

}  // namespace noctave::os

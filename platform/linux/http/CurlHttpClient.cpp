#include "platform/linux/http/CurlHttpClient.hpp"

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "core/runtime/SerialQueue.hpp"

namespace noctave::linuxos {

namespace {

using SteadyClock = std::chrono::steady_clock;

struct SessionShared {
    os::HttpClient::Configuration configuration;
    std::atomic<bool> isCancelled{false};
};

// The state of one transfer, seen by libcurl's callbacks on the session's worker thread.
struct Transfer {
    const SessionShared* session = nullptr;
    std::size_t maxBodyBytes = 0;
    SteadyClock::duration idleTimeout{};
    SteadyClock::time_point lastActivity = SteadyClock::now();
    curl_off_t lastReceived = 0;
    std::string body;
    bool isOverLimit = false;
    bool isIdleTimeout = false;
};

std::size_t onBody(char* data, std::size_t size, std::size_t count, void* user) {
    auto& transfer = *static_cast<Transfer*>(user);
    const std::size_t length = size * count;
    transfer.lastActivity = SteadyClock::now();
    // Keep at most one byte past the limit: enough to know the body is too long, and an
    // oversized answer never fills memory.
    const std::size_t room = transfer.maxBodyBytes + 1 - transfer.body.size();
    transfer.body.append(data, std::min(length, room));
    if (transfer.body.size() > transfer.maxBodyBytes) {
        transfer.isOverLimit = true;
        return 0;  // anything short of `length` stops the transfer
    }
    return length;
}

int onProgress(void* user, curl_off_t, curl_off_t received, curl_off_t, curl_off_t sent) {
    auto& transfer = *static_cast<Transfer*>(user);
    if (transfer.session->isCancelled.load()) {
        return 1;
    }
    const auto now = SteadyClock::now();
    if (received + sent != transfer.lastReceived) {
        transfer.lastReceived = received + sent;
        transfer.lastActivity = now;
    }
    if (now - transfer.lastActivity > transfer.idleTimeout) {
        transfer.isIdleTimeout = true;
        return 1;
    }
    return 0;
}

long milliseconds(double seconds) {
    return static_cast<long>(std::clamp(seconds, 0.001, 86400.0) * 1000.0);
}

os::HttpResult perform(const SessionShared& session, const os::HttpRequest& request) {
    os::HttpResult result;
    const auto& configuration = session.configuration;
    std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> easy(curl_easy_init(), curl_easy_cleanup);
    if (!easy) {
        result.error = "could not create an HTTP transfer";
        return result;
    }
    curl_slist* headerList = nullptr;
    for (const auto& [name, value] : configuration.headers) {
        headerList = curl_slist_append(headerList, (name + ": " + value).c_str());
    }
    std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> headers(headerList,
                                                                        curl_slist_free_all);

    const double idle = std::min(configuration.requestTimeout, request.timeoutSeconds);
    const double whole = std::min(configuration.resourceTimeout, request.timeoutSeconds);
    Transfer transfer;
    transfer.session = &session;
    transfer.maxBodyBytes = request.maxBodyBytes;
    transfer.idleTimeout =
        std::chrono::duration_cast<SteadyClock::duration>(std::chrono::duration<double>(idle));

    char errorText[CURL_ERROR_SIZE] = {};
    CURL* handle = easy.get();
    const bool isHttps =
        request.url.size() >= 8 &&
        std::equal(request.url.begin(), request.url.begin() + 8, "https://",
                   [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) == b; });
    curl_easy_setopt(handle, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(handle, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, errorText);
    curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(handle, CURLOPT_MAXREDIRS, 10L);
    curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, isHttps ? "https" : "http,https");
    curl_easy_setopt(handle, CURLOPT_NETRC, static_cast<long>(CURL_NETRC_IGNORED));
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS, milliseconds(idle));
    curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, milliseconds(whole));
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, onBody);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, onProgress);
    curl_easy_setopt(handle, CURLOPT_XFERINFODATA, &transfer);

    const CURLcode code = curl_easy_perform(handle);
    if (code == CURLE_OK || (code == CURLE_WRITE_ERROR && transfer.isOverLimit)) {
        long status = 0;
        curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
        result.response.isHttp = status != 0;
        result.response.status = static_cast<int>(status);
        result.response.body = std::move(transfer.body);
        return result;
    }
    if (transfer.isIdleTimeout) {
        result.error = "The request timed out.";
    } else if (errorText[0] != '\0') {
        result.error = errorText;
    } else {
        result.error = curl_easy_strerror(code);
    }
    return result;
}

class CurlSession final : public os::HttpSession {
  public:
    explicit CurlSession(os::HttpClient::Configuration configuration)
        : shared_(std::make_shared<SessionShared>()),
          queue_(std::make_shared<runtime::SerialQueue>("noctave.http")) {
        shared_->configuration = std::move(configuration);
    }

    ~CurlSession() override {
        // Stop a transfer in progress at its next progress report instead of letting it run
        // to its timeout; then the queue drops what has not started and joins its worker.
        shared_->isCancelled = true;
        queue_.reset();
    }

    void get(os::HttpRequest request, Completion completion) override {
        queue_->async(
            [shared = shared_, request = std::move(request), completion = std::move(completion)] {
                if (shared->isCancelled) {
                    return;
                }
                os::HttpResult result = perform(*shared, request);
                if (!shared->isCancelled) {
                    completion(std::move(result));
                }
            });
    }

  private:
    std::shared_ptr<SessionShared> shared_;
    std::shared_ptr<runtime::SerialQueue> queue_;
};

}  // namespace

CurlHttpClient::CurlHttpClient() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

std::shared_ptr<os::HttpSession> CurlHttpClient::makeSession(Configuration configuration) {
    return std::make_shared<CurlSession>(std::move(configuration));
}

}  // namespace noctave::linuxos

#include "platform/linux/http/CurlHttpClient.hpp"

#include <curl/curl.h>
#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>

#include "core/runtime/SerialQueue.hpp"

namespace noctave::linuxos {

namespace {

using SteadyClock = std::chrono::steady_clock;

// libcurl, opened at the first transfer rather than linked: with it come TLS, Kerberos, LDAP and
// a dozen more libraries, some megabytes of resident memory that a program which fetches twice a
// day at most (or never, without a configured source) need not carry from its launch.
struct LibCurl {
    decltype(&curl_global_init) globalInit = nullptr;
    decltype(&curl_easy_init) easyInit = nullptr;
    decltype(&curl_easy_cleanup) easyCleanup = nullptr;
    decltype(&curl_easy_setopt) easySetopt = nullptr;
    decltype(&curl_easy_perform) easyPerform = nullptr;
    decltype(&curl_easy_getinfo) easyGetinfo = nullptr;
    decltype(&curl_easy_strerror) easyStrerror = nullptr;
    decltype(&curl_slist_append) slistAppend = nullptr;
    decltype(&curl_slist_free_all) slistFreeAll = nullptr;
    std::string error;  // why it could not be opened; empty when it was

    // Opened once for the process and never closed: libcurl keeps global state.
    static const LibCurl& get() {
        static const LibCurl library = open();
        return library;
    }

  private:
    static LibCurl open() {
        LibCurl curl;
        void* handle = nullptr;
        for (const char* name : {"libcurl.so.4", "libcurl-gnutls.so.4"}) {
            if ((handle = dlopen(name, RTLD_NOW | RTLD_LOCAL)) != nullptr) {
                break;
            }
        }
        if (handle == nullptr) {
            const char* why = dlerror();
            curl.error =
                "libcurl could not be loaded (" + std::string(why ? why : "libcurl.so.4") + ")";
            return curl;
        }
        const auto symbol = [&](auto& field, const char* name) {
            field = reinterpret_cast<std::remove_reference_t<decltype(field)>>(dlsym(handle, name));
            if (field == nullptr && curl.error.empty()) {
                curl.error = std::string("libcurl lacks ") + name;
            }
        };
        symbol(curl.globalInit, "curl_global_init");
        symbol(curl.easyInit, "curl_easy_init");
        symbol(curl.easyCleanup, "curl_easy_cleanup");
        symbol(curl.easySetopt, "curl_easy_setopt");
        symbol(curl.easyPerform, "curl_easy_perform");
        symbol(curl.easyGetinfo, "curl_easy_getinfo");
        symbol(curl.easyStrerror, "curl_easy_strerror");
        symbol(curl.slistAppend, "curl_slist_append");
        symbol(curl.slistFreeAll, "curl_slist_free_all");
        if (curl.error.empty()) {
            curl.globalInit(CURL_GLOBAL_DEFAULT);
        }
        return curl;
    }
};

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
    const LibCurl& curl = LibCurl::get();
    if (!curl.error.empty()) {
        result.error = curl.error;
        return result;
    }
    const auto& configuration = session.configuration;
    std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> easy(curl.easyInit(), curl.easyCleanup);
    if (!easy) {
        result.error = "could not create an HTTP transfer";
        return result;
    }
    curl_slist* headerList = nullptr;
    for (const auto& [name, value] : configuration.headers) {
        headerList = curl.slistAppend(headerList, (name + ": " + value).c_str());
    }
    std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> headers(headerList,
                                                                        curl.slistFreeAll);

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
    curl.easySetopt(handle, CURLOPT_URL, request.url.c_str());
    curl.easySetopt(handle, CURLOPT_HTTPGET, 1L);
    curl.easySetopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl.easySetopt(handle, CURLOPT_ERRORBUFFER, errorText);
    curl.easySetopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
    curl.easySetopt(handle, CURLOPT_FOLLOWLOCATION, 1L);
    curl.easySetopt(handle, CURLOPT_MAXREDIRS, 10L);
    curl.easySetopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, isHttps ? "https" : "http,https");
    curl.easySetopt(handle, CURLOPT_NETRC, static_cast<long>(CURL_NETRC_IGNORED));
    curl.easySetopt(handle, CURLOPT_HTTPHEADER, headers.get());
    curl.easySetopt(handle, CURLOPT_CONNECTTIMEOUT_MS, milliseconds(idle));
    curl.easySetopt(handle, CURLOPT_TIMEOUT_MS, milliseconds(whole));
    curl.easySetopt(handle, CURLOPT_WRITEFUNCTION, onBody);
    curl.easySetopt(handle, CURLOPT_WRITEDATA, &transfer);
    curl.easySetopt(handle, CURLOPT_NOPROGRESS, 0L);
    curl.easySetopt(handle, CURLOPT_XFERINFOFUNCTION, onProgress);
    curl.easySetopt(handle, CURLOPT_XFERINFODATA, &transfer);

    const CURLcode code = curl.easyPerform(handle);
    if (code == CURLE_OK || (code == CURLE_WRITE_ERROR && transfer.isOverLimit)) {
        long status = 0;
        curl.easyGetinfo(handle, CURLINFO_RESPONSE_CODE, &status);
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
        result.error = curl.easyStrerror(code);
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

CurlHttpClient::CurlHttpClient() = default;

std::shared_ptr<os::HttpSession> CurlHttpClient::makeSession(Configuration configuration) {
    return std::make_shared<CurlSession>(std::move(configuration));
}

}  // namespace noctave::linuxos

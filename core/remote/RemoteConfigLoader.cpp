#include "core/remote/RemoteConfigLoader.hpp"

#include <charconv>
#include <chrono>
#include <cstdint>
#include <vector>

#include "core/os/HttpClient.hpp"
#include "core/os/System.hpp"
#include "core/os/Vocabulary.hpp"
#include "core/runtime/Runtime.hpp"
#include "core/support/AppInfo.hpp"
#include "core/support/Log.hpp"
#include "core/support/UserDefaults.hpp"
#include "core/text/Url.hpp"

namespace noctave {

struct RemoteConfigLoader::State {
    UserDefaults& defaults;
    runtime::WeakPtr<RemoteConfigLoader> owner;
};

namespace {

// An update feed worth storing: an https address that names a host.
bool isAcceptableFeed(const std::string& text) {
    const auto url = Url::parse(text);
    return url && url->scheme == "https" && url->hasAuthority && !url->host.empty();
}

std::vector<int64_t> versionNumbers(std::string_view version) {
    std::vector<int64_t> numbers;
    std::size_t start = 0;
    while (start <= version.size()) {
        const std::size_t end = version.find_first_of(".-", start);
        std::string_view piece = version.substr(
            start, end == std::string_view::npos ? std::string_view::npos : end - start);
        start = end == std::string_view::npos ? version.size() + 1 : end + 1;
        if (piece.starts_with('+')) {
            piece.remove_prefix(1);
            if (piece.empty() || piece.front() == '-') {
                continue;
            }
        }
        int64_t value = 0;
        const auto [last, error] =
            std::from_chars(piece.data(), piece.data() + piece.size(), value);
        if (!piece.empty() && error == std::errc() && last == piece.data() + piece.size()) {
            numbers.push_back(value);
        }
    }
    return numbers;
}

}  // namespace

RemoteConfigLoader::RemoteConfigLoader()
    : state_(std::make_shared<State>(State{UserDefaults::standard(), {}})) {
    state_->owner = weakFactory_.weak();
    if (const auto& client = os::system().httpClient) {
        os::HttpClient::Configuration configuration;
        configuration.requestTimeout = 10;
        configuration.resourceTimeout = 20;
        configuration.headers = {{"Accept", "application/json"},
                                 {"User-Agent", "Noctave/" + AppInfo::shortVersion() + " (" +
                                                    os::vocabulary().operatingSystem() + ")"}};
        session_ = client->makeSession(std::move(configuration));
    }
}

RemoteConfigLoader::~RemoteConfigLoader() = default;

void RemoteConfigLoader::refresh(bool force) {
    const auto endpoint = AppInfo::configURL();
    if (!endpoint || !Url::parse(*endpoint) || !session_) {
        return;
    }
    // A missing date counts as the distant past; a date in the future (the clock was set back
    // since) must not hold fetches off until the clock catches up with it.
    const auto lastFetch = state_->defaults.dateForKey(lastFetchKey);
    const runtime::WallTime now = runtime::clock().wall();
    const auto interval = std::chrono::duration_cast<runtime::WallTime::duration>(
        std::chrono::duration<double>(minInterval));
    if (!force && lastFetch && *lastFetch <= now && *lastFetch > now - interval) {
        return;
    }
    os::HttpRequest request;
    request.url = *endpoint;
    request.timeoutSeconds = requestTimeout;
    request.maxBodyBytes = maxDocumentBytes;
    session_->get(std::move(request),
                  [weak = std::weak_ptr<State>(state_)](const os::HttpResult& result) {
                      if (const auto state = weak.lock()) {
                          complete(state, result);
                      }
                  });
}

void RemoteConfigLoader::complete(const std::shared_ptr<State>& state,
                                  const os::HttpResult& result) {
    if (result.error) {
        Log::debug([&] { return "remote config unavailable: " + *result.error; });
        return;
    }
    const os::HttpResponse& response = result.response;
    if (!response.isHttp || response.status != 200 || !response.hasBody()) {
        Log::debug("remote config returned no usable document");
        return;
    }
    if (response.body.size() > maxDocumentBytes) {
        Log::warn("remote config was implausibly large; ignoring it");
        return;
    }
    const auto config = RemoteConfig::decode(response.body);
    if (!config) {
        Log::warn("remote config could not be parsed; ignoring it");
        return;
    }
    state->defaults.set(lastFetchKey, runtime::clock().wall());
    apply(*state, *config);
}

void RemoteConfigLoader::apply(const State& state, const RemoteConfig& config) {
    if (config.feedURL && isAcceptableFeed(*config.feedURL)) {
        state.defaults.set(cachedFeedKey, *config.feedURL);
    }
    if (config.minimumVersion &&
        compare(AppInfo::shortVersion(), *config.minimumVersion) == Order::ascending) {
        runtime::mainQueue().async([owner = state.owner, version = *config.minimumVersion] {
            if (RemoteConfigLoader* self = owner.get(); self && self->onOutdated) {
                self->onOutdated(version);
            }
        });
    }
    if (config.notice) {
        const RemoteConfig::Notice& notice = *config.notice;
        if (state.defaults.stringForKey(seenNoticeKey) == notice.id) {
            return;
        }
        // Remember the id before offering it, so the notice is offered once even when the
        // user never gets to see it.
        state.defaults.set(seenNoticeKey, notice.id);
        runtime::mainQueue().async([owner = state.owner, notice] {
            if (RemoteConfigLoader* self = owner.get(); self && self->onNotice) {
                self->onNotice(notice);
            }
        });
    }
}

std::optional<std::string> RemoteConfigLoader::effectiveFeedURL() const {
    if (const auto cached = state_->defaults.stringForKey(cachedFeedKey);
        cached && isAcceptableFeed(*cached)) {
        return cached;
    }
    if (const auto feed = AppInfo::feedURL(); feed && Url::parse(*feed)) {
        return feed;
    }
    return std::nullopt;
}

RemoteConfigLoader::Order RemoteConfigLoader::compare(std::string_view a, std::string_view b) {
    const std::vector<int64_t> left = versionNumbers(a);
    const std::vector<int64_t> right = versionNumbers(b);
    const std::size_t length = std::max(left.size(), right.size());
    for (std::size_t i = 0; i < length; ++i) {
        const int64_t x = i < left.size() ? left[i] : 0;
        const int64_t y = i < right.size() ? right[i] : 0;
        if (x != y) {
            return x < y ? Order::ascending : Order::descending;
        }
    }
    return Order::same;
}

}  // namespace noctave

#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/remote/RemoteConfig.hpp"
#include "core/runtime/WeakPtr.hpp"

namespace noctave {

class UserDefaults;
namespace os {
class HttpSession;
struct HttpResult;
}  // namespace os

// Fetches the remote configuration document at most every six hours, checks and caches it, and
// applies it: a replacement update feed, an outdated-build report and a one-time notice.
//
// Lives on the main queue: construct it, set the callbacks and call refresh() there. Fetches
// complete on the HTTP session's own queue, where the document is checked and applied; the
// callbacks are then posted to the main queue and do nothing once the loader is gone.
// Without a configured endpoint or without an HTTP client on this system, it never fetches.
class RemoteConfigLoader {
  public:
    enum class Order { ascending, same, descending };

    std::function<void(const RemoteConfig::Notice&)> onNotice;
    // Called with the minimum version string when this build is older than it.
    std::function<void(const std::string&)> onOutdated;

    static constexpr std::string_view seenNoticeKey = "remoteNoticeSeen";
    static constexpr std::string_view lastFetchKey = "remoteConfigFetchedAt";
    static constexpr std::string_view cachedFeedKey = "remoteFeedURL";
    static constexpr double minInterval = 21600;  // six hours
    static constexpr double requestTimeout = 60;
    static constexpr std::size_t maxDocumentBytes = 65536;

    // Uses the standard defaults store and a session of os::system().httpClient.
    RemoteConfigLoader();
    ~RemoteConfigLoader();
    RemoteConfigLoader(const RemoteConfigLoader&) = delete;
    RemoteConfigLoader& operator=(const RemoteConfigLoader&) = delete;

    // Starts a fetch when one is due (always when `force`); returns at once.
    void refresh(bool force);

    // The update feed to use now: the cached replacement when it is a valid https address,
    // else the build's own feed, else no value.
    std::optional<std::string> effectiveFeedURL() const;

    // Compares dotted versions numerically ("1.9" < "1.10", "1.2" == "1.2.0"); pieces that are
    // not whole numbers ("beta", "rc1") are left out rather than read as 0.
    static Order compare(std::string_view a, std::string_view b);

  private:
    struct State;
    static void complete(const std::shared_ptr<State>& state, const os::HttpResult& result);
    static void apply(const State& state, const RemoteConfig& config);

    // What completions need, shared with them so that a completion running on the HTTP queue
    // while the loader is destroyed on the main queue still has valid data.
    std::shared_ptr<State> state_;
    std::shared_ptr<os::HttpSession> session_;
    runtime::WeakFactory<RemoteConfigLoader> weakFactory_{this};
};

}  // namespace noctave

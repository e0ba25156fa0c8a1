#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "app/integration/Updater.hpp"
#include "app/tray/Alerts.hpp"
#include "core/runtime/Timer.hpp"
#include "core/runtime/WeakPtr.hpp"

namespace noctave::os {
class HttpClient;
class HttpSession;
struct HttpResult;
}  // namespace noctave::os

namespace noctave::app {

// The updater of a build that is installed by a package manager: it reads the appcast (an RSS
// feed whose items carry the versions), and when the newest item is newer than this build it
// tells the user, who installs it the way they installed the program. It never downloads or
// installs anything itself, so it never reaches the delegate's updaterWillInstallUpdate, and it
// never sends a system profile.
//
// Background checks run every `interval` while automatic checks are on, timed from the last
// check of any run ("lastUpdateCheck" in the user's defaults), and report only a newer version,
// once per version and run. A check the user asks for always reports its outcome.
class AppcastUpdater final : public Updater {
  public:
    static constexpr std::string_view lastCheckKey = "lastUpdateCheck";
    static constexpr std::size_t maxAppcastBytes = 1 << 20;

    // `http`: the installed system's client when not given; without one every check fails.
    // `present`: how the user is told; Alerts::run when not given.
    AppcastUpdater(Delegate& delegate, std::shared_ptr<os::HttpClient> http = nullptr,
                   std::function<int(const Alert&)> present = nullptr);
    ~AppcastUpdater() override;
    AppcastUpdater(const AppcastUpdater&) = delete;
    AppcastUpdater& operator=(const AppcastUpdater&) = delete;

    void setSendsSystemProfile(bool /*sends*/) override {}
    bool automaticallyChecksForUpdates() const override { return isAutomatic_; }
    void setAutomaticallyChecksForUpdates(bool checks) override;
    void setAutomaticallyDownloadsUpdates(bool /*downloads*/) override {}
    void setUpdateCheckInterval(double seconds) override;
    void checkForUpdates() override;
    bool isChecking() const override { return isChecking_; }

    // The display version of the appcast's newest item (short version string, else version),
    // or nothing when the document holds no versioned item or is not a feed.
    static std::optional<std::string> newestVersion(std::string_view appcast);

  private:
    void schedule();
    void check(bool userInitiated);
    void finish(bool userInitiated, const os::HttpResult& result);
    void report(const std::optional<std::string>& error, bool userInitiated);

    Delegate& delegate_;
    std::shared_ptr<os::HttpSession> session_;
    std::function<int(const Alert&)> present_;
    bool isAutomatic_ = false;
    double interval_ = 86400;
    bool isChecking_ = false;
    bool userWaiting_ = false;  // the user asked while a background check ran
    std::string announced_;     // the newest version already shown by a background check
    std::unique_ptr<runtime::Timer> timer_;
    runtime::WeakFactory<AppcastUpdater> weakFactory_{this};
};

}  // namespace noctave::app

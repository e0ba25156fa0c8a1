#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/integration/UpdateAdapter.hpp"
#include "app/integration/Updater.hpp"
#include "app/tray/Alerts.hpp"

namespace noctave::app {

// Decides once whether this build can update itself (a usable feed address and signing key
// were built in) and, when it can, starts the updater with the program's policy: daily
// background checks while "automaticUpdates" is on, no automatic download, no system profile,
// no permission prompt. It answers the updater's questions and calls willInstallUpdate before
// anything is installed. Main thread only.
class UpdateController final : public UpdateAdapter, private Updater::Delegate {
  public:
    using FeedProvider = std::function<std::optional<std::string>()>;
    using UpdaterFactory = std::function<std::unique_ptr<Updater>(Updater::Delegate&)>;

    static constexpr double checkInterval = 86400;

    // `effectiveFeedURL`: the feed to use at each check (the remote configuration's).
    // `makeUpdater`: the update framework; the appcast updater when not given.
    // `present`: how alerts are shown (also the appcast updater's); Alerts::run when not given.
    explicit UpdateController(FeedProvider effectiveFeedURL, UpdaterFactory makeUpdater = nullptr,
                              std::function<int(const Alert&)> present = nullptr);
    ~UpdateController() override;
    UpdateController(const UpdateController&) = delete;
    UpdateController& operator=(const UpdateController&) = delete;

    // Whether the build holds a feed that parses as an address and a signing key, by the
    // rule for build-time settings (non-empty, not "REPLACE_ME...").
    static bool isBuildConfigured();

    bool isConfigured() const override { return isConfigured_; }
    bool hasUpdater() const override { return controller_ != nullptr; }
    void checkForUpdates() override;
    void explainMissingFeed() override;
    bool isChecking() const override { return controller_ && controller_->isChecking(); }
    void setAutomaticallyChecksForUpdates(bool checks) override;

    // The running updater, for the settings window's automatic-updates switch; null when the
    // build cannot update itself.
    Updater* updater() { return controller_.get(); }

  private:
    std::optional<std::string> feedURLString() override;
    std::vector<std::string> allowedSystemProfileKeys() override { return {}; }
    bool shouldPromptForPermissionToCheckForUpdates() override { return false; }
    void didFinishUpdateCycle(const std::optional<std::string>& error) override;
    void updaterWillInstallUpdate(const std::string& displayVersion) override;

    std::unique_ptr<Updater> controller_;
    FeedProvider config_;
    bool isConfigured_ = false;
    std::function<int(const Alert&)> present_;
};

}  // namespace noctave::app

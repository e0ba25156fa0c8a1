#include "app/integration/UpdateController.hpp"

#include <utility>

#include "app/integration/AppcastUpdater.hpp"
#include "core/os/Vocabulary.hpp"
#include "core/support/AppInfo.hpp"
#include "core/support/Log.hpp"
#include "core/support/Prefs.hpp"
#include "core/text/Url.hpp"

namespace noctave::app {

bool UpdateController::isBuildConfigured() {
    const auto feed = AppInfo::feedURL();
    if (!feed || !AppInfo::publicEDKey()) {
        return false;
    }
    const auto url = Url::parse(*feed);
    return url && !url->scheme.empty();
}

UpdateController::UpdateController(FeedProvider effectiveFeedURL, UpdaterFactory makeUpdater,
                                   std::function<int(const Alert&)> present)
    : config_(std::move(effectiveFeedURL)), present_(std::move(present)) {
    if (!present_) {
        present_ = [](const Alert& alert) { return Alerts::run(alert); };
    }
    isConfigured_ = isBuildConfigured();
    if (!isConfigured_) {
        Log::info("no update feed configured in this build");
        return;
    }
    if (!makeUpdater) {
        // The updater's own messages go the same way as ours.
        makeUpdater = [this](Updater::Delegate& delegate) {
            return std::make_unique<AppcastUpdater>(delegate, nullptr, present_);
        };
    }
    controller_ = makeUpdater(*this);
    controller_->setSendsSystemProfile(false);
    controller_->setAutomaticallyChecksForUpdates(Prefs::automaticUpdates());
    controller_->setAutomaticallyDownloadsUpdates(false);
    controller_->setUpdateCheckInterval(checkInterval);
    const auto feed = config_ ? config_() : std::nullopt;
    Log::info("updater ready (feed " + feed.value_or(" - ") + ")");
}

UpdateController::~UpdateController() = default;

void UpdateController::checkForUpdates() {
    if (controller_) {
        controller_->checkForUpdates();
    }
}

void UpdateController::setAutomaticallyChecksForUpdates(bool checks) {
    if (controller_) {
        controller_->setAutomaticallyChecksForUpdates(checks);
    }
}

void UpdateController::explainMissingFeed() {
    Alert alert;
    alert.message = QStringLiteral("This build has no update source");
    alert.informativeText = QString::fromStdString(
        "Noctave " + AppInfo::shortVersion() +
        " was built without an update feed, which is normal for a build you compiled yourself. " +
        os::vocabulary().updatesArrive());
    alert.style = Alert::Style::informational;
    alert.buttons = {QStringLiteral("OK")};
    alert.activatesApplication = true;
    present_(alert);
}

std::optional<std::string> UpdateController::feedURLString() {
    return config_ ? config_() : std::nullopt;
}

void UpdateController::didFinishUpdateCycle(const std::optional<std::string>& error) {
    if (error) {
        Log::debug([&] { return "update check ended: " + *error; });
    }
}

void UpdateController::updaterWillInstallUpdate(const std::string& displayVersion) {
    Log::info("installing update " + displayVersion);
    if (willInstallUpdate) {
        willInstallUpdate();
    }
}

}  // namespace noctave::app

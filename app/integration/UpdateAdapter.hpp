#pragma once

#include <functional>

namespace noctave::app {

// What the shell needs from the update adapter: whether this build can update itself, a
// user-initiated check, the explanation when it cannot, and the call made just before an
// update replaces the program (the delegate shuts the session down there).
class UpdateAdapter {
  public:
    virtual ~UpdateAdapter() = default;

    // Whether the build has an update feed and key; never changes after construction.
    virtual bool isConfigured() const = 0;
    // Whether an updater is running (only possible when configured).
    virtual bool hasUpdater() const = 0;
    // A check with the updater's own interface; only called when hasUpdater().
    virtual void checkForUpdates() = 0;
    // Tells the user that no update source is configured.
    virtual void explainMissingFeed() = 0;
    // Whether a check is under way; the menu says so until it is answered.
    virtual bool isChecking() const { return false; }
    // Turns the updater's background checks on or off; nothing without an updater.
    virtual void setAutomaticallyChecksForUpdates(bool checks) { (void)checks; }

    std::function<void()> willInstallUpdate;
};

}  // namespace noctave::app

#pragma once

#include <optional>
#include <string>
#include <vector>

namespace noctave::app {

// The update framework as the update adapter sees it: an updater that runs its own checks and
// user interface and asks its delegate the program's policy. Main thread only.
class Updater {
  public:
    // The questions the updater asks, and the one event it reports before installing.
    class Delegate {
      public:
        virtual ~Delegate() = default;
        // The feed to read at this check; none: the build's own feed.
        virtual std::optional<std::string> feedURLString() = 0;
        virtual std::vector<std::string> allowedSystemProfileKeys() = 0;
        virtual bool shouldPromptForPermissionToCheckForUpdates() = 0;
        // A check ended; `error` describes why it failed.
        virtual void didFinishUpdateCycle(const std::optional<std::string>& error) = 0;
        // Called before anything is replaced; the program must be ready to go when it returns.
        virtual void updaterWillInstallUpdate(const std::string& displayVersion) = 0;
    };

    virtual ~Updater() = default;

    virtual void setSendsSystemProfile(bool sends) = 0;
    virtual bool automaticallyChecksForUpdates() const = 0;
    virtual void setAutomaticallyChecksForUpdates(bool checks) = 0;
    virtual void setAutomaticallyDownloadsUpdates(bool downloads) = 0;
    virtual void setUpdateCheckInterval(double seconds) = 0;

    // A check the user asked for; the updater shows its own progress and result.
    virtual void checkForUpdates() = 0;
    // Whether a check (the user's or a scheduled one) is waiting for the feed.
    virtual bool isChecking() const { return false; }
};

}  // namespace noctave::app

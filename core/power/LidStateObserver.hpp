#pragma once

#include <functional>
#include <memory>
#include <string_view>

#include "core/os/PowerManagement.hpp"

namespace noctave::runtime {
class Queue;
}

namespace noctave {

// Tells whether the lid is open or closed, by reading the root power domain's clamshell
// property on demand and, once started, on every general-interest message of the domain.
//
// Reports (onChange) arrive on the observer's own serial queue "noctave.lid-state", never on
// the main thread; one per message, often equal to the previous one (the subscriber dedups).
// currentState() may be called from any thread; start/stop from the owner's thread.
class LidStateObserver {
  public:
    enum class LidState { open, closed, unknown };

    // "open", "closed", "unknown".
    static std::string_view caseName(LidState state);

    // Null when the machine has no root power domain. Notifications are not started.
    static std::unique_ptr<LidStateObserver> create();

    ~LidStateObserver();
    LidStateObserver(const LidStateObserver&) = delete;
    LidStateObserver& operator=(const LidStateObserver&) = delete;

    // Read now, never cached; unknown once stopped or when the property is missing or odd.
    LidState currentState() const;

    // False when already started, stopped, or the notification could not be set up.
    bool start();

    // Releases the registration, the port and the service; idempotent and final.
    void stop();

    std::function<void(LidState)> onChange;

    const runtime::Queue& queue() const { return *queue_; }

  private:
    LidStateObserver(std::shared_ptr<os::PowerManagement> power, os::IoObject service);
    void handleInterest();

    os::IoObject service_ = 0;
    os::IoNotificationPort notificationPort_ = 0;
    os::IoObject notification_ = 0;
    std::shared_ptr<runtime::Queue> queue_;
    std::shared_ptr<os::PowerManagement> power_;
};

}  // namespace noctave

#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/linux/bus/DBusConnection.hpp"
#include "platform/linux/lid/LidGuardian.hpp"
#include "platform/linux/lid/LidOwners.hpp"

namespace noctave::linuxos::lid {

// The lid-close flag on Linux, whole:
// - a "handle-lid-switch" block inhibitor from logind, one for the process (like the kernel
//   bit it stands for): set takes it, clear closes its fd, and the kernel drops it when the
//   process dies. Nothing but this process can release it while logind keeps it, so it needs
//   no heartbeat: its watchers hear instead when logind's name changes owner (it left or
//   restarted, taking the inhibitor with it) and when the bus connection is made anew;
// - where a desktop's power manager acts on the lid itself (PowerDevil, xfce4-power-manager,
//   mate-power-manager, csd-power), set also stands that daemon down: its lid action is
//   recorded and set to nothing, a guardian process restores it should we die, clear restores
//   it, and a record left by a dead process is restored at construction. Something else
//   holding the lid makes set fail, with failure() naming it.
class LidHold {
  public:
    // `onLoss` runs when the inhibitor may have been lost (logind or the bus went);
    // `logOnce` logs an error once per distinct text.
    LidHold(std::shared_ptr<DBusConnection> systemBus, std::shared_ptr<DBusConnection> sessionBus,
            std::function<void()> onLoss, std::function<void(const std::string&)> logOnce);
    ~LidHold();
    LidHold(const LidHold&) = delete;
    LidHold& operator=(const LidHold&) = delete;

    // Sets or clears the flag: 0, or a positive errno (EBUSY: the desktop would not stand
    // down; EIO: a clear could not put its settings back).
    int set(bool on);
    // Why the last set failed in a way the user can act on; empty after a success.
    std::string failure() const;

    // Whether the inhibitor is held by this process now.
    static bool isInhibitorHeld();
    // Closes the inhibitor; only an exchange and a close, so a signal handler may call it.
    static void clearFromSignal() noexcept;

    // Who decides what a lid close does now.
    LidOwnership ownership();
    // "lid-close owner" and "lid-close mechanism": who acts on a lid close now, and how
    // Noctave holds it there.
    void describe(std::map<std::string, std::string>& properties);
    // Whether a lid close stops the machine (suspend, hibernate, power off...), given who
    // acts on it; absent when that cannot be told. `onBattery` is asked only when logind's
    // own action decides.
    std::optional<bool> lidActionStopsMachine(
        const std::function<std::optional<bool>()>& onBattery);

  private:
    bool standDownOwner();
    bool restoreOwner();

    std::shared_ptr<DBusConnection> system_;
    std::shared_ptr<DBusConnection> session_;
    std::function<void()> onLoss_;
    std::function<void(const std::string&)> logOnce_;
    OwnerFactory makeOwner_;
    uint64_t ownerWatch_ = 0;
    uint64_t reconnectWatch_ = 0;

    std::mutex mutex_;                       // serialises set, clear and the stand-down
    uint64_t generation_ = 0;                // the bus connection the inhibitor came on
    std::string lastInhibitFailure_;         // guarded by mutex_
    bool isOwnerStoodDown_ = false;          // guarded by mutex_
    std::unique_ptr<LidGuardian> guardian_;  // guarded by mutex_
    mutable std::mutex failureMutex_;
    std::string failure_;  // guarded by failureMutex_
};

}  // namespace noctave::linuxos::lid

#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

#include "core/os/DisplayIdle.hpp"
#include "core/os/SessionLockFacility.hpp"

namespace noctave::os {
struct System;
}

namespace noctave::sim {

class SimChangeNotifier;
class SimPower;

// What the virtual laptop's user sees of it: the built-in panel, darkened at once by the
// window server's instant display sleep, and the login session's lock screen. It fills the
// DisplayIdle and SessionLockFacility ports of the laptop's os::System and offers knobs and
// recorded outputs to tests.
//
// The panel stays dark from the last instant display sleep until the power hardware lights it
// again (the lid opens or the machine wakes); the session stays locked until someone unlocks it.
// Knobs may be called from any thread; they never call back inline.
class SimScreen : public std::enable_shared_from_this<SimScreen> {
  public:
    // `changes` hears of every change to the lock or the panel.
    static std::shared_ptr<SimScreen> make(std::shared_ptr<SimChangeNotifier> changes);
    ~SimScreen();
    SimScreen(const SimScreen&) = delete;
    SimScreen& operator=(const SimScreen&) = delete;

    // Fills the screen's ports of `system` and follows `power`, which must be installed.
    void install(os::System& system, SimPower& power);

    // How a system library looks: loadable with its function, loadable without it, or absent.
    enum class Library { present, missing, symbolMissing };

    // ---- instant display sleep ----
    void setDisplayIdleLibrary(Library library);
    void setDisplayIdleStatus(int32_t status);  // what the instant function returns; 0 darkens
    int instantIdleCalls() const;
    bool isPanelBlank() const;

    // ---- session lock ----
    void setSessionLockLibrary(Library library);
    int sessionLocks() const;
    // Locked since the last lock until someone unlocks it.
    bool isSessionLocked() const;
    void unlockSession();
    int openLockLibraries() const;

  private:
    class DisplayIdlePort;
    class SessionLockPort;

    explicit SimScreen(std::shared_ptr<SimChangeNotifier> changes);

    void lightPanel();

    const std::shared_ptr<SimChangeNotifier> changes_;

    // Everything below is guarded by mutex_.
    mutable std::mutex mutex_;
    Library idleLibrary_ = Library::present;
    int32_t idleStatus_ = 0;
    int instantIdleCalls_ = 0;
    bool panelBlank_ = false;
    Library lockLibrary_ = Library::present;
    int sessionLocks_ = 0;
    bool sessionLocked_ = false;
    uint64_t nextLibrary_ = 1;
    std::map<uint64_t, bool> openLockLibraries_;
};

}  // namespace noctave::sim

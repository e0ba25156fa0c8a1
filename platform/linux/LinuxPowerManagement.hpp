#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "core/os/PowerManagement.hpp"
#include "platform/linux/LidSwitch.hpp"
#include "platform/linux/MachineRoots.hpp"
#include "platform/linux/bus/DBusConnection.hpp"
#include "platform/linux/desktops/LidGuardian.hpp"
#include "platform/linux/desktops/LidOwners.hpp"

namespace noctave::linuxos {

// The power manager on Linux is systemd-logind:
// - the root power domain exists when logind is on the system bus; a connection is a logind
//   that answers;
// - the lid-close flag is a "handle-lid-switch" block inhibitor, one for the process (like the
//   kernel bit it stands for): set takes it, clear closes its fd, and the kernel drops it
//   when the process dies;
// - "PreventSystemSleep" is a "sleep" block inhibitor, "PreventUserIdleSystemSleep" an "idle"
//   one plus the desktop's own idle-suspend inhibition on the session bus where offered, and
//   each also the session bus's common inhibitions where served (IdleInhibitors);
// - the clamshell properties come from LidSwitch and logind's lid settings, and the
//   general-interest notifications from the lid source and logind's signals;
// - nothing but this process can release the lid inhibitor while logind keeps it, so the flag
//   needs no heartbeat: its watchers hear instead when logind's name changes owner (it left or
//   restarted, taking the inhibitor with it) and when the bus connection is made anew;
// - where a desktop's power manager acts on the lid itself (PowerDevil, xfce4-power-manager,
//   mate-power-manager, csd-power), the flag also stands that daemon down: its lid action is
//   recorded and set to nothing, a guardian process restores it should we die, clearing the
//   flag restores it, and a record left by a dead process is restored at the next start.
//   Something else holding the lid makes setting the flag fail, with lidFlagFailure() naming it.
//
// Failures return positive errno values as their codes and are logged at error level once
// per distinct cause, so the diagnostic log says what Linux refused.
class LinuxPowerManagement final : public os::PowerManagement {
  public:
    LinuxPowerManagement(MachineRoots roots, std::shared_ptr<DBusConnection> systemBus,
                         std::shared_ptr<DBusConnection> sessionBus);
    ~LinuxPowerManagement() override;

    os::IoObject matchingService(const std::string& className) override;
    os::IoReturn openService(os::IoObject service, uint32_t type,
                             os::IoConnection* connection) override;
    os::IoReturn callScalarMethod(os::IoConnection connection, uint32_t selector,
                                  uint64_t input) override;
    os::IoReturn closeService(os::IoConnection connection) override;
    std::string rootDomainFailure() const override;
    os::IoReturn releaseObject(os::IoObject object) override;
    std::optional<os::PropertyValue> registryProperty(os::IoObject service,
                                                      const std::string& name) override;
    std::optional<std::map<std::string, std::string>> registryProperties(
        os::IoObject service) override;
    SignalSafeScalarMethod signalSafeScalarMethod() const override;
    FlagLossWatch watchFlagLoss(std::function<void()> onLoss) override;
    void unwatchFlagLoss(FlagLossWatch watch) override;

    os::IoNotificationPort createNotificationPort() override;
    void setNotificationPortQueue(os::IoNotificationPort port,
                                  std::shared_ptr<runtime::Queue> queue) override;
    os::IoReturn addInterestNotification(os::IoNotificationPort port, os::IoObject service,
                                         const std::string& interestType, InterestHandler handler,
                                         os::IoObject* registration) override;
    void destroyNotificationPort(os::IoNotificationPort port) override;

    os::IoReturn createAssertion(const std::string& type, uint32_t level, const std::string& name,
                                 os::AssertionId* id) override;
    os::IoReturn releaseAssertion(os::AssertionId id) override;

    // Whether the lid inhibitor is held by this process now (for diagnostics and tests).
    static bool isLidInhibitorHeld();
    // What a held keep-awake assertion took ("logind idle, portal Inhibit, ..."), or "none held".
    std::string keepAwakeInhibitions();

    // logind's configured reaction to closing the lid, given the machine's state: whether it
    // would stop the machine (suspend, hibernate, power off...). Absent when logind cannot say.
    std::optional<bool> lidActionStopsMachine();

    LidSwitch& lidSwitch() { return *lid_; }

    // Who decides what a lid close does now (for the self-test and --diagnose).
    desktops::LidOwnership lidOwnership();
    std::string lidFlagFailure() const override;

    static constexpr os::IoObject kRootDomain = 1;

  private:
    struct Registration;
    struct Assertion;

    void logOnce(const std::string& message);
    // Keeps the text for rootDomainFailure() and logs it once; empty after a success.
    void setRootDomainFailure(const std::string& cause);
    void notifyFlagLoss();
    void dropLidInhibitor();
    int inhibit(const std::string& what, const std::string& why, CallStatus& status);
    std::optional<bool> onBattery();
    // One property of logind's Manager, or no value when logind does not answer.
    std::optional<std::string> loginString(const char* name);
    std::optional<bool> loginBool(const char* name);

    MachineRoots roots_;
    std::shared_ptr<DBusConnection> system_;
    std::shared_ptr<DBusConnection> session_;
    std::unique_ptr<LidSwitch> lid_;

    mutable std::mutex mutex_;
    std::set<os::IoConnection> connections_;
    os::IoConnection nextConnection_ = 1;
    std::map<os::IoNotificationPort, std::shared_ptr<runtime::Queue>> ports_;
    os::IoNotificationPort nextPort_ = 1;
    std::map<os::IoObject, std::shared_ptr<Registration>> registrations_;
    os::IoObject nextRegistration_ = 0x100;
    std::map<os::AssertionId, std::shared_ptr<Assertion>> assertions_;
    os::AssertionId nextAssertion_ = 1;
    std::set<std::string> logged_;
    std::string rootDomainFailure_;
    uint64_t lidInhibitorGeneration_ = 0;
    uint64_t ownerWatch_ = 0;
    uint64_t reconnectWatch_ = 0;

    std::mutex lossMutex_;  // held while loss watchers run, so unwatching waits for them
    std::map<FlagLossWatch, std::function<void()>> lossWatchers_;
    FlagLossWatch nextLossWatch_ = 1;

    // "lid-close owner" and "lid-close mechanism": who acts on a lid close now, and how
    // Noctave holds it there.
    void describeLidOwner(std::map<std::string, std::string>& properties);
    // Stands the lid's desktop owner down, when there is one; false with lidHoldFailure_ set.
    bool standDownLidOwner();
    // Puts back the owner's settings recorded by this process (and any dead process's).
    bool restoreLidOwner();
    std::unique_ptr<desktops::LidOwner> makeOwner(const std::string& program,
                                                  const std::string& location);

    std::mutex lidMutex_;                              // serialises taking the lid inhibitor
    std::string lastLidFailure_;                       // guarded by lidMutex_
    bool isOwnerStoodDown_ = false;                    // guarded by lidMutex_
    std::unique_ptr<desktops::LidGuardian> guardian_;  // guarded by lidMutex_
    mutable std::mutex failureMutex_;
    std::string lidHoldFailure_;  // guarded by failureMutex_
};

}  // namespace noctave::linuxos

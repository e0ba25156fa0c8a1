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
#include "platform/linux/lid/LidHold.hpp"

namespace noctave::linuxos {

// The power manager on Linux is systemd-logind:
// - the root power domain exists when logind is on the system bus; a connection is a logind
//   that answers;
// - the lid-close flag is lid::LidHold: logind's "handle-lid-switch" inhibitor and the stand-down
//   of a desktop's power manager that acts on the lid itself;
// - "PreventSystemSleep" is a "sleep" block inhibitor, "PreventUserIdleSystemSleep" an "idle"
//   one plus the desktop's own idle-suspend inhibition on the session bus where offered, and
//   each also the session bus's common inhibitions where served (IdleInhibitors);
// - the clamshell properties come from LidSwitch, logind's lid settings and the lid's owner,
//   and the general-interest notifications from the lid source and logind's signals.
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
    lid::LidOwnership lidOwnership();
    std::string lidFlagFailure() const override;

    static constexpr os::IoObject kRootDomain = 1;

  private:
    struct Registration;
    struct Assertion;

    void logOnce(const std::string& message);
    // Keeps the text for rootDomainFailure() and logs it once; empty after a success.
    void setRootDomainFailure(const std::string& cause);
    void notifyFlagLoss();
    std::optional<bool> onBattery();

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

    std::mutex lossMutex_;  // held while loss watchers run, so unwatching waits for them
    std::map<FlagLossWatch, std::function<void()>> lossWatchers_;
    FlagLossWatch nextLossWatch_ = 1;

    // Last: its bus watches call into the members above until it is gone.
    std::unique_ptr<lid::LidHold> hold_;
};

}  // namespace noctave::linuxos

#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/os/Displays.hpp"
#include "core/os/PowerManagement.hpp"
#include "core/os/PowerSources.hpp"
#include "core/os/Workspace.hpp"
#include "platform/sim/SimKernel.hpp"

namespace noctave::runtime {
class Queue;
}

namespace noctave::os {
struct System;
}

namespace noctave::sim {

class SimChangeNotifier;
class SimKeys;

// The virtual laptop's power and display hardware, and the habits of the system's power daemon
// around them: the root power domain with its lid-close bit, power assertions, the lid, power
// sources, displays and the workspace notifications. It fills the matching ports of the
// laptop's os::System and offers knobs and recorded outputs to tests. What the panel shows and
// the session lock are SimScreen's; this machine only tells it when the panel lights.
//
// How the machine decides to sleep:
//  - closing the lid sleeps it at once unless the lid-close bit is set, or it runs on AC and
//    either an external display is attached (clamshell mode) or a "PreventSystemSleep"
//    assertion is held;
//  - the power daemon clears the bit whenever an external display goes away from a closed lid,
//    and any clear of the bit while the lid is closed asks for sleep after sleepRequestDelay()
//    seconds; the request is dropped if by then the bit is set again or the rule above keeps
//    the machine awake (a "PreventSystemSleep" assertion only counts on AC);
//  - opening the lid wakes a sleeping machine (workspace did-wake and screens-did-wake).
//
// Reports are delivered where the ports promise: interest messages on the observer's queue,
// power-source changes on the main queue, display reconfigurations on a queue of their own
// ("sim.display-reconfiguration", never the main one) followed by the workspace's
// screen-parameters notification, workspace notifications on the main queue. Knobs may be called
// from any thread; they never call a port's client back inline.
class SimPower : public std::enable_shared_from_this<SimPower> {
  public:
    // `changes` hears of everything a person could see change: the bit, the assertions, the
    // lid, sleep, power and displays.
    static std::shared_ptr<SimPower> make(std::shared_ptr<SimChangeNotifier> changes);
    ~SimPower();
    SimPower(const SimPower&) = delete;
    SimPower& operator=(const SimPower&) = delete;

    // Fills the ports of `laptop` and registers its NOCTAVE_SIM keys.
    void install(os::System& system, SimKeys& keys);

    // ---- root power domain ----
    void setRootDomainPresent(bool present);
    // Opening the user client fails with `code`; no value: it succeeds.
    void setOpenFailure(std::optional<os::IoReturn> code);
    // What the port says about a missing root domain or a failed open, as a Linux backend names
    // its cause; empty (the default): nothing beyond the code.
    void setRootDomainFailure(std::string cause);
    // Every call of the lid-close method is refused (kNotPrivileged).
    void setRefuseFlag(bool refuse);
    // What the port says about a refused set, as a Linux backend names another program that
    // holds the lid; empty (the default): nothing beyond the code.
    void setLidFlagFailure(std::string cause);
    // The lid-close bit, as the kernel holds it.
    bool kernelFlag() const;
    // Called from inside every scalar call made through the port (not the signal-safe path),
    // before the kernel acts; a test can look at process state (a pending alarm) there.
    void setOnScalarCall(std::function<void()> hook);
    uint32_t scalarCalls() const;
    int openConnections() const;  // user-client connections open now
    int heldServices() const;     // service and registration handles not yet released
    // "AppleClamshellCausesSleep": no value removes it. Default: the number 1, whatever the
    // bit says (the real kernel keeps reporting it while the bit suppresses lid sleep).
    void setClamshellCausesSleep(std::optional<os::PropertyValue> value);
    // A general-interest message that has nothing to do with the lid.
    void postInterestMessage(uint32_t messageType, uint64_t argument = 0);
    int interestRegistrations() const;
    void setFailNotificationPort(bool fail);
    void setFailInterestRegistration(std::optional<os::IoReturn> code);

    // ---- power assertions ----
    enum class AssertionPolicy { allow, refuseAll, refuseSystemSleep };
    void setAssertionPolicy(AssertionPolicy policy);
    struct Assertion {
        os::AssertionId id;
        std::string type;
        std::string name;
        uint32_t level;
    };
    std::vector<Assertion> assertions() const;
    bool isAsserted(const std::string& type) const;
    int assertionsCreated() const;
    void setFailAssertionRelease(bool fail);  // release drops it but reports an error

    // ---- lid and sleep ----
    enum class Lid { open, closed, unknown, absent };  // unknown: the property is not a number
    void setLid(Lid lid);
    void openLid() { setLid(Lid::open); }
    void closeLid() { setLid(Lid::closed); }
    Lid lid() const;
    struct SleepEvent {
        double time;  // monotonic seconds of the installed runtime
        std::string reason;
    };
    std::vector<SleepEvent> sleepEvents() const;
    bool isAsleep() const;
    void wake();  // wakes a sleeping machine (as the lid opening does)
    void setSleepRequestDelay(double seconds);
    double sleepRequestDelay() const;
    // The idle timer runs out: the machine sleeps ("idle") unless an assertion against idle
    // sleep holds it, or one against system sleep on AC.
    void idleTimerExpires();
    // The power daemon clears the bit, as it does on its own now and then.
    void daemonClearsFlag();

    // ---- power sources ----
    void setOnBattery(bool onBattery);  // notifies
    bool isOnBattery() const;
    // One battery source at `percent` of 100; no value: no source reports capacity. Notifies.
    void setBatteryPercent(std::optional<int> percent);
    // The first source's charge in percent of its capacity; no value: no source reports one.
    std::optional<int> batteryPercent() const;
    // Replaces every source (no value in the list: a description that is not a dictionary).
    void setPowerSources(std::vector<std::optional<os::PowerSources::SourceDescription>> sources);
    void setPowerInfoAvailable(bool available);                 // false: no information at all
    void setProvidingTypeOverride(std::optional<std::string>);  // e.g. no type at all
    void setFailPowerNotifications(bool fail);
    void notifyPowerSources();  // a change notification without a change
    int powerNotificationSources() const;

    // ---- displays ----
    os::Displays::DisplayId attachExternal();
    void detachExternal();  // the most recently attached one
    void setExternalCount(int count);
    int externalCount() const;
    // The active list fails with `error`: on every call, or only when it is asked to fill.
    void setActiveListError(os::Displays::Error error);
    void setActiveListFillError(os::Displays::Error error);
    void setRegistrationError(os::Displays::Error error);
    int reconfigurationRegistrations() const;

    // ---- workspace ----
    void postWorkspace(os::Workspace::Notification notification);
    int workspaceObservers() const;

    // ---- the panel ----
    // Called when the built-in panel lights: the lid leaves the closed state or the sleeping
    // machine wakes. Runs before the knob returns, on its thread, outside the machine's lock.
    void setOnPanelLit(std::function<void()> hook);

  private:
    class PowerManagementPort;
    class PowerSourcesPort;
    class DisplaysPort;
    class WorkspacePort;

    explicit SimPower(std::shared_ptr<SimChangeNotifier> changes);

    struct InterestRegistration {
        os::IoNotificationPort port;
        os::IoObject service;
        os::PowerManagement::InterestHandler handler;
    };
    struct PowerSourceRegistration {
        std::function<void()> callback;
        bool onMainQueue = false;
    };

    // Everything below is guarded by mutex_. Deliveries are posted to their queues (never run
    // inline), so posting under the lock is safe.
    void postInterestLocked(uint32_t messageType, uint64_t argument);
    void postPowerChangeLocked();
    void postReconfigurationLocked(std::vector<os::Displays::DisplayId> affected, uint32_t flags);
    void postWorkspaceLocked(os::Workspace::Notification notification);
    bool isAssertedLocked(const std::string& type) const;
    bool keepsAwakeLocked() const;
    void sleepLocked(const std::string& reason);
    void requestSleepLocked(const std::string& reason);
    void setLidLocked(Lid lid, bool withEvents);
    std::vector<os::Displays::DisplayId> activeDisplaysLocked() const;
    std::optional<os::PropertyValue> propertyLocked(const std::string& name) const;
    std::map<std::string, std::string> propertiesLocked() const;
    std::shared_ptr<runtime::Queue> reconfigurationQueueLocked();
    void registerKeys(SimKeys& keys);

    SimKernel kernel_;
    const std::shared_ptr<SimChangeNotifier> changes_;
    mutable std::mutex mutex_;

    // root domain
    bool rootDomainPresent_ = true;
    std::optional<os::IoReturn> openFailure_;
    std::string rootDomainFailure_;
    std::string lidFlagFailure_;
    std::function<void()> onScalarCall_;
    uint32_t nextObject_ = 0x1000;
    std::map<os::IoObject, bool> objects_;  // live service handles (false) and registrations
    std::optional<os::PropertyValue> causesSleep_ = os::PropertyValue{1, "1"};
    uint32_t nextPort_ = 1;
    std::map<os::IoNotificationPort, std::shared_ptr<runtime::Queue>> ports_;
    std::map<os::IoObject, InterestRegistration> interest_;
    bool failNotificationPort_ = false;
    std::optional<os::IoReturn> failInterest_;

    // assertions
    AssertionPolicy assertionPolicy_ = AssertionPolicy::allow;
    std::vector<Assertion> assertions_;
    os::AssertionId nextAssertion_ = 1;
    int assertionsCreated_ = 0;
    bool failAssertionRelease_ = false;
    bool keyRefusesAssertions_ = false;   // NOCTAVE_SIM assertions=refuse
    bool keyRefusesSystemSleep_ = false;  // NOCTAVE_SIM systemsleep=refuse

    // lid and sleep
    Lid lid_ = Lid::open;
    bool asleep_ = false;
    std::vector<SleepEvent> sleepEvents_;
    double sleepRequestDelay_ = 0.5;
    uint64_t sleepRequestSerial_ = 0;

    // power sources
    bool onBattery_ = false;
    std::vector<std::optional<os::PowerSources::SourceDescription>> sources_;
    bool powerInfoAvailable_ = true;
    bool providingTypeOverridden_ = false;
    std::optional<std::string> providingTypeOverride_;
    bool failPowerNotifications_ = false;
    uint32_t nextPowerSource_ = 1;
    std::map<os::PowerSources::Handle, PowerSourceRegistration> powerRegistrations_;

    // displays
    std::vector<os::Displays::DisplayId> externals_;
    os::Displays::DisplayId nextDisplay_ = 2;
    os::Displays::Error activeListError_ = 0;
    os::Displays::Error activeListFillError_ = 0;
    os::Displays::Error registrationError_ = 0;
    uint64_t nextRegistration_ = 1;
    std::map<uint64_t, os::Displays::ReconfigurationCallback> reconfiguration_;
    std::shared_ptr<runtime::Queue> reconfigurationQueue_;

    // workspace
    uint64_t nextToken_ = 1;
    std::map<uint64_t, std::pair<os::Workspace::Notification, std::function<void()>>> workspace_;

    // the panel
    std::function<void()> onPanelLit_;
};

}  // namespace noctave::sim

#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

namespace noctave::runtime {
class Queue;
}

namespace noctave::os {

// Kernel-style result code: 0 is success, anything else is the platform's error code (IOKit
// codes have their top bit set, e.g. 0xe00002c2). Callers only ever test for 0 or pass the code on.
using IoReturn = int32_t;
inline constexpr IoReturn kIoReturnSuccess = 0;

// The power manager's vocabulary, spelled here once for the core and every backend.
inline constexpr const char* kRootDomainClass = "IOPMrootDomain";
inline constexpr const char* kGeneralInterest = "IOGeneralInterest";
// True while the lid is shut.
inline constexpr const char* kClamshellState = "AppleClamshellState";
// True while closing the lid causes sleep.
inline constexpr const char* kClamshellCausesSleep = "AppleClamshellCausesSleep";
// The root domain's scalar method that sets (1) and clears (0) the lid-close flag.
inline constexpr uint32_t kLidSleepPolicySelector = 12;
inline constexpr const char* kPreventUserIdleSystemSleep = "PreventUserIdleSystemSleep";
inline constexpr const char* kPreventSystemSleep = "PreventSystemSleep";

// Opaque handles. 0 always means "none".
using IoObject = uint32_t;      // a service or a notification registration
using IoConnection = uint32_t;  // an open user-client connection
using IoNotificationPort = uint32_t;
using AssertionId = uint32_t;

// A registry property as the core sees it: a number (booleans read as 0 or 1) or something else,
// with the text the platform prints for it.
struct PropertyValue {
    std::optional<int64_t> number;  // present exactly when the value is a number
    std::string description;
};

// The kernel's power manager: its root power domain (service lookup, a user-client connection,
// one scalar method, registry properties, general-interest notifications) and named power
// assertions.
//
// Thread-safety: every member may be called from any thread. Nothing here logs.
class PowerManagement {
  public:
    virtual ~PowerManagement() = default;

    // ---- root power domain ----

    // The first service of the given class (kRootDomainClass); 0 when there is none. The caller
    // owns the handle and gives it back with releaseObject.
    virtual IoObject matchingService(const std::string& className) = 0;

    // Opens a user-client connection of `type` to `service`. On success stores the connection
    // (never 0) and returns 0; otherwise returns the platform's code and leaves `*connection` 0.
    virtual IoReturn openService(IoObject service, uint32_t type, IoConnection* connection) = 0;

    // Calls scalar method `selector` with the one 64-bit input and no outputs.
    virtual IoReturn callScalarMethod(IoConnection connection, uint32_t selector,
                                      uint64_t input) = 0;

    virtual IoReturn closeService(IoConnection connection) = 0;

    // Why the latest matchingService(kRootDomainClass) or openService failed, in words for a
    // person ("system bus unavailable (...)"); empty after a success, or where the platform's
    // codes say all there is.
    virtual std::string rootDomainFailure() const { return {}; }

    // Why the latest set of the lid-close flag failed, in words for a person, where the
    // platform knows more than its code ("xfce4-power-manager handles the lid..."); empty after
    // a success or when the code says all there is.
    virtual std::string lidFlagFailure() const { return {}; }

    // Gives back a service or registration handle. A registration that is released delivers
    // nothing afterwards (a delivery already running may finish).
    virtual IoReturn releaseObject(IoObject object) = 0;

    // One registry property of `service`; no value when the service lacks it.
    virtual std::optional<PropertyValue> registryProperty(IoObject service,
                                                          const std::string& name) = 0;

    // Every registry property of `service`, name to description; no value when they cannot be
    // copied.
    virtual std::optional<std::map<std::string, std::string>> registryProperties(
        IoObject service) = 0;

    // The same call as callScalarMethod, as a plain function that a signal handler may make: it
    // allocates nothing, takes no lock and touches only memory set aside before it was handed
    // out. Never null; valid for the life of the process.
    using SignalSafeScalarMethod = IoReturn (*)(IoConnection connection, uint32_t selector,
                                                uint64_t input) noexcept;
    virtual SignalSafeScalarMethod signalSafeScalarMethod() const = 0;

    // For a platform where only this process writes the lid-close flag: calls `onLoss`, on any
    // thread, whenever a flag that was set may have been lost with the service that kept it
    // (it left, restarted, or the connection to it was made anew), so the holder sets it again
    // then rather than on a timer. Returns 0 where others write the flag too (the Mac's power
    // daemon does): a holder must keep setting it.
    using FlagLossWatch = uint64_t;
    virtual FlagLossWatch watchFlagLoss(std::function<void()> onLoss) {
        (void)onLoss;
        return 0;
    }
    // Once it returns, `onLoss` is not running and never runs again. 0 is ignored.
    virtual void unwatchFlagLoss(FlagLossWatch watch) { (void)watch; }

    // ---- general-interest notifications ----

    // A notification port; 0 when one cannot be made.
    virtual IoNotificationPort createNotificationPort() = 0;

    // Deliveries through `port` run on `queue` (a serial queue). Call before adding interest.
    virtual void setNotificationPortQueue(IoNotificationPort port,
                                          std::shared_ptr<runtime::Queue> queue) = 0;

    // Called with the service, the message type and the message argument, on the port's queue.
    using InterestHandler =
        std::function<void(IoObject service, uint32_t messageType, uint64_t messageArgument)>;

    // Registers `handler` for every message of `interestType` (kGeneralInterest) that
    // `service` posts. On success stores the registration (give it back with releaseObject) and
    // returns 0.
    virtual IoReturn addInterestNotification(IoNotificationPort port, IoObject service,
                                             const std::string& interestType,
                                             InterestHandler handler, IoObject* registration) = 0;

    // Destroys the port; nothing is delivered through it afterwards.
    virtual void destroyNotificationPort(IoNotificationPort port) = 0;

    // ---- power assertions ----

    // Creates a named assertion of `type` at `level` (255: on). On success stores its id (never
    // 0) and returns 0.
    virtual IoReturn createAssertion(const std::string& type, uint32_t level,
                                     const std::string& name, AssertionId* id) = 0;

    virtual IoReturn releaseAssertion(AssertionId id) = 0;
};

}  // namespace noctave::os

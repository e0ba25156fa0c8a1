#include "core/power/LidSleepPolicy.hpp"

#include <time.h>

#include <cstdio>

#include "core/os/System.hpp"
#include "core/os/Vocabulary.hpp"

namespace noctave {

std::atomic<uint32_t> gRootDomainConnection{0};

namespace {

constexpr uint32_t kConnectionType = 0;

// The port's signal-safe call, published before the connection it goes with: the signal
// handler must find both without touching any object.
std::atomic<os::PowerManagement::SignalSafeScalarMethod> gEmergencyScalarMethod{nullptr};
static_assert(std::atomic<os::PowerManagement::SignalSafeScalarMethod>::is_always_lock_free);

// Raised by the first emergency clear and never lowered: the process is dying, and no set on
// any thread (the heartbeat, say) may undo that clear before it is gone.
std::atomic<bool> gEmergencyStarted{false};
// Sets of the flag under way; counted before the latch is read, so the emergency clear can wait
// for a set that slipped past the latch and clear after it.
std::atomic<int> gSetsInFlight{0};

std::shared_ptr<os::PowerManagement> powerPort() {
    return os::system().powerManagement;
}

}  // namespace

LidSleepPolicy::OpenError::OpenError(Kind kind, os::IoReturn code, std::string cause)
    : kind_(kind), code_(code), cause_(std::move(cause)), description_(description()) {}

std::string LidSleepPolicy::OpenError::description() const {
    if (kind_ == Kind::serviceNotFound) {
        return os::vocabulary().powerService() + " service not found";
    }
    char hex[16];
    std::snprintf(hex, sizeof hex, "%x", static_cast<uint32_t>(code_));
    return os::vocabulary().serviceOpen() + " failed (0x" + hex + ")";
}

LidSleepPolicy::LidSleepPolicy() : power_(powerPort()) {
    const os::IoObject service = power_ ? power_->matchingService(os::kRootDomainClass) : 0;
    if (service == 0) {
        throw OpenError::serviceNotFound(power_ ? power_->rootDomainFailure() : std::string());
    }
    os::IoConnection connection = 0;
    const os::IoReturn result = power_->openService(service, kConnectionType, &connection);
    if (result != os::kIoReturnSuccess) {
        std::string cause = power_->rootDomainFailure();
        power_->releaseObject(service);
        throw OpenError::openFailed(result, std::move(cause));
    }
    service_ = service;
    connection_ = connection;
    gEmergencyScalarMethod.store(power_->signalSafeScalarMethod());
    gRootDomainConnection.store(connection_);
}

LidSleepPolicy::~LidSleepPolicy() {
    if (connection_ != 0) {
        power_->callScalarMethod(connection_, os::kLidSleepPolicySelector, 0);
        power_->closeService(connection_);
    }
    if (service_ != 0) {
        power_->releaseObject(service_);
    }
    gRootDomainConnection.store(0);
}

bool LidSleepPolicy::set(bool enabled) {
    if (connection_ == 0) {
        return false;
    }
    if (!enabled) {
        return power_->callScalarMethod(connection_, os::kLidSleepPolicySelector, 0) ==
               os::kIoReturnSuccess;
    }
    gSetsInFlight.fetch_add(1);
    bool accepted = false;
    if (!gEmergencyStarted.load()) {
        accepted = power_->callScalarMethod(connection_, os::kLidSleepPolicySelector, 1) ==
                   os::kIoReturnSuccess;
        if (gEmergencyStarted.load()) {
            // The emergency clear ran while this set was in the kernel: undo it.
            power_->callScalarMethod(connection_, os::kLidSleepPolicySelector, 0);
            accepted = false;
        }
    }
    gSetsInFlight.fetch_sub(1);
    return accepted;
}

std::string LidSleepPolicy::setFailure() const {
    return power_ ? power_->lidFlagFailure() : std::string();
}

std::optional<bool> LidSleepPolicy::kernelLidCausesSleep() const {
    if (service_ == 0) {
        return std::nullopt;
    }
    const auto value = power_->registryProperty(service_, os::kClamshellCausesSleep);
    if (!value || !value->number) {
        return std::nullopt;
    }
    return *value->number != 0;
}

bool LidSleepPolicy::kernelVisiblyConfirmsSuppression() const {
    if (service_ == 0) {
        return false;
    }
    const auto value = power_->registryProperty(service_, os::kClamshellCausesSleep);
    return value && value->number && *value->number == 0;
}

void LidSleepPolicy::emergencyClear() noexcept {
    gEmergencyStarted.store(true);
    const os::IoConnection connection = gRootDomainConnection.load();
    const auto call = gEmergencyScalarMethod.load();
    if (connection == 0 || call == nullptr) {
        return;
    }
    call(connection, os::kLidSleepPolicySelector, 0);
    // A set already past the latch on another thread may land after this clear. Wait a little
    // for it (not forever: the set may be the very one this handler interrupted), then clear
    // again.
    bool waited = false;
    const timespec pause{0, 1'000'000};
    for (int i = 0; i < 100 && gSetsInFlight.load() > 0; ++i) {
        ::nanosleep(&pause, nullptr);
        waited = true;
    }
    if (waited) {
        call(connection, os::kLidSleepPolicySelector, 0);
    }
}

bool LidSleepPolicy::clearOnFreshConnection() {
    const auto power = powerPort();
    const os::IoObject service = power ? power->matchingService(os::kRootDomainClass) : 0;
    if (service == 0) {
        return false;
    }
    os::IoConnection connection = 0;
    if (power->openService(service, kConnectionType, &connection) != os::kIoReturnSuccess) {
        power->releaseObject(service);
        return false;
    }
    const bool cleared =
        power->callScalarMethod(connection, os::kLidSleepPolicySelector, 0) == os::kIoReturnSuccess;
    power->closeService(connection);
    power->releaseObject(service);
    return cleared;
}

}  // namespace noctave

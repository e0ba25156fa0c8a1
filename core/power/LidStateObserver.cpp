#include "core/power/LidStateObserver.hpp"

#include "core/os/System.hpp"
#include "core/runtime/Runtime.hpp"

namespace noctave {

std::string_view LidStateObserver::caseName(LidState state) {
    switch (state) {
        case LidState::open:
            return "open";
        case LidState::closed:
            return "closed";
        case LidState::unknown:
            break;
    }
    return "unknown";
}

std::unique_ptr<LidStateObserver> LidStateObserver::create() {
    auto power = os::system().powerManagement;
    const os::IoObject service = power ? power->matchingService(os::kRootDomainClass) : 0;
    if (service == 0) {
        return nullptr;
    }
    return std::unique_ptr<LidStateObserver>(new LidStateObserver(std::move(power), service));
}

LidStateObserver::LidStateObserver(std::shared_ptr<os::PowerManagement> power, os::IoObject service)
    : service_(service),
      queue_(runtime::current().makeSerialQueue("noctave.lid-state")),
      power_(std::move(power)) {}

LidStateObserver::~LidStateObserver() {
    stop();
    onChange = nullptr;
}

LidStateObserver::LidState LidStateObserver::currentState() const {
    if (service_ == 0) {
        return LidState::unknown;
    }
    const auto value = power_->registryProperty(service_, os::kClamshellState);
    if (!value || !value->number) {
        return LidState::unknown;
    }
    return *value->number != 0 ? LidState::closed : LidState::open;
}

bool LidStateObserver::start() {
    if (service_ == 0 || notificationPort_ != 0) {
        return false;
    }
    const os::IoNotificationPort port = power_->createNotificationPort();
    if (port == 0) {
        return false;
    }
    power_->setNotificationPortQueue(port, queue_);
    notificationPort_ = port;
    // The registration is released in stop(), which destruction runs, so `this` outlives it.
    os::IoObject registration = 0;
    const os::IoReturn result = power_->addInterestNotification(
        port, service_, os::kGeneralInterest,
        [this](os::IoObject, uint32_t, uint64_t) { handleInterest(); }, &registration);
    if (result == os::kIoReturnSuccess) {
        notification_ = registration;
        return true;
    }
    power_->destroyNotificationPort(port);
    notificationPort_ = 0;
    return false;
}

void LidStateObserver::stop() {
    if (notification_ != 0) {
        power_->releaseObject(notification_);
        notification_ = 0;
        // A report already running on the queue may still be reading onChange: let it finish
        // before the caller can destroy us.
        queue_->sync([] {});
    }
    if (notificationPort_ != 0) {
        power_->destroyNotificationPort(notificationPort_);
        notificationPort_ = 0;
    }
    if (service_ != 0) {
        power_->releaseObject(service_);
        service_ = 0;
    }
}

void LidStateObserver::handleInterest() {
    // Every message counts, whatever it is about: the subscriber drops repeats.
    if (auto subscriber = onChange) {
        subscriber(currentState());
    }
}

}  // namespace noctave

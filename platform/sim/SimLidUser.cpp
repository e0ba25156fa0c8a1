#include "platform/sim/SimLidUser.hpp"

#include "core/runtime/Runtime.hpp"
#include "platform/sim/SimHinge.hpp"
#include "platform/sim/SimKeys.hpp"
#include "platform/sim/SimPower.hpp"

namespace noctave::sim {

namespace {

// Runs `fn` on the main queue after `seconds`, unless the user is gone by then.
void later(const std::weak_ptr<SimLidUser>& weak, double seconds, void (SimLidUser::*fn)()) {
    runtime::mainQueue().asyncAfter(seconds, [weak, fn] {
        if (auto user = weak.lock()) {
            ((*user).*fn)();
        }
    });
}
}  // namespace

void SimLidUser::install(SimPower& power, SimHinge& hinge, SimKeys& keys) {
    auto user = std::make_shared<SimLidUser>(power, hinge);
    keys.add("autolid", [user](std::string_view value) { return user->applyKey(value); });
}

SimLidUser::SimLidUser(SimPower& power, SimHinge& hinge) : power_(power), hinge_(hinge) {}

bool SimLidUser::applyKey(std::string_view value) {
    if (value == "0") {
        return true;
    }
    if (value != "1") {
        return false;
    }
    // The command-line checks install their virtual-time runtime before the laptop is set up;
    // the application sets it up earlier, and its lid is left to whoever drives it.
    if (runtime::isInstalled()) {
        start();
    }
    return true;
}

void SimLidUser::start() {
    if (started_) {
        return;
    }
    started_ = true;
    schedulePoll();
}

void SimLidUser::schedulePoll() {
    later(weak_from_this(), kPollInterval, &SimLidUser::poll);
}

void SimLidUser::poll() {
    switch (phase_) {
        case Phase::waitingForArm:
            if (power_.kernelFlag() && power_.isAsserted(os::kPreventUserIdleSystemSleep) &&
                power_.lid() == SimPower::Lid::open) {
                phase_ = Phase::closing;
                hinge_.moveTo(0, kHingeTravel);
                later(weak_from_this(), kCloseDelay, &SimLidUser::closeLid);
            }
            break;
        case Phase::closing:
        case Phase::closed:
            break;
        case Phase::done:
            return;
    }
    schedulePoll();
}

void SimLidUser::closeLid() {
    power_.closeLid();
    phase_ = Phase::closed;
    later(weak_from_this(), kClosedSeconds, &SimLidUser::openLid);
}

void SimLidUser::openLid() {
    hinge_.moveTo(kOpenAngle, kHingeTravel);
    power_.openLid();
    phase_ = Phase::done;
}

}  // namespace noctave::sim

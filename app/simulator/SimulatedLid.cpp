#include "app/simulator/SimulatedLid.hpp"

#include <algorithm>
#include <cmath>

#include "core/runtime/Runtime.hpp"
#include "platform/sim/SimHinge.hpp"
#include "platform/sim/SimPower.hpp"

namespace noctave::app {

namespace {
// The sensor reports whole degrees; below half a degree it reads 0, and so does the switch.
constexpr double kShutBelow = 0.5;
}  // namespace

SimulatedLid::SimulatedLid(sim::SimHinge& hinge, sim::SimPower& power)
    : hinge_(hinge), power_(power) {}

SimulatedLid::~SimulatedLid() = default;

double SimulatedLid::angle() const {
    return hinge_.angle();
}

void SimulatedLid::swingTo(double degrees) {
    degrees = std::clamp(degrees, 0.0, kMaxAngle);
    const double seconds = std::abs(degrees - hinge_.angle()) * kSecondsPerDegree;
    hinge_.moveTo(degrees, seconds);
    arrival_ = runtime::clock().monotonic() + seconds;
    if (seconds <= 0) {
        frames_.reset();
        syncSwitch(degrees);
        changed();
        return;
    }
    if (!frames_) {
        frames_ = runtime::Timer::repeating(
            runtime::mainQueue(), kFrameInterval, 0,
            runtime::bindWeak(weakFactory_.weak(), [](SimulatedLid& self) { self.frame(); }));
    }
}

void SimulatedLid::setAngle(double degrees) {
    frames_.reset();
    degrees = std::clamp(degrees, 0.0, kMaxAngle);
    hinge_.setAngle(degrees);
    syncSwitch(degrees);
    changed();
}

void SimulatedLid::frame() {
    const double degrees = hinge_.angle();
    if (runtime::clock().monotonic() >= arrival_) {
        frames_.reset();  // the handler may destroy its own timer
    }
    syncSwitch(degrees);
    changed();
}

void SimulatedLid::syncSwitch(double degrees) {
    const auto lid = power_.lid();
    if (lid == sim::SimPower::Lid::unknown || lid == sim::SimPower::Lid::absent) {
        return;
    }
    const bool shut = degrees < kShutBelow;
    if (shut && lid == sim::SimPower::Lid::open) {
        power_.closeLid();
    } else if (!shut && lid == sim::SimPower::Lid::closed) {
        power_.openLid();
    }
}

void SimulatedLid::changed() {
    if (onChange) {
        onChange();
    }
}

}  // namespace noctave::app

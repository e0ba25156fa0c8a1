#include "platform/sim/SimSuspension.hpp"

#include "core/runtime/ManualRuntime.hpp"
#include "platform/sim/SimPower.hpp"

namespace noctave::sim {

std::shared_ptr<SimSuspension> SimSuspension::start(SimPower& power,
                                                    runtime::ManualRuntime& runtime) {
    auto suspension = std::make_shared<SimSuspension>(power, runtime);
    suspension->schedulePoll();
    return suspension;
}

SimSuspension::SimSuspension(SimPower& power, runtime::ManualRuntime& runtime)
    : power_(power), runtime_(runtime) {}

void SimSuspension::schedulePoll() {
    runtime_.mainQueue().asyncAfter(kPollInterval, [weak = weak_from_this()] {
        if (auto self = weak.lock()) {
            self->poll();
        }
    });
}

void SimSuspension::poll() {
    if (power_.isAsleep()) {
        // The program is frozen inside whatever it was doing; everything else goes on.
        runtime_.runUntil([this] { return !power_.isAsleep(); }, kLongestSleep);
        if (power_.isAsleep()) {
            power_.wake();
        }
    }
    schedulePoll();
}

}  // namespace noctave::sim

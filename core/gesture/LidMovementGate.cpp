#include "core/gesture/LidMovementGate.hpp"

#include <algorithm>

namespace noctave {

LidMovementGate::Observation LidMovementGate::observe(double angle) {
    if (!baseline) {
        samples.push_back(angle);
        if (static_cast<int>(samples.size()) < baselineSampleCount) {
            return Observation::calibrating();
        }
        // The median, so that one wild reading cannot set the baseline. The sample that
        // completes it is also the first one tested against it.
        std::sort(samples.begin(), samples.end());
        baseline = samples[samples.size() / 2];
        samples.clear();
    }
    const double drop = *baseline - angle;
    if (engageDegrees <= drop) {
        ++confirmationCount;
        if (confirmationCount < confirmationSampleCount) {
            return Observation::waiting();
        }
        return Observation::engaged(*baseline);
    }
    confirmationCount = 0;
    return Observation::waiting();
}

}  // namespace noctave

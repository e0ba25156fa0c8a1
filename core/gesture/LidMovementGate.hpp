#pragma once

#include <optional>
#include <vector>

namespace noctave {

// Decides that the lid has really started to close: a baseline from the median of the first
// samples (one noisy reading cannot set it), then a minimum drop below it held for several
// samples in a row. A plain value type: no time, threads or platform.
struct LidMovementGate {
    enum class Kind { calibrating, waiting, engaged };

    struct Observation {
        Kind kind = Kind::calibrating;
        double baseline = 0;  // meaningful when engaged: the gesture's start angle

        static Observation calibrating() { return {Kind::calibrating, 0}; }
        static Observation waiting() { return {Kind::waiting, 0}; }
        static Observation engaged(double baseline) { return {Kind::engaged, baseline}; }
        friend bool operator==(const Observation&, const Observation&) = default;
    };

    int baselineSampleCount;
    double engageDegrees;
    int confirmationSampleCount;
    std::vector<double> samples;
    std::optional<double> baseline;
    int confirmationCount;

    Observation observe(double angle);
};

}  // namespace noctave

#include "core/gesture/LidMovementGate.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace noctave {
namespace {

using Observation = LidMovementGate::Observation;

// Expected results are spelled one letter per sample: c calibrating, w waiting, e engaged at a
// baseline of 100 (so a wrong baseline shows up as a wrong engaged value).
TEST(LidMovementGate, FixesAMedianBaselineThenEngagesOnlyOnASustainedDrop) {
    const struct {
        const char* name;
        std::vector<double> angles;
        std::string expected;
    } cases[] = {
        // clang-format off
        {"noisy start", {100, 100, 101, 99, 100, 100, 100}, "ccccccw"},
        {"wild first, exactly 3", {180, 100, 100, 100, 100, 100, 100, 97, 96, 95}, "ccccccwwwe"},
        {"98 resets", {100, 100, 100, 100, 100, 100, 100, 97, 98, 96, 95, 94}, "ccccccwwwwwe"},
        {"rise resets", {100, 100, 100, 100, 100, 100, 100, 97, 96, 120, 97, 96}, "ccccccwwwwww"},
        {"7th sample counts", {100, 100, 100, 100, 100, 100, 96, 96, 95}, "ccccccwwe"},
        // clang-format on
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        LidMovementGate gate{7, 3.0, 3, {}, std::nullopt, 0};
        std::string results;
        for (double angle : test.angles) {
            const Observation result = gate.observe(angle);
            results += result == Observation::calibrating()  ? 'c'
                       : result == Observation::waiting()    ? 'w'
                       : result == Observation::engaged(100) ? 'e'
                                                             : '?';
        }
        EXPECT_EQ(results, test.expected);
    }
}

}  // namespace
}  // namespace noctave

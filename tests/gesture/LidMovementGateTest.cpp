#include "core/gesture/LidMovementGate.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace noctave {
namespace {

using Observation = LidMovementGate::Observation;

LidMovementGate defaultGate() {
    return LidMovementGate{7, 3.0, 3, {}, std::nullopt, 0};
}

std::vector<Observation> feed(LidMovementGate& gate, const std::vector<double>& angles) {
    std::vector<Observation> results;
    for (double angle : angles) {
        results.push_back(gate.observe(angle));
    }
    return results;
}

LidMovementGate gateWithBaseline100() {
    auto gate = defaultGate();
    feed(gate, {100, 100, 100, 100, 100, 100, 100});
    return gate;
}

TEST(LidMovementGate, BaselineIsTheMedianOfTheFirstSamples) {
    auto gate = defaultGate();
    const auto results = feed(gate, {100, 100, 101, 99, 100, 100});
    EXPECT_EQ(results, std::vector<Observation>(6, Observation::calibrating()));
    EXPECT_EQ(gate.observe(100), Observation::waiting());
    EXPECT_EQ(gate.baseline, 100.0);
    EXPECT_TRUE(gate.samples.empty());

    // One wild reading among steady ones does not move it.
    auto noisy = defaultGate();
    feed(noisy, {180, 100, 100, 100, 100, 100, 100});
    EXPECT_EQ(noisy.baseline, 100.0);
}

TEST(LidMovementGate, EngagesAfterConsecutiveDropsOfAtLeastTheEngageDistance) {
    auto gate = gateWithBaseline100();
    // A drop of exactly 3 degrees counts.
    EXPECT_EQ(feed(gate, {97, 96, 95}),
              (std::vector<Observation>{Observation::waiting(), Observation::waiting(),
                                        Observation::engaged(100)}));

    auto interrupted = gateWithBaseline100();
    EXPECT_EQ(feed(interrupted, {97, 98, 96, 95, 94}),
              (std::vector<Observation>{Observation::waiting(), Observation::waiting(),
                                        Observation::waiting(), Observation::waiting(),
                                        Observation::engaged(100)}));

    // Opening the lid further is never movement, and resets the run.
    auto opening = gateWithBaseline100();
    EXPECT_EQ(feed(opening, {97, 96, 120, 97, 96}),
              std::vector<Observation>(5, Observation::waiting()));
}

TEST(LidMovementGate, TheSampleThatCompletesTheBaselineIsAlsoTheFirstTestedAgainstIt) {
    auto gate = defaultGate();
    feed(gate, {100, 100, 100, 100, 100, 100});
    // Median of six 100s and a 96 is 100; the 96 already counts as one moving sample.
    EXPECT_EQ(gate.observe(96), Observation::waiting());
    EXPECT_EQ(gate.confirmationCount, 1);
    EXPECT_EQ(gate.observe(96), Observation::waiting());
    EXPECT_EQ(gate.observe(95), Observation::engaged(100));
}

}  // namespace
}  // namespace noctave

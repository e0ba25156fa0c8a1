// The practice's arithmetic on chosen instants: the demonstration loop, and how
// the curtain follows the real key and lid once the driver reports them.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "app/onboarding/GesturePractice.hpp"

namespace noctave::test {
namespace {

using app::CurtainAnimation;
using app::GesturePractice;

TEST(GesturePracticeTest, DemonstrationLoopsEvery4Point2SecondsWithFnShownOnlyWhileItMoves) {
    struct Case {
        double t;
        double coverage;  // of the demonstration's progress; 0 where it has none
        bool held;
    };
    const Case cases[] = {
        {0.0, 0, false},     {0.64, 0, false},   {0.65, 0.3, true},        {1.2, 0.461, true},
        {1.75, 0.622, true}, {2.0, 0.622, true}, {2.725, 0.461, true},     {3.34, 0.3, true},
        {3.35, 0, false},    {4.19, 0, false},   {4.2 + 1.9, 0.622, true}, {8.4 + 0.3, 0, false},
    };
    const double start = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.t);
        const auto frame = GesturePractice::demoFrame(start, start + c.t);
        EXPECT_EQ(frame.isFnHeld, c.held);
        ASSERT_EQ(frame.progress.has_value(), c.held);
        if (frame.progress) {
            EXPECT_NEAR(CurtainAnimation::coverage(*frame.progress), c.coverage, 0.002);
        }
    }
    EXPECT_FALSE(GesturePractice::demoFrame(std::nullopt, 1.0).progress);
}

TEST(GesturePracticeTest,
     UntouchedTheCurtainRisesWithTheDemonstrationAndFallsToNothingBetweenLoops) {
    GesturePractice practice;
    practice.begin(0);
    double highest = 0;
    double at1 = 0;
    double at4 = -1;
    for (int frame = 0; frame <= 4 * 120 + 12; ++frame) {
        const double now = frame / 120.0;
        practice.tick(now, false);
        highest = std::max(highest, practice.curtain.displayed());
        if (frame == 120) {
            at1 = practice.curtain.displayed();
            EXPECT_TRUE(practice.demoFnHeld);
        }
        if (frame == 4 * 120 + 12) {
            at4 = practice.curtain.displayed();
        }
        EXPECT_FALSE(practice.physicalFnHeld);  // only the real key lights the key cap
    }
    EXPECT_GT(at1, 0.3);  // entering quickly once the demonstration holds Fn
    EXPECT_NEAR(highest, 0.62, 0.01);
    EXPECT_EQ(at4, 0.0);
    EXPECT_FALSE(practice.curtain.isMoving());
    EXPECT_FALSE(practice.practiceComplete);
}

// Key up and the curtain's fall are the onboarding window's story, with the real driver.
TEST(GesturePracticeTest,
     TheRealKeyEndsTheDemonstrationForGoodAndTheFirstProgressCompletesThePracticeUntilReset) {
    GesturePractice practice;
    practice.begin(0);
    practice.tick(1.0, false);
    ASSERT_TRUE(practice.demoFnHeld);

    practice.setPhysicalFnHeld(true);
    EXPECT_FALSE(practice.demoFnHeld);
    practice.tick(1.01, false);
    EXPECT_FALSE(practice.demoFnHeld);

    EXPECT_TRUE(practice.handleProgress(0.5));
    EXPECT_FALSE(practice.handleProgress(0.6));  // completes once
    EXPECT_TRUE(practice.practiceComplete);
    EXPECT_DOUBLE_EQ(practice.curtain.target(), CurtainAnimation::coverage(0.6));

    // A progress that is no number shows the lowest tracking curtain, never NaN; the driver
    // going idle after completion keeps the target at nothing.
    practice.setPhysicalFnHeld(true);
    practice.handleProgress(std::numeric_limits<double>::quiet_NaN());
    practice.tick(8, false);
    EXPECT_DOUBLE_EQ(practice.curtain.target(), 0.258);
    EXPECT_TRUE(std::isfinite(practice.curtain.displayed()));
    practice.handleProgress(std::nullopt);
    EXPECT_EQ(practice.curtain.target(), 0.0);

    practice.reset();
    EXPECT_FALSE(practice.practiceComplete);
    EXPECT_FALSE(practice.physicalFnHeld);
    EXPECT_EQ(practice.curtain.displayed(), 0.0);
    EXPECT_FALSE(practice.demoStartedAt);
}

TEST(GesturePracticeTest, ReducedMotionShowsAStillPictureUntilTheRealKeyIsUsed) {
    GesturePractice practice;
    practice.begin(0);
    for (const double now : {0.2, 1.0, 2.0, 3.9}) {
        practice.tick(now, true);
        EXPECT_EQ(practice.curtain.displayed(), 0.3);
        EXPECT_FALSE(practice.demoFnHeld);
        EXPECT_TRUE(practice.isAtRest(true));
    }
    practice.setPhysicalFnHeld(true);
    practice.handleProgress(0.5);
    practice.tick(4.0, true);
    EXPECT_DOUBLE_EQ(practice.curtain.displayed(), CurtainAnimation::coverage(0.5));
    practice.setPhysicalFnHeld(false);
    practice.tick(4.1, true);
    EXPECT_EQ(practice.curtain.displayed(), 0.0);
}

TEST(GesturePracticeTest, ASnapshotShowsTheCurtainHalfClosedAndThePracticeDone) {
    GesturePractice practice;
    practice.begin(0);
    practice.tick(1, false);
    practice.prepareForSnapshot();
    EXPECT_DOUBLE_EQ(practice.curtain.displayed(), 0.552);
    EXPECT_DOUBLE_EQ(practice.curtain.target(), 0.552);
    EXPECT_TRUE(practice.practiceComplete);
    EXPECT_TRUE(practice.demoFnHeld);
    EXPECT_FALSE(practice.physicalFnHeld);
    EXPECT_FALSE(practice.demoStartedAt);
}

}  // namespace
}  // namespace noctave::test

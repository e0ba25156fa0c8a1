#include "core/gesture/GestureDriver.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/gesture/LidAngleSensor.hpp"
#include "platform/sim/SimHinge.hpp"
#include "platform/sim/SimKeyboard.hpp"
#include "tests/support/SimTest.hpp"

namespace noctave {
namespace {

const std::string kCommitted32 = "INF gesture: committed @32° (from 110°) - fn may now be released";

TEST(GestureProgressCurve, FollowsTheEaseOutTableFromA100DegreeStart) {
    const GestureDriver::Config config;
    const struct {
        double start, angle, progress;
    } table[] = {
        // clang-format off
        {100, 90, 0.207}, {100, 60, 0.681}, {100, 45, 0.837}, {100, 32, 0.929}, {100, 30, 0.94},
        {100, 6, 1.0}, {100, 0, 1.0}, {100, 103, -0.032}, {100, 110, -0.06}, {100, 170, -0.06},
        {70, 30, 0.94},
        // A start at the closed reference must neither divide by zero nor run backwards.
        {5, 5, 0.0}, {5, 3, 1.0},
        // clang-format on
    };
    for (const auto& row : table) {
        EXPECT_NEAR(GestureDriver::visualProgress(row.start, row.angle, config), row.progress,
                    0.0006)
            << row.start << "° -> " << row.angle << "°";
    }
}

// Every story runs twice: with a keyboard that announces Fn (the idle poll sleeps) and with one
// that can only be polled (the idle poll ticks 20 times a second).
class GestureDriverTest : public test::SimTest, public ::testing::WithParamInterface<bool> {
  protected:
    GestureDriverTest() {
        laptop.keyboard().setAnnouncesChanges(GetParam());
        sensor->open();
        driver = std::make_unique<GestureDriver>(sensor);
        driver->onCommit = [this] { calls += "commit "; };
        driver->onCancel = [this] { calls += "cancel "; };
        driver->onProgress = [this](std::optional<double> value) { progress.push_back(value); };
        driver->start();
        log.clear();
    }

    sim::SimHinge& hinge() { return laptop.hinge(); }
    void setFn(bool held) { laptop.keyboard().setFunctionHeld(held); }

    // Fn goes down with the lid steady at `angle` and stays down until the gate has its
    // baseline: one idle tick and six 120 Hz ticks.
    void holdFnAt(double angle) {
        hinge().setAngle(angle);
        setFn(true);
        advance(0.2);
    }
    // The lid moves to `angle` over `seconds`, and the driver follows a little longer.
    void moveLid(double angle, double seconds) {
        hinge().moveTo(angle, seconds);
        advance(seconds + 0.05);
    }
    // Fn held at 110°, the lid closes to `angle` and Fn is let go (hand-off below 45°).
    void closeAndRelease(double angle) {
        holdFnAt(110);
        moveLid(angle, 0.7);
        setFn(false);
        advance(0.1);
    }
    // Runs until the commit tick is done, before its onCommit reaches the main queue.
    void runToCommitTick() {
        holdFnAt(110);
        hinge().moveTo(32, 0.8);
        ASSERT_TRUE(runtime.runUntil([&] { return log.contains(kCommitted32.substr(4)); }, 2.0));
    }

    std::shared_ptr<LidAngleSensor> sensor = std::make_shared<LidAngleSensor>();
    std::unique_ptr<GestureDriver> driver;
    std::string calls;  // onCommit and onCancel, in order
    std::vector<std::optional<double>> progress;
};

TEST_P(GestureDriverTest, FnAndCloseCommitsAt32DegreesAndTheLidCloseEndsItQuietly) {
    holdFnAt(110);
    moveLid(32, 0.8);
    EXPECT_EQ(calls, "commit ");
    EXPECT_TRUE(driver->isCommitted());
    EXPECT_EQ(log.lines(), std::vector<std::string>{kCommitted32});
    // The curtain follows the lid down and never jumps back while it closes.
    ASSERT_GT(progress.size(), 60U);
    for (std::size_t i = 1; i < progress.size(); ++i) {
        ASSERT_TRUE(progress[i].has_value());
        EXPECT_GE(*progress[i], *progress[i - 1]);
    }
    EXPECT_NEAR(*progress.back(), GestureDriver::visualProgress(110, 32, driver->config()), 1e-9);

    // The lid shuts: no reading any more, the curtain stays full.
    setFn(false);
    moveLid(0, 0.2);
    EXPECT_EQ(progress.back(), 1.0);
    driver->noteLidClosed();
    advance(0.5);
    EXPECT_EQ(progress.back(), std::nullopt);
    EXPECT_FALSE(driver->isCommitted());
    EXPECT_EQ(calls, "commit ");
    EXPECT_EQ(log.lines().size(), 1U);
}

TEST_P(GestureDriverTest, ReleasingFnHandsOffOnlyBelow45AndReopeningBy12DegreesCancels) {
    closeAndRelease(50);
    EXPECT_EQ(calls, "");
    EXPECT_EQ(progress.back(), std::nullopt);

    closeAndRelease(40);
    moveLid(45, 0.2);  // lowest is 40: 5 degrees back up is still protected
    EXPECT_EQ(calls, "commit ");
    moveLid(52, 0.2);
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{
                  "INF gesture: cancelled (fn released at 50° before hand-off threshold)",
                  "INF gesture: hand-off @40° - close remains protected",
                  "INF gesture: cancelled (reopened 12° during hand-off)",
              }));
    EXPECT_EQ(calls, "commit cancel ");
    EXPECT_FALSE(driver->isCommitted());
}

TEST_P(GestureDriverTest, HandOffThatReachesTheCommitAngleKeepsItsStartTimeForTheTimeout) {
    closeAndRelease(40);
    const double handoffAt = runtime.now() - 0.1;

    advance(10.0 - 0.1);
    hinge().setAngle(30);
    advance(0.05);
    EXPECT_EQ(log.lines().back(), "INF gesture: hand-off reached 30° - awaiting lid close");
    EXPECT_EQ(calls, "commit ");  // no second commit

    // Still committed just before 12 s after the hand-off, cancelled just after.
    advance(handoffAt + 11.95 - runtime.now());
    EXPECT_TRUE(driver->isCommitted());
    advance(0.1);
    EXPECT_EQ(log.lines().back(), "INF gesture: cancelled (committed but lid never closed)");
    EXPECT_EQ(calls, "commit cancel ");
}

TEST_P(GestureDriverTest, HandOffThatNeverReachesTheCommitAngleTimesOutAfter15Seconds) {
    closeAndRelease(40);
    advance(14.8);
    EXPECT_EQ(calls, "commit ");
    advance(0.3);
    EXPECT_EQ(log.lines().back(), "INF gesture: cancelled (hand-off timed out before lid close)");
    EXPECT_EQ(calls, "commit cancel ");
}

TEST_P(GestureDriverTest, CommittedLidThatNeverClosesIsCancelledAfter12Seconds) {
    holdFnAt(110);
    moveLid(32, 0.8);
    setFn(false);
    moveLid(40, 0.5);
    advance(10.0);
    EXPECT_EQ(calls, "commit ");
    advance(2.0);
    EXPECT_EQ(log.lines().back(), "INF gesture: cancelled (committed but lid never closed)");
    EXPECT_EQ(calls, "commit cancel ");
    EXPECT_EQ(progress.back(), std::nullopt);
}

TEST_P(GestureDriverTest, ReopeningAfterCommitWithFnHeldReturnsToTrackingAndCanCommitAgain) {
    holdFnAt(110);
    moveLid(32, 0.8);
    moveLid(60, 0.3);
    EXPECT_EQ(calls, "commit cancel ");
    EXPECT_EQ(log.lines().back(), "INF gesture: reopened after commit; returning to live tracking");
    EXPECT_EQ(driver->currentInterval(), driver->config().activeInterval);
    moveLid(32, 0.3);
    EXPECT_EQ(log.lines().back(), kCommitted32);

    // Without Fn the same reopening ends the gesture.
    setFn(false);
    hinge().setAngle(70);
    advance(0.05);
    EXPECT_EQ(log.lines().back(), "INF gesture: cancelled (reopened to 70°)");
    EXPECT_EQ(calls, "commit cancel commit cancel ");
}

TEST_P(GestureDriverTest, FnWithoutAGestureLeavesNoTrace) {
    // Fn held with the lid too low to start, then with the lid open but not moving.
    holdFnAt(40);
    moveLid(20, 0.5);
    EXPECT_EQ(driver->currentInterval(), driver->config().activeInterval);
    setFn(false);
    advance(0.1);
    holdFnAt(110);
    advance(1.0);
    setFn(false);
    advance(0.1);
    EXPECT_TRUE(log.lines().empty());
    EXPECT_EQ(calls, "");
    EXPECT_EQ(driver->currentInterval(), driver->config().idleInterval);
}

TEST_P(GestureDriverTest, ADisabledDriverDoesNothingAndDisablingCancelsAnArmedGesture) {
    holdFnAt(110);
    moveLid(32, 0.8);
    driver->setEnabled(false);
    EXPECT_EQ(log.lines().back(), "INF gesture: cancelled (disabled)");
    advance(0.05);  // the cancel and the curtain's withdrawal are delivered

    const int reads = hinge().reportReads();
    const std::size_t reports = progress.size();
    moveLid(110, 0.3);
    moveLid(20, 0.8);
    EXPECT_EQ(hinge().reportReads(), reads);
    EXPECT_EQ(progress.size(), reports);
    EXPECT_EQ(calls, "commit cancel ");
}

TEST_P(GestureDriverTest, PracticeWorksWhileDisabledOrWithoutASensorAndEndingItWithdraws) {
    std::vector<bool> fnReports;
    std::optional<double> practiceProgress;
    driver->onPracticeFunctionHeld = [&](bool held) { fnReports.push_back(held); };
    driver->onPracticeProgress = [&](auto value) { practiceProgress = value; };
    driver->setEnabled(false);
    driver->beginPractice();
    holdFnAt(110);
    moveLid(30, 0.8);
    EXPECT_EQ(calls, "commit ");
    ASSERT_TRUE(practiceProgress.has_value());
    EXPECT_EQ(practiceProgress, progress.back());
    driver->endPractice();
    advance(0.1);
    EXPECT_EQ(fnReports, (std::vector<bool>{true, false}));  // no report of the initial false
    EXPECT_EQ(practiceProgress, std::nullopt);
    moveLid(110, 0.3);  // practice over and the gesture disabled: ignored again
    moveLid(20, 0.8);
    EXPECT_EQ(calls, "commit cancel ");

    GestureDriver bare(nullptr);
    bare.onPracticeFunctionHeld = driver->onPracticeFunctionHeld;
    EXPECT_FALSE(bare.start());
    EXPECT_TRUE(log.contains("gesture driver not started: no lid-angle sensor"));
    bare.beginPractice();
    advance(0.2);
    setFn(false);
    advance(0.2);
    EXPECT_EQ(fnReports, (std::vector<bool>{true, false, true, false}));
}

// Each is ended right after the commit tick, before its onCommit reaches the main queue.
TEST_P(GestureDriverTest, NoCallbackReachesAStoppedOrDestroyedDriver) {
    runToCommitTick();
    driver->stop();
    driver->noteLidClosed();  // must not restart the poll behind the owner's back
    int reads = hinge().reportReads();
    advance(1.0);
    EXPECT_EQ(progress.back(), std::nullopt);
    EXPECT_EQ(hinge().reportReads(), reads);

    driver->start();
    log.clear();
    runToCommitTick();
    const std::size_t reports = progress.size();
    driver.reset();
    reads = hinge().reportReads();
    advance(1.0);
    EXPECT_EQ(calls, "");
    EXPECT_EQ(progress.size(), reports);
    EXPECT_EQ(hinge().reportReads(), reads);
}

TEST_P(GestureDriverTest, AnIdleDriverPollsOnlyWhenFnCannotBeAnnouncedAndNeverWhileDisabled) {
    advance(1.0);
    EXPECT_EQ(runtime.runNext(), !GetParam()) << "a job is pending only for the idle poll";
    EXPECT_EQ(driver->currentInterval(), driver->config().idleInterval);

    // Announced, Fn going down is seen at once, not on the next idle tick.
    hinge().setAngle(110);
    setFn(true);
    runUntilIdle();
    EXPECT_EQ(driver->currentInterval(),
              GetParam() ? driver->config().activeInterval : driver->config().idleInterval);
    setFn(false);
    advance(0.1);

    driver->setEnabled(false);
    advance(1.0);
    EXPECT_FALSE(runtime.runNext()) << "a disabled driver has nothing to poll for";
    driver->setEnabled(true);
    holdFnAt(110);
    moveLid(32, 0.8);
    EXPECT_EQ(log.lines().back(), kCommitted32);
}

INSTANTIATE_TEST_SUITE_P(Keyboards, GestureDriverTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "FnAnnounced" : "FnPolled"; });

}  // namespace
}  // namespace noctave

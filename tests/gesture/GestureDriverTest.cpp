#include "core/gesture/GestureDriver.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <vector>

#include "core/gesture/LidAngleSensor.hpp"
#include "platform/sim/SimHinge.hpp"
#include "platform/sim/SimKeyboard.hpp"
#include "tests/support/SimTest.hpp"

namespace noctave {
namespace {

constexpr double kActive = 1.0 / 120.0;
constexpr double kIdle = 0.05;

TEST(GestureProgressCurve, FollowsTheEaseOutTableFromA100DegreeStart) {
    const GestureDriver::Config config;
    const struct {
        double angle;
        double progress;
    } table[] = {{90, 0.207}, {60, 0.681}, {45, 0.837},   {32, 0.929},  {30, 0.94},
                 {6, 1.0},    {0, 1.0},    {103, -0.032}, {110, -0.06}, {170, -0.06}};
    for (const auto& row : table) {
        EXPECT_NEAR(GestureDriver::visualProgress(100, row.angle, config), row.progress, 0.0006)
            << row.angle << "°";
    }
    // Always reaches the configured value exactly at the almost-closed angle.
    EXPECT_DOUBLE_EQ(GestureDriver::visualProgress(70, 30, config), 0.94);
    // A start at or below the closed reference must not divide by zero or run backwards.
    EXPECT_DOUBLE_EQ(GestureDriver::visualProgress(5, 5, config), 0.0);
    EXPECT_DOUBLE_EQ(GestureDriver::visualProgress(5, 3, config), 1.0);
}

class GestureDriverTest : public test::SimTest {
  protected:
    GestureDriverTest() {
        sensor->open();
        driver = std::make_unique<GestureDriver>(sensor);
        driver->onCommit = [this] { ++commits; };
        driver->onCancel = [this] { ++cancels; };
        driver->onProgress = [this](std::optional<double> value) { progress.push_back(value); };
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
    std::vector<std::string> gestureLines() const {
        std::vector<std::string> lines;
        for (const auto& line : log.lines()) {
            if (line.rfind("INF gesture:", 0) == 0) {
                lines.push_back(line);
            }
        }
        return lines;
    }

    std::shared_ptr<LidAngleSensor> sensor = std::make_shared<LidAngleSensor>();
    std::unique_ptr<GestureDriver> driver;
    int commits = 0;
    int cancels = 0;
    std::vector<std::optional<double>> progress;
};

TEST_F(GestureDriverTest, FnAndCloseCommitsAt32DegreesAndTheLidCloseEndsItQuietly) {
    ASSERT_TRUE(driver->start());
    advance(0.2);
    EXPECT_EQ(driver->currentInterval(), kIdle);
    EXPECT_TRUE(progress.empty());

    holdFnAt(110);
    EXPECT_EQ(driver->currentInterval(), kActive);
    moveLid(32, 0.8);

    EXPECT_EQ(commits, 1);
    EXPECT_EQ(cancels, 0);
    EXPECT_TRUE(driver->isCommitted());
    EXPECT_EQ(gestureLines(),
              std::vector<std::string>{
                  "INF gesture: committed @32° (from 110°) - fn may now be released"});
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
    EXPECT_EQ(driver->currentInterval(), kIdle);
    EXPECT_EQ(commits, 1);
    EXPECT_EQ(cancels, 0);
    EXPECT_EQ(gestureLines().size(), 1U);
}

TEST_F(GestureDriverTest, FnReleasedAbove45CancelsWithoutArming) {
    driver->start();
    holdFnAt(110);
    moveLid(50, 0.5);
    setFn(false);
    advance(0.1);
    EXPECT_EQ(gestureLines(),
              std::vector<std::string>{
                  "INF gesture: cancelled (fn released at 50° before hand-off threshold)"});
    EXPECT_EQ(commits, 0);
    EXPECT_EQ(cancels, 0);
    EXPECT_EQ(progress.back(), std::nullopt);
    EXPECT_EQ(driver->currentInterval(), kIdle);
}

TEST_F(GestureDriverTest, HandOffAt40ArmsAndReopeningBy12DegreesCancels) {
    driver->start();
    holdFnAt(110);
    moveLid(40, 0.6);
    setFn(false);
    advance(0.1);
    EXPECT_EQ(commits, 1);
    EXPECT_TRUE(driver->isCommitted());

    moveLid(45, 0.2);  // lowest is 40: 5 degrees back up is still protected
    EXPECT_EQ(cancels, 0);
    moveLid(52, 0.2);
    EXPECT_EQ(gestureLines(), (std::vector<std::string>{
                                  "INF gesture: hand-off @40° - close remains protected",
                                  "INF gesture: cancelled (reopened 12° during hand-off)",
                              }));
    EXPECT_EQ(commits, 1);
    EXPECT_EQ(cancels, 1);
    EXPECT_FALSE(driver->isCommitted());
}

TEST_F(GestureDriverTest, HandOffThatReachesTheCommitAngleKeepsItsStartTimeForTheTimeout) {
    driver->start();
    holdFnAt(110);
    moveLid(40, 0.6);
    setFn(false);
    advance(0.1);
    ASSERT_EQ(commits, 1);
    const double handoffAt = runtime.now() - 0.1;

    advance(10.0 - 0.1);
    hinge().setAngle(30);
    advance(0.05);
    EXPECT_EQ(gestureLines().back(), "INF gesture: hand-off reached 30° - awaiting lid close");
    EXPECT_EQ(commits, 1);  // no second commit

    // Still committed just before 12 s after the hand-off, cancelled just after.
    advance(handoffAt + 11.95 - runtime.now());
    EXPECT_TRUE(driver->isCommitted());
    advance(0.1);
    EXPECT_EQ(gestureLines().back(), "INF gesture: cancelled (committed but lid never closed)");
    EXPECT_EQ(cancels, 1);
}

TEST_F(GestureDriverTest, HandOffTimesOutWhenTheLidNeverGetsLowEnough) {
    driver->start();
    holdFnAt(110);
    moveLid(40, 0.6);
    setFn(false);
    advance(14.5);
    hinge().setSensor(sim::SimHinge::Sensor::absent);  // no readings: progress holds at lowest
    advance(0.3);
    const double atLowest = GestureDriver::visualProgress(110, 40, driver->config());
    EXPECT_EQ(progress.back(), atLowest);
    EXPECT_EQ(cancels, 0);
    advance(0.4);
    EXPECT_EQ(gestureLines().back(),
              "INF gesture: cancelled (hand-off timed out before lid close)");
    EXPECT_EQ(cancels, 1);
}

TEST_F(GestureDriverTest, CommittedLidThatNeverClosesIsCancelledAfter12Seconds) {
    driver->start();
    holdFnAt(110);
    moveLid(32, 0.8);
    setFn(false);
    moveLid(40, 0.5);
    advance(10.0);
    EXPECT_EQ(cancels, 0);
    advance(2.0);
    EXPECT_EQ(gestureLines().back(), "INF gesture: cancelled (committed but lid never closed)");
    EXPECT_EQ(cancels, 1);
    EXPECT_EQ(progress.back(), std::nullopt);
}

TEST_F(GestureDriverTest, ReopeningAfterCommitWithFnHeldReturnsToTrackingAndCanCommitAgain) {
    driver->start();
    holdFnAt(110);
    moveLid(32, 0.8);
    ASSERT_EQ(commits, 1);

    moveLid(60, 0.3);
    EXPECT_EQ(cancels, 1);
    EXPECT_FALSE(driver->isCommitted());
    EXPECT_EQ(gestureLines().back(),
              "INF gesture: reopened after commit; returning to live tracking");
    EXPECT_EQ(driver->currentInterval(), kActive);

    moveLid(32, 0.3);
    EXPECT_EQ(commits, 2);
    EXPECT_EQ(gestureLines().back(),
              "INF gesture: committed @32° (from 110°) - fn may now be released");

    // Without Fn the same reopening ends the gesture.
    setFn(false);
    hinge().setAngle(70);
    advance(0.05);
    EXPECT_EQ(gestureLines().back(), "INF gesture: cancelled (reopened to 70°)");
    EXPECT_EQ(cancels, 2);
}

TEST_F(GestureDriverTest, FnWithoutALidGestureLeavesNoTrace) {
    driver->start();
    // Lid too low to start: polling speeds up while Fn is down, nothing else.
    hinge().setAngle(40);
    setFn(true);
    advance(0.5);
    EXPECT_EQ(driver->currentInterval(), kActive);
    setFn(false);
    advance(0.1);
    EXPECT_EQ(driver->currentInterval(), kIdle);

    // Lid open but not moving: detecting, then a silent return to idle.
    holdFnAt(110);
    advance(1.0);
    setFn(false);
    advance(0.1);
    EXPECT_TRUE(log.lines().empty());
    EXPECT_EQ(commits + cancels, 0);
    EXPECT_EQ(driver->currentInterval(), kIdle);
}

TEST_F(GestureDriverTest, ADisabledDriverDoesNothingAndDisablingCancelsAnArmedGesture) {
    driver->start();
    holdFnAt(110);
    moveLid(32, 0.8);
    ASSERT_EQ(commits, 1);

    driver->setEnabled(false);
    EXPECT_FALSE(driver->isEnabled());
    EXPECT_EQ(gestureLines().back(), "INF gesture: cancelled (disabled)");
    advance(0.05);
    EXPECT_EQ(cancels, 1);

    const int reads = hinge().reportReads();
    const std::size_t reports = progress.size();
    hinge().setAngle(110);
    advance(0.3);
    moveLid(20, 0.8);
    EXPECT_EQ(hinge().reportReads(), reads);
    EXPECT_EQ(progress.size(), reports);
    EXPECT_EQ(commits, 1);
}

TEST_F(GestureDriverTest, PracticeRunsWhileDisabledAndEndingItWithdrawsTheCommit) {
    std::vector<bool> fnReports;
    std::vector<std::optional<double>> practiceProgress;
    driver->onPracticeFunctionHeld = [&](bool held) { fnReports.push_back(held); };
    driver->onPracticeProgress = [&](std::optional<double> value) {
        practiceProgress.push_back(value);
    };
    driver->start();
    driver->setEnabled(false);
    driver->beginPractice();
    advance(0.1);

    holdFnAt(110);
    moveLid(30, 0.8);
    EXPECT_EQ(commits, 1);
    EXPECT_EQ(fnReports, (std::vector<bool>{true}));  // false at the start was already known
    ASSERT_FALSE(practiceProgress.empty());
    EXPECT_EQ(practiceProgress.back(), progress.back());

    driver->endPractice();
    advance(0.1);
    EXPECT_EQ(cancels, 1);
    EXPECT_EQ(fnReports, (std::vector<bool>{true, false}));
    EXPECT_EQ(practiceProgress.back(), std::nullopt);

    // Practice over and the gesture disabled: Fn and lid are ignored again.
    const std::size_t reports = practiceProgress.size();
    moveLid(110, 0.3);
    moveLid(20, 0.8);
    EXPECT_EQ(commits, 1);
    EXPECT_EQ(practiceProgress.size(), reports);
}

TEST_F(GestureDriverTest, PracticeShowsFnEvenWithoutASensor) {
    GestureDriver bare(nullptr);
    std::vector<bool> fnReports;
    bare.onPracticeFunctionHeld = [&](bool held) { fnReports.push_back(held); };
    EXPECT_FALSE(bare.start());
    bare.beginPractice();
    setFn(true);
    advance(0.2);
    setFn(false);
    advance(0.2);
    EXPECT_EQ(fnReports, (std::vector<bool>{true, false}));
}

TEST_F(GestureDriverTest, StopEndsPollingAndDropsDeliveriesStillInFlight) {
    driver->start();
    holdFnAt(110);
    hinge().moveTo(32, 0.8);
    // Stop right after the commit tick, before its onCommit reaches the main queue.
    ASSERT_TRUE(runtime.runUntil(
        [&] {
            return log.contains("gesture: committed @32° (from 110°) - fn may now be released");
        },
        2.0));
    driver->stop();
    advance(0.5);
    EXPECT_EQ(commits, 0);
    EXPECT_EQ(progress.back(), std::nullopt);
    EXPECT_EQ(driver->currentInterval(), 0.0);

    // A lid-close note after stop must not restart the poll behind the owner's back.
    const int reads = hinge().reportReads();
    driver->noteLidClosed();
    advance(1.0);
    EXPECT_EQ(hinge().reportReads(), reads);
    EXPECT_EQ(driver->currentInterval(), 0.0);
}

TEST_F(GestureDriverTest, NoCallbackReachesADestroyedDriver) {
    driver->start();
    holdFnAt(110);
    hinge().moveTo(32, 0.8);
    ASSERT_TRUE(runtime.runUntil(
        [&] {
            return log.contains("gesture: committed @32° (from 110°) - fn may now be released");
        },
        2.0));
    const std::size_t reports = progress.size();
    driver.reset();
    const int reads = hinge().reportReads();
    advance(1.0);
    EXPECT_EQ(commits, 0);
    EXPECT_EQ(progress.size(), reports);
    EXPECT_EQ(hinge().reportReads(), reads);
}

TEST_F(GestureDriverTest, WithoutASensorNothingStarts) {
    sensor->close();
    EXPECT_FALSE(driver->start());
    EXPECT_EQ(log.lines(),
              std::vector<std::string>{"INF gesture driver not started: no lid-angle sensor"});
    EXPECT_FALSE(driver->isSupported());
    setFn(true);
    advance(1.0);
    EXPECT_EQ(driver->currentInterval(), 0.0);
}

}  // namespace
}  // namespace noctave

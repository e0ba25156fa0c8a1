#include "core/power/LidStateObserver.hpp"

#include <gtest/gtest.h>

#include <vector>

#include "core/runtime/Queue.hpp"
#include "core/runtime/Runtime.hpp"
#include "platform/sim/SimKernel.hpp"
#include "platform/sim/SimPower.hpp"
#include "tests/support/SimTest.hpp"

namespace noctave {
namespace {

using LidState = LidStateObserver::LidState;
using sim::SimPower;

class LidStateObserverTest : public test::SimTest {
  protected:
    // Subscribes and records every report, checking it comes on the observer's own queue.
    void record(LidStateObserver& observer) {
        observer.onChange = [this, &observer](LidState state) {
            EXPECT_TRUE(observer.queue().isCurrent());
            EXPECT_FALSE(runtime::mainQueue().isCurrent());
            reports.push_back(state);
        };
    }

    SimPower& power = laptop.power();
    std::vector<LidState> reports;
};

TEST_F(LidStateObserverTest, ReportsTheClamshellOnEveryMessageOfTheDomain) {
    auto observer = LidStateObserver::create();
    ASSERT_TRUE(observer);
    EXPECT_EQ(observer->queue().label(), "noctave.lid-state");
    EXPECT_EQ(observer->currentState(), LidState::open);
    record(*observer);
    ASSERT_TRUE(observer->start());

    power.closeLid();
    runUntilIdle();
    EXPECT_EQ(reports, std::vector<LidState>{LidState::closed});

    // A message about something else still gives one report, equal to the last.
    power.postInterestMessage(0xE0000280);
    runUntilIdle();
    EXPECT_EQ(reports, (std::vector<LidState>{LidState::closed, LidState::closed}));

    power.openLid();
    runUntilIdle();
    EXPECT_EQ(reports.back(), LidState::open);
    EXPECT_EQ(reports.size(), 3u);
}

TEST_F(LidStateObserverTest, DesktopWithoutClamshellReportsUnknown) {
    power.setLid(SimPower::Lid::absent);
    auto observer = LidStateObserver::create();
    ASSERT_TRUE(observer);
    EXPECT_EQ(observer->currentState(), LidState::unknown);
    record(*observer);
    ASSERT_TRUE(observer->start());
    power.postInterestMessage(1);
    runUntilIdle();
    EXPECT_EQ(reports, std::vector<LidState>{LidState::unknown});

    power.setLid(SimPower::Lid::unknown);  // present, but not a number
    EXPECT_EQ(observer->currentState(), LidState::unknown);
}

TEST_F(LidStateObserverTest, NoRootDomainMeansNoObserver) {
    power.setRootDomainPresent(false);
    EXPECT_EQ(LidStateObserver::create(), nullptr);
}

TEST_F(LidStateObserverTest, StartOnceStopForGood) {
    auto observer = LidStateObserver::create();
    ASSERT_TRUE(observer);
    EXPECT_TRUE(observer->start());
    EXPECT_FALSE(observer->start());
    EXPECT_EQ(power.interestRegistrations(), 1);

    record(*observer);
    power.closeLid();
    observer->stop();
    runUntilIdle();
    EXPECT_TRUE(reports.empty()) << "a message already queued is dropped after stop";
    EXPECT_EQ(power.interestRegistrations(), 0);
    EXPECT_EQ(power.heldServices(), 0);

    observer->stop();
    EXPECT_EQ(observer->currentState(), LidState::unknown);
    EXPECT_FALSE(observer->start());

    auto neverStarted = LidStateObserver::create();
    ASSERT_TRUE(neverStarted);
    neverStarted->stop();
    neverStarted->stop();
    EXPECT_EQ(neverStarted->currentState(), LidState::unknown);
    EXPECT_EQ(power.heldServices(), 0);
}

TEST_F(LidStateObserverTest, FailedStartLeavesNothingBehindAndCanStillBePolled) {
    auto observer = LidStateObserver::create();
    ASSERT_TRUE(observer);
    power.setFailNotificationPort(true);
    EXPECT_FALSE(observer->start());
    power.setFailNotificationPort(false);

    power.setFailInterestRegistration(sim::SimKernel::kNoResources);
    EXPECT_FALSE(observer->start());
    power.setFailInterestRegistration(std::nullopt);
    EXPECT_EQ(power.interestRegistrations(), 0);

    power.closeLid();
    EXPECT_EQ(observer->currentState(), LidState::closed);
    EXPECT_TRUE(observer->start()) << "a failed start leaves the observer startable";
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(LidStateObserverTest, DestroyedObserverGetsNoLateReport) {
    auto observer = LidStateObserver::create();
    ASSERT_TRUE(observer);
    int calls = 0;
    observer->onChange = [&calls](LidState) { ++calls; };
    ASSERT_TRUE(observer->start());
    power.closeLid();
    observer.reset();
    runUntilIdle();
    EXPECT_EQ(calls, 0);
}

}  // namespace
}  // namespace noctave

#include "platform/sim/SimPower.hpp"

#include <gtest/gtest.h>

#include "core/os/PowerManagement.hpp"
#include "core/os/System.hpp"
#include "core/os/Workspace.hpp"
#include "core/power/LidSleepPolicy.hpp"
#include "core/power/SleepAssertion.hpp"
#include "tests/support/SimTest.hpp"

namespace noctave {
namespace {

using sim::SimPower;

// The virtual laptop's own habits, which the session engine is tested against.
class SimPowerTest : public test::SimTest {
  protected:
    SimPower& power = laptop.power();
    LidSleepPolicy policy;
    SleepAssertion guard{os::kPreventSystemSleep, "guard"};
};

TEST_F(SimPowerTest, ClosingTheLidSleepsUnlessTheFlagOrAGuardOnMainsKeepsItAwake) {
    int wakes = 0;
    laptop.system().workspace->addObserver(os::Workspace::Notification::didWake, [&] { ++wakes; });
    power.closeLid();
    EXPECT_TRUE(power.isAsleep());
    power.openLid();
    runUntilIdle();
    EXPECT_FALSE(power.isAsleep());
    EXPECT_EQ(wakes, 1);

    ASSERT_TRUE(policy.set(true));
    power.closeLid();
    power.openLid();
    ASSERT_TRUE(policy.set(false));
    ASSERT_TRUE(guard.acquire());
    power.closeLid();
    power.openLid();
    power.setOnBattery(true);
    power.closeLid();
    ASSERT_EQ(power.sleepEvents().size(), 2u) << "the guard is inert on battery only";
    EXPECT_EQ(power.sleepEvents()[1].reason, "lid closed");
}

TEST_F(SimPowerTest, LosingTheLastMonitorWithTheLidShutClearsTheBitAndSleepsUnlessReSetInTime) {
    power.attachExternal();
    ASSERT_TRUE(policy.set(true));
    power.closeLid();
    power.setOnBattery(true);
    runUntilIdle();

    power.detachExternal();
    EXPECT_FALSE(power.kernelFlag()) << "the daemon dropped the bit";
    advance(power.sleepRequestDelay() / 2);
    ASSERT_TRUE(policy.set(true));
    advance(power.sleepRequestDelay());
    EXPECT_FALSE(power.isAsleep()) << "re-set before the daemon acted";

    power.attachExternal();
    power.detachExternal();
    advance(power.sleepRequestDelay());
    ASSERT_EQ(power.sleepEvents().size(), 1u);
    EXPECT_EQ(power.sleepEvents()[0].reason, "external display disconnected with the lid shut");
}

TEST_F(SimPowerTest, StartingStateKeysDoNotUndoEachOther) {
    std::string error;
    ASSERT_TRUE(laptop.configure("systemsleep=refuse,assertions=ok", &error)) << error;
    EXPECT_FALSE(guard.acquire());
    ASSERT_TRUE(laptop.configure("assertions=refuse,systemsleep=ok", &error)) << error;
    EXPECT_FALSE(SleepAssertion(os::kPreventUserIdleSystemSleep, "idle").acquire());
}

}  // namespace
}  // namespace noctave

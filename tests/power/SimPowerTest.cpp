// The virtual laptop's power behaviour that the session engine is tested against: when the
// machine sleeps, the power daemon's habits, and the NOCTAVE_SIM keys.

#include "platform/sim/SimPower.hpp"

#include <gtest/gtest.h>

#include "core/os/Workspace.hpp"
#include "core/power/LidSleepPolicy.hpp"
#include "core/power/LidStateObserver.hpp"
#include "core/power/PowerSourceMonitor.hpp"
#include "core/power/SleepAssertion.hpp"
#include "core/runtime/Timer.hpp"
#include "tests/support/SimTest.hpp"

namespace noctave {
namespace {

using sim::SimPower;

class SimPowerTest : public test::SimTest {
  protected:
    SimPower& power = laptop.power();
};

TEST_F(SimPowerTest, ClosingTheLidSleepsUnlessTheFlagOrAGuardOnMainsKeepsItAwake) {
    power.closeLid();
    ASSERT_EQ(power.sleepEvents().size(), 1u);
    EXPECT_EQ(power.sleepEvents()[0].reason, "lid closed");

    int wakes = 0;
    laptop.system().workspace->addObserver(os::Workspace::Notification::didWake, [&] { ++wakes; });
    power.openLid();
    runUntilIdle();
    EXPECT_FALSE(power.isAsleep());
    EXPECT_EQ(wakes, 1);

    LidSleepPolicy policy;
    ASSERT_TRUE(policy.set(true));
    power.closeLid();
    power.openLid();
    ASSERT_TRUE(policy.set(false));

    SleepAssertion guard(SleepAssertion::preventSystemSleep, "guard");
    ASSERT_TRUE(guard.acquire());
    power.closeLid();
    EXPECT_FALSE(power.isAsleep()) << "the guard holds on mains";
    power.openLid();

    power.setOnBattery(true);
    power.closeLid();
    EXPECT_TRUE(power.isAsleep()) << "the guard is inert on battery";
    EXPECT_EQ(power.sleepEvents().size(), 2u);
}

TEST_F(SimPowerTest, UnpluggingAMonitorFromAClosedLidClearsTheBitAndSleepsUnlessReSetInTime) {
    LidSleepPolicy policy;
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

TEST_F(SimPowerTest, GuardOnMainsOutlastsTheDaemonsSleepRequest) {
    LidSleepPolicy policy;
    SleepAssertion guard(SleepAssertion::preventSystemSleep, "guard");
    power.attachExternal();
    ASSERT_TRUE(policy.set(true));
    power.closeLid();
    ASSERT_TRUE(guard.acquire());

    power.detachExternal();
    advance(5);
    EXPECT_FALSE(power.isAsleep());
    EXPECT_FALSE(power.kernelFlag());

    // Letting go of the guard with the bit still clear lets the machine sleep.
    guard.release();
    advance(power.sleepRequestDelay());
    EXPECT_TRUE(power.isAsleep());
}

TEST_F(SimPowerTest, LidChangesReachObserversAndTheDisplayList) {
    power.attachExternal();
    runUntilIdle();
    auto observer = LidStateObserver::create();
    ASSERT_TRUE(observer);
    int reports = 0;
    observer->onChange = [&](LidStateObserver::LidState) { ++reports; };
    ASSERT_TRUE(observer->start());
    power.closeLid();
    runUntilIdle();
    EXPECT_EQ(reports, 1);
    EXPECT_FALSE(power.isAsleep()) << "clamshell mode on mains with a monitor";
}

TEST_F(SimPowerTest, StartingStateKeys) {
    std::string error;
    ASSERT_TRUE(laptop.configure(
        "rootdomain=ok,flag=ok,assertions=ok,systemsleep=refuse,lid=closed,power=battery,"
        "battery=42,externals=2",
        &error))
        << error;
    EXPECT_EQ(power.lid(), SimPower::Lid::closed);
    EXPECT_FALSE(power.isAsleep()) << "a starting state is not an event";
    EXPECT_EQ(PowerSourceMonitor::snapshot(), (PowerSourceMonitor::Snapshot{true, 42}));
    EXPECT_EQ(power.externalCount(), 2);
    SleepAssertion guard(SleepAssertion::preventSystemSleep, "guard");
    EXPECT_FALSE(guard.acquire());
    SleepAssertion idle(SleepAssertion::preventIdleSystemSleep, "idle");
    EXPECT_TRUE(idle.acquire());

    ASSERT_TRUE(laptop.configure("assertions=refuse,systemsleep=ok", &error));
    EXPECT_FALSE(SleepAssertion(SleepAssertion::preventIdleSystemSleep, "x").acquire())
        << "the keys do not undo each other";
    ASSERT_TRUE(laptop.configure("battery=none,flag=refuse,assertions=refuse", &error));
    EXPECT_EQ(PowerSourceMonitor::batteryPercent(), std::nullopt);
    EXPECT_FALSE(SleepAssertion(SleepAssertion::preventIdleSystemSleep, "x").acquire());
    LidSleepPolicy policy;
    EXPECT_FALSE(policy.set(true));

    ASSERT_TRUE(laptop.configure("rootdomain=openfail:e00002c5", &error));
    try {
        LidSleepPolicy refused;
        FAIL();
    } catch (const LidSleepPolicy::OpenError& openError) {
        EXPECT_EQ(openError.description(), "IOServiceOpen failed (0xe00002c5)");
    }
    ASSERT_TRUE(laptop.configure("rootdomain=missing", &error));
    EXPECT_THROW(LidSleepPolicy(), LidSleepPolicy::OpenError);

    for (const char* bad :
         {"rootdomain=openfail:", "rootdomain=openfail:xyz", "flag=maybe", "lid=ajar",
          "power=solar", "battery=101", "externals=-1", "systemsleep=no"}) {
        EXPECT_FALSE(laptop.configure(bad, &error)) << bad;
        EXPECT_EQ(error.rfind("bad NOCTAVE_SIM value for ", 0), 0u) << error;
    }
}

}  // namespace
}  // namespace noctave

#include "platform/sim/SimScreen.hpp"

#include <gtest/gtest.h>

#include "core/power/DisplaySleeper.hpp"
#include "core/power/SessionLocker.hpp"
#include "core/runtime/Runtime.hpp"
#include "platform/sim/SimPower.hpp"
#include "tests/support/SimTest.hpp"

namespace noctave {
namespace {

// The screen is its own piece of the virtual laptop, but the power hardware lights its panel and
// both report to the one window that shows them.
class SimScreenTest : public test::SimTest {
  protected:
    sim::SimPower& power = laptop.power();
    sim::SimScreen& screen = laptop.screen();
};

TEST_F(SimScreenTest, ThePanelStaysDarkFromAnInstantSleepUntilTheLidOpensOrTheMachineWakes) {
    screen.setDisplayIdleStatus(1000);
    DisplaySleeper::sleepNow();
    EXPECT_FALSE(screen.isPanelBlank()) << "a refused instant call leaves it lit";
    screen.setDisplayIdleStatus(0);
    DisplaySleeper::sleepNow();
    EXPECT_TRUE(screen.isPanelBlank());
    power.openLid();
    power.wake();
    EXPECT_TRUE(screen.isPanelBlank()) << "neither the open lid nor the awake machine changed";

    power.closeLid();
    ASSERT_TRUE(power.isAsleep());
    EXPECT_TRUE(screen.isPanelBlank());
    power.wake();
    EXPECT_FALSE(screen.isPanelBlank());

    DisplaySleeper::sleepNow();
    power.openLid();
    EXPECT_FALSE(screen.isPanelBlank()) << "the lid opening from shut";
    DisplaySleeper::sleepNow();
    power.setLid(sim::SimPower::Lid::unknown);
    EXPECT_FALSE(screen.isPanelBlank()) << "any way out of shut counts";

    // The lock outlasts both; only someone unlocking ends it.
    EXPECT_EQ(SessionLocker::lockNow(), SessionLocker::Outcome::locked());
    power.closeLid();
    power.openLid();
    EXPECT_TRUE(screen.isSessionLocked());
    screen.unlockSession();
    EXPECT_FALSE(screen.isSessionLocked());
    EXPECT_EQ(screen.sessionLocks(), 1);
}

TEST_F(SimScreenTest, ChangesToThePowerHardwareAndTheScreenInARowMakeOneCallOnTheMainQueue) {
    int calls = 0;
    laptop.setOnChange([&] {
        EXPECT_TRUE(runtime::mainQueue().isCurrent());
        ++calls;
    });
    SessionLocker::lockNow();
    DisplaySleeper::sleepNow();
    EXPECT_EQ(calls, 0) << "never inline";
    runUntilIdle();
    EXPECT_EQ(calls, 1);

    power.closeLid();
    power.openLid();  // lights the panel too
    runUntilIdle();
    EXPECT_EQ(calls, 2);

    screen.unlockSession();
    runUntilIdle();
    screen.unlockSession();
    runUntilIdle();
    EXPECT_EQ(calls, 3) << "unlocking an unlocked session changes nothing";

    laptop.setOnChange({});
    SessionLocker::lockNow();
    power.closeLid();
    runUntilIdle();
    EXPECT_EQ(calls, 3);
}

}  // namespace
}  // namespace noctave

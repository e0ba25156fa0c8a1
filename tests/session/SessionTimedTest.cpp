// Timed sessions and timed keep-awake: deadlines on the wall clock, met neither early nor
// stretched by a suspend, and never outliving the session or the process.
#include <chrono>

#include "core/support/Prefs.hpp"
#include "tests/session/SessionFixture.hpp"

namespace noctave::test {
namespace {

using std::chrono::hours;
using std::chrono::minutes;

class SessionTimedTest : public SessionFixture {
  protected:
    runtime::WallTime now() { return runtime.clock().wall(); }
    void wake() {
        power().postWorkspace(os::Workspace::Notification::didWake);
        runUntilIdle();
    }
};

TEST_F(SessionTimedTest, TwoHourSessionEndsThroughTheDisarmPathNotASecondEarly) {
    auto& session = start();
    ASSERT_TRUE(session.armUntil("dbus", now() + hours(2)));
    closeLid();

    advance(2 * 3600 - 1);
    EXPECT_EQ(session.state(), State::armed);
    EXPECT_TRUE(power().kernelFlag());

    advance(1);
    EXPECT_EQ(session.state(), State::disarmed);
    EXPECT_TRUE(log.contains("disarmed (time is up)"));
    EXPECT_FALSE(session.deadline().has_value());
    expectNothingHeld();
}

TEST_F(SessionTimedTest, DeadlineDiesWithItsSessionAndALaterOneReplacesIt) {
    auto& session = start();
    ASSERT_TRUE(session.armUntil("dbus", now() + hours(1)));
    ASSERT_TRUE(session.disarm("menu"));

    // A plain session armed later is not ended by the old deadline.
    ASSERT_TRUE(session.arm("menu"));
    advance(3 * 3600);
    EXPECT_EQ(session.state(), State::armed);
    EXPECT_FALSE(log.contains("disarmed (time is up)"));

    // Giving a standing session a deadline, then a later one: only the later one counts.
    ASSERT_TRUE(session.armUntil("dbus", now() + minutes(10)));
    ASSERT_TRUE(session.armUntil("dbus", now() + minutes(30)));
    advance(29 * 60);
    EXPECT_EQ(session.state(), State::armed);
    advance(60);
    EXPECT_EQ(session.state(), State::disarmed);
}

TEST_F(SessionTimedTest, PlainArmOnATimedSessionKeepsItsDeadline) {
    auto& session = start();
    ASSERT_TRUE(session.armUntil("dbus", now() + hours(2)));
    const auto deadline = session.deadline();
    advance(3600);

    // An arm asks for a session; one stands, so nothing changes, its end included.
    ASSERT_TRUE(session.arm("menu"));
    EXPECT_EQ(session.deadline(), deadline);
    EXPECT_FALSE(log.contains("armed (menu)"));
    advance(3600);
    EXPECT_EQ(session.state(), State::disarmed);
    EXPECT_TRUE(log.contains("disarmed (time is up)"));
}

TEST_F(SessionTimedTest, SuspendDoesNotStretchTheDeadlineAndAClockSetBackDoesNotEndItEarly) {
    auto& session = start();
    ASSERT_TRUE(session.armUntil("dbus", now() + hours(1)));
    advance(600);

    // The wall clock was set back an hour: the timer runs out on time, but the deadline has not
    // been reached on the clock it was given in, so the session goes on until it is.
    runtime.setWallTime(now() - hours(1));
    advance(3000);
    EXPECT_EQ(session.state(), State::armed);
    advance(3600);
    EXPECT_EQ(session.state(), State::disarmed);
    EXPECT_EQ(log.count("disarmed (time is up)"), 1u);

    // Monotonic time stands still while the machine sleeps: only the wall clock moves. The wake
    // ends a session whose time ran out in its sleep, before anything is re-applied.
    ASSERT_TRUE(session.armUntil("dbus", now() + hours(2)));
    runtime.setWallTime(now() + hours(3));
    log.clear();
    wake();
    EXPECT_EQ(session.state(), State::disarmed);
    EXPECT_TRUE(log.contains("disarmed (time is up)"));
    EXPECT_FALSE(log.contains("re-applied lid-close flag after system wake"));
}

TEST_F(SessionTimedTest, TimedKeepAwakeEndsOnTimeAndLeavesThePreferenceAlone) {
    auto& session = start();
    ASSERT_TRUE(session.keepAwakeUntil(now() + minutes(30)));
    EXPECT_TRUE(session.isKeepAwakeActive());
    // Nothing of it is written down, so a restart cannot bring it back without its deadline.
    EXPECT_FALSE(Prefs::keepAwake());

    advance(30 * 60 - 1);
    EXPECT_TRUE(session.isKeepAwakeActive());
    advance(1);
    EXPECT_FALSE(session.isKeepAwakeActive());
    EXPECT_TRUE(log.contains("keep-awake ends (time is up)"));

    // With the preference on, the end of a timed spell leaves keep-awake on.
    Prefs::setKeepAwake(true);
    session.applyKeepAwakePreference();
    ASSERT_TRUE(session.keepAwakeUntil(now() + minutes(5)));
    advance(5 * 60);
    EXPECT_TRUE(session.isKeepAwakeActive());
}

TEST_F(SessionTimedTest, RefusedSessionGetsNoDeadline) {
    power().setRefuseFlag(true);
    auto& session = start();
    EXPECT_FALSE(session.armUntil("dbus", now() + hours(1)));
    EXPECT_FALSE(session.deadline().has_value());
    EXPECT_EQ(session.state(), State::disarmed);
}

}  // namespace
}  // namespace noctave::test

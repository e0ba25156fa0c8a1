// What the session does when the lid shuts and opens: lock and blank, the notice when either
// fails, the pre-blank and its closing watch, the lid-shut guard and the re-blank after display
// changes.
#include "core/support/Prefs.hpp"
#include "platform/sim/SimProcesses.hpp"
#include "tests/session/SessionFixture.hpp"

namespace noctave::test {
namespace {

using SessionLidTest = SessionFixture;

// The instant blank fails, and so do both runs of the fallback command.
void failBlanks(sim::VirtualLaptop& laptop) {
    laptop.screen().setDisplayIdleStatus(-1);
    laptop.processes().scriptSpawn(os::Processes::SpawnResult{true, 1, {}});
    laptop.processes().scriptSpawn(os::Processes::SpawnResult{true, 1, {}});
}

constexpr const char* kPreBlankExpired = "pre-blank expired without a close; standing down";

TEST_F(SessionLidTest, ClosingLocksAndBlanksAndNamesEveryFailureInOneNotice) {
    auto& session = start();

    // No session: the close is only remembered.
    log.clear();
    closeLid();
    EXPECT_EQ(screen().sessionLocks(), 0);
    EXPECT_EQ(screen().instantIdleCalls(), 0);
    EXPECT_THAT(log.lines(), IsEmpty());
    openLid();

    session.arm("menu");
    log.clear();
    closeLid();
    EXPECT_EQ(screen().sessionLocks(), 1);
    EXPECT_EQ(screen().instantIdleCalls(), 1);
    EXPECT_EQ(log.lines().front(), "INF lid shut; arm stands");
    EXPECT_TRUE(notices.empty());
    openLid();

    // Both fail: one notice, the lock first.
    screen().setSessionLockLibrary(sim::SimScreen::Library::missing);
    failBlanks(laptop);
    session.arm("menu");
    notices.clear();
    closeLid();
    EXPECT_THAT(
        notices,
        ElementsAre(Notice{"Noctave needs attention",
                           "The Mac could not be locked. The built-in display may still be on."}));
    EXPECT_EQ(log.count("macOS Lock Screen action is unavailable"), 1u);
    EXPECT_TRUE(log.contains("pmset displaysleepnow failed twice; display may remain lit"));
    EXPECT_EQ(session.state(), State::armed);
}

TEST_F(SessionLidTest, PersistentSessionCanOutliveAnOpenLid) {
    Prefs::setStayOnAfterOpeningLid(true);
    power().setExternalCount(1);
    auto& session = start();
    session.arm("menu");
    closeLid();
    ASSERT_THAT(assertionNames(), ElementsAre(kArmedName, kGuardName));

    log.clear();
    openLid();
    EXPECT_EQ(session.state(), State::armed);
    EXPECT_EQ(lidOpens, 1);
    // The guard and the heartbeat go with the open lid; the closing watch is back for the next
    // close, sampling the hinge 20 times a second.
    EXPECT_THAT(assertionNames(), ElementsAre(kArmedName));
    const auto calls = power().scalarCalls();
    const auto reads = hinge().reportReads();
    advance(1);
    EXPECT_EQ(power().scalarCalls(), calls);
    EXPECT_NEAR(hinge().reportReads() - reads, 20, 1);

    // An unreadable lid keeps the session.
    Log::setVerbose(true);
    power().setLid(sim::SimPower::Lid::unknown);
    runUntilIdle();
    EXPECT_EQ(session.state(), State::armed);
    EXPECT_TRUE(log.contains("lid state unavailable; preserving current state"));
}

TEST_F(SessionLidTest,
       AFallOf25PreBlanksOnceAGoodReadingShowsItStopsTheWatchAndTheShutLidTakesOver) {
    power().setExternalCount(1);
    auto& session = start();
    session.arm("menu");

    // 110, 112, 96, then 87 while the sensor misses a few reads: a fall of 25 from the highest
    // reading counts once a good reading shows it. That blank fails, and nobody is told.
    for (const double angle : {110.0, 112.0, 96.0}) {
        hinge().setAngle(angle);
        advance(0.05);
    }
    EXPECT_EQ(screen().instantIdleCalls(), 0);
    hinge().setAngle(87);
    hinge().failReads(3);
    advance(0.15);
    EXPECT_EQ(screen().instantIdleCalls(), 0);
    failBlanks(laptop);
    advance(0.05);
    EXPECT_EQ(screen().instantIdleCalls(), 1);
    EXPECT_TRUE(
        log.contains("closing while docked (lid at 87°) - blanking now, lid still open, "
                     "so powerd can drop desktop mode for free"));
    EXPECT_TRUE(notices.empty());
    screen().setDisplayIdleStatus(0);
    // The watch stopped with the pre-blank.
    const auto reads = hinge().reportReads();
    advance(1);
    EXPECT_EQ(hinge().reportReads(), reads);

    // The lid shuts: the guard and the heartbeat take over, the pre-blank does not expire.
    closeLid();
    EXPECT_THAT(assertionNames(), ElementsAre(kArmedName, kGuardName));
    advance(25);
    EXPECT_FALSE(log.contains(kPreBlankExpired));
}

TEST_F(SessionLidTest, ALidLoweredSlowlyPreBlanksAt50AndLeftHalfOpenResumesTheWatch20sLater) {
    power().setExternalCount(1);
    auto& session = start();
    session.arm("menu");

    // From 70 there is no fall of 25, so the trigger is reaching 50.
    const auto blanks = screen().instantIdleCalls();
    hinge().setAngle(70);
    advance(0.1);
    hinge().moveTo(40, 3);
    advance(3);
    EXPECT_TRUE(
        log.contains("closing while docked (lid at 50°) - blanking now, lid still open, "
                     "so powerd can drop desktop mode for free"));
    EXPECT_EQ(screen().instantIdleCalls(), blanks + 1);

    // The user leaves the lid half open: 20 s after the blank (at 2 s of 3) the watch resumes,
    // without waking the display.
    hinge().setAngle(100);
    advance(18.9);
    EXPECT_FALSE(log.contains(kPreBlankExpired));
    const auto readsBeforeExpiry = hinge().reportReads();
    advance(0.5);
    EXPECT_TRUE(log.contains(kPreBlankExpired));
    EXPECT_EQ(session.state(), State::armed);
    EXPECT_GT(hinge().reportReads(), readsBeforeExpiry);
    EXPECT_EQ(screen().instantIdleCalls(), blanks + 1);
}

TEST_F(SessionLidTest, AGestureCommittedWhileDockedBlanksAtOnce) {
    power().setExternalCount(1);
    start();
    log.clear();
    commitGesture();
    EXPECT_EQ(screen().instantIdleCalls(), 1);
    EXPECT_THAT(log.messages(),
                ElementsAre("gesture committed; flag set provisionally, awaiting confirmed close",
                            "closing while docked (gesture committed) - blanking now, lid still "
                            "open, so powerd can drop desktop mode for free",
                            "displays slept via SkyLight (instant)"));
}

TEST_F(SessionLidTest, RefusedGuardIsRetriedAtTheNextReevaluation) {
    power().setAssertionPolicy(sim::SimPower::AssertionPolicy::refuseSystemSleep);
    start().arm("menu");
    closeLid();
    EXPECT_TRUE(log.contains("lid-shut guard refused; relying on the kernel flag alone"));
    EXPECT_THAT(assertionNames(), ElementsAre(kArmedName));

    power().setAssertionPolicy(sim::SimPower::AssertionPolicy::allow);
    power().postWorkspace(os::Workspace::Notification::screenParametersDidChange);
    runUntilIdle();
    EXPECT_THAT(assertionNames(), ElementsAre(kArmedName, kGuardName));
}

TEST_F(SessionLidTest, DisplayChangesWithTheLidShutReblankOnceAndNotTooSoon) {
    power().setExternalCount(3);
    start().arm("menu");
    closeLid();
    ASSERT_EQ(screen().instantIdleCalls(), 1);

    // Five seconds after the close-time blank: too soon for another.
    advance(5);
    power().detachExternal();
    advance(2);
    EXPECT_TRUE(log.contains("external displays: 3 → 2"));
    EXPECT_EQ(screen().instantIdleCalls(), 1);

    // Twelve seconds after it: a burst of changes yields one re-blank, 1.5 s after the last.
    advance(5);
    power().detachExternal();
    advance(0.5);
    power().attachExternal();
    advance(0.5);
    power().detachExternal();
    advance(1.4);
    EXPECT_EQ(screen().instantIdleCalls(), 1);
    advance(0.2);
    EXPECT_EQ(screen().instantIdleCalls(), 2);
    EXPECT_EQ(log.count("display set changed with the lid shut; blanking again"), 1u);
    advance(10);
    EXPECT_EQ(screen().instantIdleCalls(), 2);
}

}  // namespace
}  // namespace noctave::test

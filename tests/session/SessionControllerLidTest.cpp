// What the session does when the lid shuts and opens: lock and blank, the notice when either
// fails, the pre-blank and its closing watch, the lid-shut guard and the relight guard.
#include "core/support/Prefs.hpp"
#include "platform/sim/SimProcesses.hpp"
#include "tests/session/SessionFixture.hpp"

namespace noctave::test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

using SessionLidTest = SessionFixture;

constexpr const char* kLockFailed = "The Mac could not be locked.";
constexpr const char* kBlankFailed = "The built-in display may still be on.";

TEST_F(SessionLidTest, ClosingLocksAndBlanksAndNamesEveryFailureInOneNotice) {
    auto& session = start();

    // No session: the close is only remembered.
    log.clear();
    closeLid();
    EXPECT_EQ(power().sessionLocks(), 0);
    EXPECT_EQ(power().instantIdleCalls(), 0);
    EXPECT_THAT(log.lines(), IsEmpty());
    openLid();

    // Everything works: locked, blanked, no notice.
    session.arm("menu");
    log.clear();
    closeLid();
    EXPECT_EQ(power().sessionLocks(), 1);
    EXPECT_EQ(power().instantIdleCalls(), 1);
    EXPECT_EQ(log.lines().front(), "INF lid shut; arm stands");
    EXPECT_TRUE(notices.empty());
    openLid();

    // Only the blank fails (the instant call fails, and so does the fallback, twice).
    power().setDisplayIdleStatus(-1);
    const os::Processes::SpawnResult exit1{true, 1, {}};
    laptop.processes().scriptSpawn(exit1);
    laptop.processes().scriptSpawn(exit1);
    session.arm("menu");
    closeLid();
    EXPECT_TRUE(log.contains("pmset displaysleepnow failed twice; display may remain lit"));
    EXPECT_THAT(notices, ElementsAre(Notice{"Noctave needs attention", kBlankFailed}));
    EXPECT_EQ(session.state(), State::armed);
    openLid();

    // Both fail: one notice, the lock first.
    power().setSessionLockLibrary(sim::SimPower::Library::missing);
    laptop.processes().scriptSpawn(exit1);
    laptop.processes().scriptSpawn(exit1);
    session.arm("menu");
    notices.clear();
    log.clear();
    closeLid();
    EXPECT_THAT(notices, ElementsAre(Notice{"Noctave needs attention",
                                            std::string(kLockFailed) + " " + kBlankFailed}));
    EXPECT_EQ(log.count("macOS Lock Screen action is unavailable"), 1u);
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

    // The same lid state reported again changes nothing.
    log.clear();
    power().postInterestMessage(0);
    runUntilIdle();
    EXPECT_THAT(log.lines(), IsEmpty());
    EXPECT_EQ(lidOpens, 1);

    // An unreadable lid keeps the session but stops the watches until the lid reads again.
    Log::setVerbose(true);
    power().setLid(sim::SimPower::Lid::unknown);
    runUntilIdle();
    EXPECT_EQ(session.state(), State::armed);
    EXPECT_TRUE(log.contains("lid state unavailable; preserving current state"));
    const auto readsWhileUnknown = hinge().reportReads();
    advance(1);
    EXPECT_EQ(hinge().reportReads(), readsWhileUnknown);
}

TEST_F(SessionLidTest, ClosingWatchPreBlanksWhenTheLidFallsFastOrLow) {
    power().setExternalCount(1);
    auto& session = start();
    session.arm("menu");

    // 110, 112, 96, 87: a fall of 25 from the highest reading counts.
    log.clear();
    for (const double angle : {110.0, 112.0, 96.0}) {
        hinge().setAngle(angle);
        advance(0.05);
    }
    EXPECT_EQ(power().instantIdleCalls(), 0);
    hinge().setAngle(87);
    advance(0.05);
    EXPECT_EQ(power().instantIdleCalls(), 1);
    EXPECT_THAT(log.messages(),
                ::testing::Contains("closing while docked (lid at 87°) - blanking now, lid still "
                                    "open, so powerd can drop desktop mode for free"));
    // The watch stopped with the pre-blank.
    const auto reads = hinge().reportReads();
    advance(1);
    EXPECT_EQ(hinge().reportReads(), reads);

    // The lid shuts: the guard and the heartbeat take over, the pre-blank does not expire.
    closeLid();
    EXPECT_THAT(assertionNames(), ElementsAre(kArmedName, kGuardName));
    advance(25);
    EXPECT_FALSE(log.contains("pre-blank expired without a close; standing down"));
    openLid();
    EXPECT_EQ(session.state(), State::disarmed);
}

TEST_F(SessionLidTest, PreBlankWithoutACloseStandsDownAfterTwentySeconds) {
    power().setExternalCount(1);
    auto& session = start();
    session.arm("menu");

    // Lowered slowly from 70: no fall of 25, so the trigger is reaching 50.
    hinge().setAngle(70);
    advance(0.1);
    hinge().moveTo(40, 3);
    advance(3);
    EXPECT_TRUE(
        log.contains("closing while docked (lid at 50°) - blanking now, lid still open, "
                     "so powerd can drop desktop mode for free"));
    EXPECT_EQ(power().instantIdleCalls(), 1);

    // The user changes their mind and leaves the lid half open (the blank came at 2 s of 3).
    hinge().setAngle(100);
    advance(18.9);
    EXPECT_FALSE(log.contains("pre-blank expired without a close; standing down"));
    const auto reads = hinge().reportReads();
    advance(0.5);
    EXPECT_TRUE(log.contains("pre-blank expired without a close; standing down"));
    EXPECT_EQ(session.state(), State::armed);
    // Watching for the next close again, without waking the display.
    EXPECT_GT(hinge().reportReads(), reads);
    EXPECT_EQ(power().instantIdleCalls(), 1);
}

TEST_F(SessionLidTest, MissedReadingsAndFailedBlanksOutsideTheCloseAreShrugged) {
    power().setExternalCount(2);
    auto& session = start();
    session.arm("menu");
    hinge().setAngle(110);
    advance(0.1);

    // The lid drops while the sensor misses a few reads: the watch waits for a good one.
    hinge().setAngle(60);
    hinge().failReads(3);
    advance(0.15);
    EXPECT_EQ(power().instantIdleCalls(), 0);
    power().setDisplayIdleStatus(-1);
    const os::Processes::SpawnResult exit1{true, 1, {}};
    for (int attempt = 0; attempt < 4; ++attempt) {
        laptop.processes().scriptSpawn(exit1);
    }
    advance(0.05);
    EXPECT_EQ(power().instantIdleCalls(), 1);
    EXPECT_TRUE(
        log.contains("closing while docked (lid at 60°) - blanking now, lid still open, "
                     "so powerd can drop desktop mode for free"));

    // That blank failed, and so will the relight after a display change: nobody is told.
    power().setDisplayIdleStatus(0);
    closeLid();
    advance(12);
    power().setDisplayIdleStatus(-1);
    power().detachExternal();
    advance(2);
    EXPECT_TRUE(log.contains("display set changed with the lid shut; blanking again"));
    EXPECT_EQ(power().instantIdleCalls(), 3);
    EXPECT_TRUE(notices.empty());
    EXPECT_EQ(session.state(), State::armed);
}

TEST_F(SessionLidTest, DockedGestureBlanksAtCommitAndHoldsTheGuardOnceShut) {
    power().setExternalCount(1);
    auto& session = start();

    log.clear();
    commitGesture();
    EXPECT_EQ(session.state(), State::pending);
    EXPECT_EQ(power().instantIdleCalls(), 1);
    EXPECT_THAT(log.messages(),
                ElementsAre("gesture committed; flag set provisionally, awaiting confirmed close",
                            "closing while docked (gesture committed) - blanking now, lid still "
                            "open, so powerd can drop desktop mode for free",
                            "displays slept via SkyLight (instant)"));

    closeLid();
    EXPECT_EQ(session.state(), State::armed);
    EXPECT_THAT(assertionNames(), ElementsAre(kArmedName, kGuardName));
    EXPECT_TRUE(log.contains(
        "lid-shut guard held (blocks the lid-close sleep macOS requests when an external display "
        "disappears; AC only)"));

    Log::setVerbose(true);
    openLid();
    EXPECT_EQ(session.state(), State::disarmed);
    EXPECT_THAT(assertionNames(), IsEmpty());
    EXPECT_TRUE(log.contains("lid-shut guard released"));
}

TEST_F(SessionLidTest, UndockedSessionNeverPreBlanksNorWatchesTheHinge) {
    auto& session = start();
    commitGesture();
    EXPECT_EQ(power().instantIdleCalls(), 0);
    session.arm("menu");
    const auto reads = hinge().reportReads();
    hinge().moveTo(10, 1);
    advance(2);
    EXPECT_EQ(hinge().reportReads(), reads);
    EXPECT_EQ(power().instantIdleCalls(), 0);
}

TEST_F(SessionLidTest, RefusedGuardIsRetriedAtTheNextReevaluation) {
    power().setAssertionPolicy(sim::SimPower::AssertionPolicy::refuseSystemSleep);
    auto& session = start();
    session.arm("menu");
    closeLid();
    EXPECT_TRUE(log.contains("lid-shut guard refused; relying on the kernel flag alone"));
    EXPECT_THAT(assertionNames(), ElementsAre(kArmedName));

    power().setAssertionPolicy(sim::SimPower::AssertionPolicy::allow);
    power().postWorkspace(os::Workspace::Notification::screenParametersDidChange);
    runUntilIdle();
    EXPECT_THAT(assertionNames(), ElementsAre(kArmedName, kGuardName));
    EXPECT_EQ(session.state(), State::armed);
}

TEST_F(SessionLidTest, DisplayChangesWithTheLidShutReblankOnceAndNotTooSoon) {
    power().setExternalCount(3);
    auto& session = start();
    session.arm("menu");
    closeLid();
    ASSERT_EQ(power().instantIdleCalls(), 1);

    // Five seconds after the close-time blank: too soon for another.
    advance(5);
    power().detachExternal();
    advance(2);
    EXPECT_TRUE(log.contains("external displays: 3 → 2"));
    EXPECT_EQ(power().instantIdleCalls(), 1);

    // Twelve seconds after it: a burst of changes yields one re-blank, 1.5 s after the last.
    advance(5);
    power().detachExternal();
    advance(0.5);
    power().attachExternal();
    advance(0.5);
    power().detachExternal();
    advance(1.4);
    EXPECT_EQ(power().instantIdleCalls(), 1);
    advance(0.2);
    EXPECT_EQ(power().instantIdleCalls(), 2);
    EXPECT_EQ(log.count("display set changed with the lid shut; blanking again"), 1u);
    advance(10);
    EXPECT_EQ(power().instantIdleCalls(), 2);
    EXPECT_EQ(session.state(), State::armed);
}

}  // namespace
}  // namespace noctave::test

// Arming, disarming, the gesture's one-shot sessions, the restore retry, keep-awake mode,
// shutdown and what a crash leaves behind.
#include <unistd.h>

#include "core/os/PowerManagement.hpp"
#include "core/os/System.hpp"
#include "core/support/Prefs.hpp"
#include "platform/sim/SimKeyboard.hpp"
#include "platform/sim/SimProcesses.hpp"
#include "tests/session/SessionFixture.hpp"

namespace noctave::test {
namespace {

using SessionControllerTest = SessionFixture;

TEST_F(SessionControllerTest, ArmHoldsFlagAssertionAndMarkerOrRollsBackWhenRefused) {
    auto& session = start();
    EXPECT_TRUE(log.contains("session ready (lid-angle sensor: yes)"));

    power().setRefuseFlag(true);
    log.clear();
    EXPECT_FALSE(session.arm("menu"));
    EXPECT_EQ(session.state(), State::disarmed);
    EXPECT_THAT(notices,
                ElementsAre(Notice{"Could not change the Mac's sleep setting", "Try again."}));
    expectNothingHeld();

    // A refused gesture commit is reported the same way and stays disarmed.
    commitGesture();
    EXPECT_EQ(session.state(), State::disarmed);
    EXPECT_THAT(log.lines(), ElementsAre("ERR could not set lid-close kernel flag",
                                         "ERR could not set lid-close kernel flag",
                                         "ERR gesture commit FAILED to engage power state"));

    // A platform that knows who holds the lid says so instead of "Try again."
    power().setLidFlagFailure("xfce4-power-manager handles the lid, and would not leave it.");
    notices.clear();
    EXPECT_FALSE(session.arm("menu"));
    EXPECT_THAT(notices, ElementsAre(Notice{"Could not change the Mac's sleep setting",
                                            "xfce4-power-manager handles the lid, and would not "
                                            "leave it."}));
    power().setLidFlagFailure({});

    // The flag is accepted but the assertion is refused: the bit is set, then rolled back.
    power().setRefuseFlag(false);
    power().setAssertionPolicy(sim::SimPower::AssertionPolicy::refuseAll);
    std::vector<bool> flagBeforeEachCall;
    power().setOnScalarCall([&] { flagBeforeEachCall.push_back(power().kernelFlag()); });
    notices.clear();
    log.clear();
    EXPECT_FALSE(session.arm("menu"));
    power().setOnScalarCall(nullptr);
    EXPECT_THAT(flagBeforeEachCall, ElementsAre(false, true));
    EXPECT_THAT(log.lines(),
                ElementsAre("ERR could not create idle-sleep assertion; rolling back"));
    EXPECT_THAT(notices, ElementsAre(Notice{"Could not keep the Mac awake",
                                            "The power assertion was refused."}));
    expectNothingHeld();
    EXPECT_TRUE(states.empty());

    // Notices are requests: with nobody to show them, the failure still changes nothing.
    session.onNotice = nullptr;
    EXPECT_FALSE(session.arm("menu"));
    EXPECT_FALSE(power().kernelFlag());

    power().setAssertionPolicy(sim::SimPower::AssertionPolicy::allow);
    log.clear();
    EXPECT_TRUE(session.arm("menu"));
    EXPECT_EQ(session.state(), State::armed);
    EXPECT_TRUE(power().kernelFlag());
    EXPECT_THAT(assertionNames(), ElementsAre(kArmedName));
    EXPECT_TRUE(markerExists());
}

TEST_F(SessionControllerTest, ARepeatedArmOrDisarmIsSilentAndTheDisarmGivesEverythingBack) {
    auto& session = start();
    log.clear();
    EXPECT_TRUE(session.arm("menu"));
    const auto calls = power().scalarCalls();
    EXPECT_TRUE(session.arm("hotkey"));
    EXPECT_EQ(power().scalarCalls(), calls);
    EXPECT_TRUE(session.toggle("right-click"));
    expectNothingHeld();
    EXPECT_TRUE(session.disarm("menu"));
    EXPECT_THAT(log.lines(), ElementsAre("INF armed (menu)", "INF disarmed (right-click)"));
    EXPECT_THAT(states, ElementsAre(State::armed, State::disarmed));
}

// The whole Fn + close road with the real gesture driver on the virtual hinge and keyboard.
TEST_F(SessionControllerTest, FnHeldWhileClosingArmsAOneShotSessionThatEndsWhenTheLidOpens) {
    Prefs::setStayOnAfterOpeningLid(true);  // does not keep a one-shot session
    auto& session = start();

    log.clear();
    hinge().setAngle(110);
    laptop.keyboard().setFunctionHeld(true);
    advance(0.2);
    hinge().moveTo(32, 0.8);
    advance(0.85);
    EXPECT_EQ(session.state(), State::pending);
    EXPECT_TRUE(power().kernelFlag());
    EXPECT_THAT(assertionNames(), ElementsAre(kArmedName));
    EXPECT_TRUE(markerExists());
    EXPECT_THAT(
        log.lines(),
        ElementsAre("INF gesture: committed @32° (from 110°) - fn may now be released",
                    "INF gesture committed; flag set provisionally, awaiting confirmed close"));

    // A second commit, like one in any other state than disarmed, changes nothing.
    const auto calls = power().scalarCalls();
    commitGesture();
    EXPECT_EQ(power().scalarCalls(), calls);

    // Fn may go now; the lid goes on down and shuts.
    laptop.keyboard().setFunctionHeld(false);
    hinge().moveTo(0, 0.3);
    advance(0.35);
    EXPECT_EQ(session.state(), State::pending);
    closeLid();
    EXPECT_EQ(session.state(), State::armed);
    EXPECT_TRUE(log.contains("lid shut; gesture confirmed - one-shot session active"));
    EXPECT_EQ(screen().sessionLocks(), 1);
    EXPECT_EQ(screen().instantIdleCalls(), 1);

    // Once the lid shut, neither a late cancel nor the gesture's commit timeout withdraws it.
    cancelGesture();
    advance(30);
    EXPECT_EQ(session.state(), State::armed);
    EXPECT_EQ(log.count("gesture: cancelled (committed but lid never closed)"), 0u);

    hinge().moveTo(110, 0.8);
    openLid();
    EXPECT_TRUE(log.contains("disarmed (lid-open (one-shot))"));
    EXPECT_EQ(lidOpens, 1);
    expectNothingHeld();
    EXPECT_THAT(states, ElementsAre(State::pending, State::armed, State::disarmed));
}

TEST_F(SessionControllerTest, PendingGestureIsWithdrawnPromotedOrConfirmedAtOnce) {
    auto& session = start();

    commitGesture();
    log.clear();
    cancelGesture();
    expectNothingHeld();
    EXPECT_THAT(log.lines(), ElementsAre("INF gesture abandoned before close; no session created"));
    cancelGesture();  // nothing pending: nothing happens
    EXPECT_EQ(log.lines().size(), 1u);

    // The lid was unreadable at the commit and is then reported open: the same withdrawal, and
    // the owner hears about the open lid.
    power().setLid(sim::SimPower::Lid::unknown);
    runUntilIdle();
    commitGesture();
    openLid();
    EXPECT_EQ(lidOpens, 1);
    EXPECT_FALSE(power().kernelFlag());
    EXPECT_EQ(log.count("gesture abandoned before close; no session created"), 2u);

    // Arming promotes a pending gesture without touching the power; it is then persistent, so
    // without the stay-on preference opening the lid ends it as "lid-open".
    commitGesture();
    const auto calls = power().scalarCalls();
    const auto created = power().assertionsCreated();
    EXPECT_TRUE(session.arm("hotkey"));
    EXPECT_EQ(power().scalarCalls(), calls);
    EXPECT_EQ(power().assertionsCreated(), created);
    EXPECT_TRUE(log.contains("armed (hotkey, promoted from pending gesture)"));
    closeLid();
    openLid();
    EXPECT_TRUE(log.contains("disarmed (lid-open)"));

    // A commit queued for the main thread that finds the lid already shut arms in one turn.
    states.clear();
    controller->gesture()->onCommit();
    power().closeLid();
    runUntilIdle();
    EXPECT_THAT(states, ElementsAre(State::pending, State::armed));
    EXPECT_EQ(log.count("lid shut; gesture confirmed - one-shot session active"), 1u);
}

TEST_F(SessionControllerTest,
       UnconfirmedClearRetriesEveryFiveSecondsUntilTheKernelAcceptsAndADisarmRetriesAtOnce) {
    auto& session = start();
    session.arm("menu");
    log.clear();
    reachRestoreFailed();
    EXPECT_TRUE(power().kernelFlag());
    EXPECT_THAT(assertionNames(), IsEmpty());
    EXPECT_TRUE(markerExists()) << "kept for a start after a crash until a clear is confirmed";
    EXPECT_THAT(
        log.lines(),
        ElementsAre("WRN kernel flag clear failed on primary connection; trying fresh connection",
                    "ERR disarm FAILED: kernel flag clear not confirmed; entering retry state"));
    EXPECT_THAT(notices, ElementsAre(Notice{"Lid sleep could not be restored",
                                            "Retrying. Open the lid before leaving your Mac; a "
                                            "restart always resets this."}));

    advance(4.9);
    EXPECT_EQ(log.lines().size(), 2u);
    advance(0.1);
    EXPECT_EQ(log.count("kernel flag clear failed on primary connection; trying fresh connection"),
              2u);
    EXPECT_EQ(session.state(), State::restoreFailed);

    power().setRefuseFlag(false);
    advance(5);
    EXPECT_EQ(session.state(), State::disarmed);
    EXPECT_FALSE(power().kernelFlag());
    EXPECT_FALSE(markerExists());
    EXPECT_TRUE(log.contains("kernel flag restoration confirmed after retry"));
    EXPECT_THAT(states, ElementsAre(State::armed, State::restoreFailed, State::disarmed));

    // A manual disarm in the retry state is a retry of its own: refused it stays, accepted it
    // ends the state and its timer.
    reachRestoreFailed();
    EXPECT_FALSE(session.disarm("menu"));
    EXPECT_EQ(session.state(), State::restoreFailed);
    power().setRefuseFlag(false);
    EXPECT_TRUE(session.disarm("menu"));
    EXPECT_EQ(session.state(), State::disarmed);
    const auto calls = power().scalarCalls();
    advance(30);
    EXPECT_EQ(power().scalarCalls(), calls);
}

// A gesture withdrawn before the lid shut, and an arm rolled back after a refused assertion, both
// leave the flag set when the kernel refuses the clear: they must end as a failed disarm does,
// never as "ready", and a quit in that state keeps the marker for the next start.
TEST_F(SessionControllerTest, WithdrawalsAndRollbacksWhoseClearIsRefusedRetryLikeAFailedDisarm) {
    const auto refusedWithdrawal = [&](const std::function<void()>& withdraw) {
        commitGesture();
        ASSERT_EQ(controller->state(), State::pending);
        power().setRefuseFlag(true);
        notices.clear();
        withdraw();
        EXPECT_EQ(controller->state(), State::restoreFailed);
        EXPECT_TRUE(power().kernelFlag());
        EXPECT_TRUE(markerExists());
        EXPECT_THAT(notices, ElementsAre(Notice{"Lid sleep could not be restored",
                                                "Retrying. Open the lid before leaving your Mac; "
                                                "a restart always resets this."}));
        power().setRefuseFlag(false);
        advance(5);
        EXPECT_EQ(controller->state(), State::disarmed);
        expectNothingHeld();
    };
    start();
    refusedWithdrawal([&] { cancelGesture(); });
    refusedWithdrawal([&] {
        power().setLid(sim::SimPower::Lid::unknown);
        runUntilIdle();
        openLid();
    });
    EXPECT_EQ(log.count("disarm FAILED: kernel flag clear not confirmed; entering retry state"),
              2u);
    EXPECT_FALSE(log.contains("gesture abandoned before close; no session created"));

    // The assertion is refused and so is the rollback: the flag may not be left set unmarked.
    power().setAssertionPolicy(sim::SimPower::AssertionPolicy::refuseAll);
    power().setRefuseFlag(false);
    power().setOnScalarCall([&] {
        if (power().kernelFlag()) {
            power().setRefuseFlag(true);  // the connection dies between the two calls
        }
    });
    notices.clear();
    EXPECT_FALSE(controller->arm("menu"));
    power().setOnScalarCall(nullptr);
    EXPECT_EQ(controller->state(), State::restoreFailed);
    EXPECT_TRUE(power().kernelFlag());
    EXPECT_TRUE(markerExists());
    ASSERT_EQ(notices.size(), 2u);
    EXPECT_EQ(notices[0],
              (Notice{"Could not keep the Mac awake", "The power assertion was refused."}));
    EXPECT_EQ(notices[1].first, "Lid sleep could not be restored");

    // Quitting now keeps the marker, and the next start clears what this one could not.
    controller->shutdown();
    EXPECT_TRUE(markerExists());
    controller.reset();
    power().setRefuseFlag(false);
    laptop.processes().setAlive(::getpid(), false);
    start();
    expectNothingHeld();
}

TEST_F(SessionControllerTest, NewSessionDuringARestoreRetryIsNotClearedByTheRetry) {
    auto& session = start();
    reachRestoreFailed();
    ASSERT_EQ(session.state(), State::restoreFailed);

    // While the kernel still refuses, arming fails and the retry goes on.
    notices.clear();
    EXPECT_FALSE(session.arm("menu"));
    EXPECT_EQ(session.state(), State::restoreFailed);
    EXPECT_THAT(notices,
                ElementsAre(Notice{"Could not change the Mac's sleep setting", "Try again."}));

    // The kernel accepts again and the user arms before the next retry tick.
    power().setRefuseFlag(false);
    advance(2);
    EXPECT_TRUE(session.arm("menu"));
    ASSERT_EQ(session.state(), State::armed);

    advance(30);
    EXPECT_EQ(session.state(), State::armed);
    EXPECT_TRUE(power().kernelFlag());
    EXPECT_THAT(assertionNames(), ElementsAre(kArmedName));
    EXPECT_TRUE(markerExists());
    EXPECT_FALSE(log.contains("kernel flag restoration confirmed after retry"));
    EXPECT_THAT(states, ElementsAre(State::armed, State::restoreFailed, State::armed));

    // The session still ends normally.
    EXPECT_TRUE(session.disarm("menu"));
    EXPECT_FALSE(power().kernelFlag());
}

TEST_F(SessionControllerTest, KeepAwakeFollowsItsPreferenceAndIgnoresTheSession) {
    Prefs::setKeepAwake(true);
    auto& session = start();

    // Applying again takes no second assertion; a session comes and goes beside it.
    session.applyKeepAwakePreference();
    session.arm("menu");
    session.disarm("menu");
    EXPECT_THAT(assertionNames(), ElementsAre("Noctave: keep awake (lid open)"));

    // Refused: the preference switches itself off, quietly for the user.
    Prefs::setKeepAwake(false);
    session.applyKeepAwakePreference();
    EXPECT_THAT(assertionNames(), IsEmpty());
    power().setAssertionPolicy(sim::SimPower::AssertionPolicy::refuseAll);
    Prefs::setKeepAwake(true);
    log.clear();
    session.applyKeepAwakePreference();
    EXPECT_FALSE(Prefs::keepAwake());
    EXPECT_THAT(log.lines(), ElementsAre("ERR keep-awake FAILED: assertion refused"));
    EXPECT_TRUE(notices.empty());
}

TEST_F(SessionControllerTest, ShutdownDisarmsFirstAndStopsEverything) {
    Prefs::setKeepAwake(true);
    power().setExternalCount(1);
    auto& session = start();
    session.arm("menu");
    closeLid();
    ASSERT_EQ(assertionNames().size(), 3u);

    log.clear();
    session.shutdown();
    EXPECT_EQ(session.state(), State::disarmed);
    const auto lines = log.lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), "INF disarmed (quit)");
    EXPECT_EQ(lines.back(), "INF clean exit");
    expectNothingHeld();
    EXPECT_EQ(hinge().openDevices(), 0);
    EXPECT_EQ(power().interestRegistrations(), 0);
    EXPECT_EQ(power().reconfigurationRegistrations(), 0);
    EXPECT_EQ(power().powerNotificationSources(), 0);

    // No timer of the session runs on: the heartbeat, closing watch and gesture polling stopped.
    const auto calls = power().scalarCalls();
    const auto reads = hinge().reportReads();
    advance(10);
    EXPECT_EQ(power().scalarCalls(), calls);
    EXPECT_EQ(hinge().reportReads(), reads);
}

TEST_F(SessionControllerTest, UnopenableRootDomainFailsConstructionBeforeAnythingStarts) {
    power().setRootDomainPresent(false);
    EXPECT_THROW({ SessionController session; }, LidSleepPolicy::OpenError);
    runUntilIdle();
    EXPECT_EQ(hinge().deviceOpens(), 0);
    EXPECT_EQ(power().workspaceObservers(), 0);
}

TEST_F(SessionControllerTest, ReportsQueuedForADestroyedControllerDoNothing) {
    power().setExternalCount(1);
    start();
    controller->arm("menu");
    controller->gesture()->onCommit();
    power().closeLid();
    power().detachExternal();
    power().postWorkspace(os::Workspace::Notification::didWake);
    controller.reset();
    log.clear();
    advance(10);
    EXPECT_THAT(states, ElementsAre(State::armed));
    EXPECT_FALSE(log.contains("lid shut; arm stands"));
    EXPECT_FALSE(power().kernelFlag());
    EXPECT_EQ(power().workspaceObservers(), 0);
}

}  // namespace
}  // namespace noctave::test

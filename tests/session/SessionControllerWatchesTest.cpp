// The watches that keep a closed-lid session safe and in force: the flag heartbeat against the
// power daemon, the lid-shut guard on mains, re-apply after wake, power and display changes, and
// the battery guard.
#include <optional>

#include "core/support/Prefs.hpp"
#include "platform/sim/SimNotifications.hpp"
#include "tests/session/SessionFixture.hpp"

namespace noctave::test {
namespace {

class SessionWatchesTest : public SessionFixture {
  protected:
    // One power-source report, delivered before the next one is made.
    void report(std::optional<int> percent) {
        power().setBatteryPercent(percent);
        runUntilIdle();
    }
    void switchToBattery(bool onBattery) {
        power().setOnBattery(onBattery);
        runUntilIdle();
    }
};

TEST_F(SessionWatchesTest, DockedSessionOnMainsSurvivesLosingItsMonitorWithTheLidShut) {
    power().setExternalCount(1);
    auto& session = start();
    ASSERT_TRUE(session.arm("menu"));

    closeLid();
    EXPECT_THAT(assertionNames(), ElementsAre(kArmedName, kGuardName));
    EXPECT_TRUE(log.contains(
        "lid-shut guard held (blocks the lid-close sleep macOS requests when an external display "
        "disappears; AC only)"));
    EXPECT_TRUE(
        log.contains("flag heartbeat on (100 ms) - the lid-close bit is shared with powerd"));

    // The monitor is unplugged: the power daemon drops the bit and asks for sleep. The display
    // change puts the bit straight back.
    log.clear();
    power().detachExternal();
    advance(0.1);
    EXPECT_TRUE(power().kernelFlag());
    EXPECT_THAT(log.messages(), ElementsAre("external displays: 1 → 0"));

    // Even when the kernel then refuses the bit, the guard keeps the machine awake on mains.
    power().setRefuseFlag(true);
    power().daemonClearsFlag();
    advance(2);
    EXPECT_FALSE(power().kernelFlag());
    EXPECT_THAT(power().sleepEvents(), IsEmpty());
    EXPECT_EQ(session.state(), State::armed);
    power().setRefuseFlag(false);
    advance(0.1);
    EXPECT_TRUE(power().kernelFlag());

    Log::setVerbose(true);
    openLid();
    EXPECT_EQ(session.state(), State::disarmed);
    EXPECT_TRUE(log.contains("disarmed (lid-open)"));
    EXPECT_TRUE(log.contains("lid-shut guard released"));
    expectNothingHeld();
    EXPECT_THAT(power().sleepEvents(), IsEmpty());
}

TEST_F(SessionWatchesTest, OnBatteryTheHeartbeatAloneOutrunsThePowerDaemon) {
    power().setOnBattery(true);
    power().setExternalCount(1);
    auto& session = start();
    session.arm("menu");
    closeLid();

    power().detachExternal();
    advance(0.1);
    EXPECT_TRUE(power().kernelFlag());

    // The daemon clears the bit on its own, with no display change to tell the session: the
    // heartbeat sets it again within 100 ms, well before the sleep request lands.
    for (int round = 0; round < 5; ++round) {
        power().daemonClearsFlag();
        advance(0.1);
        EXPECT_TRUE(power().kernelFlag());
    }
    advance(2);
    EXPECT_THAT(power().sleepEvents(), IsEmpty());

    // On battery the guard counts for nothing: without the heartbeat's bit the machine sleeps.
    power().setRefuseFlag(true);
    power().daemonClearsFlag();
    advance(2);
    EXPECT_EQ(power().sleepEvents().size(), 1u);
    EXPECT_EQ(session.state(), State::armed);
}

TEST_F(SessionWatchesTest,
       WakePowerAndDisplayChangesReapplyTheFlagOnlyDuringASessionWhichOnlyARefusalAfterAWakeEnds) {
    auto& session = start();
    log.clear();
    power().postWorkspace(os::Workspace::Notification::didWake);
    switchToBattery(true);
    EXPECT_THAT(log.messages(), ElementsAre("power source changed: battery"));

    session.arm("menu");
    power().daemonClearsFlag();
    power().postWorkspace(os::Workspace::Notification::didWake);
    runUntilIdle();
    EXPECT_TRUE(power().kernelFlag());
    EXPECT_TRUE(log.contains("re-applied lid-close flag after system wake"));
    switchToBattery(false);
    EXPECT_TRUE(log.contains("re-applied lid-close flag after power-source change"));

    // A reconfiguration re-applies too, quietly; only a new display count is news.
    power().daemonClearsFlag();
    log.clear();
    power().postWorkspace(os::Workspace::Notification::screenParametersDidChange);
    runUntilIdle();
    EXPECT_TRUE(power().kernelFlag());
    EXPECT_THAT(log.lines(), IsEmpty());

    // Refused during a reconfiguration: logged, and the session stands.
    power().setRefuseFlag(true);
    power().attachExternal();
    runUntilIdle();
    EXPECT_EQ(log.count("external displays: 0 → 1"), 1u);
    EXPECT_TRUE(log.contains("display reconfiguration: lid-close flag re-apply FAILED"));
    EXPECT_EQ(session.state(), State::armed);
    EXPECT_TRUE(notices.empty());

    // Refused after a wake, the session ends rather than pretend; here the clear is refused
    // too, so the restore notice comes first.
    power().postWorkspace(os::Workspace::Notification::didWake);
    runUntilIdle();
    EXPECT_TRUE(
        log.contains("re-apply FAILED while armed (system wake); disarming to avoid a false "
                     "armed state"));
    EXPECT_EQ(session.state(), State::restoreFailed);
    ASSERT_EQ(notices.size(), 2u);
    EXPECT_EQ(notices[0].first, "Lid sleep could not be restored");
    EXPECT_EQ(notices[1],
              (Notice{"Noctave disarmed", "The Mac's sleep setting could not be maintained."}));
}

TEST_F(SessionWatchesTest, LowBatteryDisarmsAtTheThreshold) {
    power().setOnBattery(true);
    auto& session = start();
    session.arm("menu");

    report(21);
    EXPECT_EQ(session.state(), State::armed);
    log.clear();
    report(20);
    EXPECT_EQ(session.state(), State::disarmed);
    EXPECT_THAT(log.lines(),
                ElementsAre("INF low battery (20%); disarming", "INF disarmed (low-battery)"));
    EXPECT_THAT(notices, ElementsAre(Notice{"Noctave disarmed",
                                            "Battery dropped to 20%. Your Mac can sleep instead "
                                            "of running flat."}));
    // Kept in the desktop's notification history as well.
    EXPECT_EQ(laptop.notifications().posted(), notices);

    // With the safety off, or on mains, nothing disarms; the threshold is read at each report.
    Prefs::setDisarmOnLowBattery(false);
    session.arm("menu");
    report(3);
    EXPECT_EQ(session.state(), State::armed);
    Prefs::setDisarmOnLowBattery(true);
    switchToBattery(false);
    report(3);
    EXPECT_EQ(session.state(), State::armed);
    Prefs::setLowBatteryPercent(50);
    report(60);
    switchToBattery(true);
    EXPECT_EQ(session.state(), State::armed);
    report(45);
    EXPECT_EQ(session.state(), State::disarmed);
    EXPECT_TRUE(log.contains("low battery (45%); disarming"));

    // A pending gesture is watched like an armed session.
    commitGesture();
    report(10);
    EXPECT_EQ(session.state(), State::disarmed);
    EXPECT_FALSE(power().kernelFlag());
}

TEST_F(SessionWatchesTest, OnlyTwoMissingLevelsInARowDisarm) {
    power().setOnBattery(true);
    auto& session = start();
    session.arm("menu");

    // Missing, present, missing: the count starts over. A report on mains also starts it over.
    report(std::nullopt);
    report(60);
    report(std::nullopt);
    switchToBattery(false);
    switchToBattery(true);
    EXPECT_EQ(session.state(), State::armed);

    log.clear();
    report(std::nullopt);
    EXPECT_EQ(session.state(), State::disarmed);
    EXPECT_THAT(log.lines(),
                ElementsAre("WRN battery level unavailable twice while safety enabled; disarming",
                            "INF disarmed (battery-telemetry-lost)"));
    EXPECT_THAT(notices, ElementsAre(Notice{
                             "Noctave disarmed as a precaution",
                             "macOS stopped reporting battery charge, so the Mac can sleep."}));
    EXPECT_EQ(laptop.notifications().posted(), notices);

    // Missing levels seen while no session stands do not count towards the next one.
    report(std::nullopt);
    session.arm("menu");
    report(std::nullopt);
    EXPECT_EQ(session.state(), State::armed);
}

}  // namespace
}  // namespace noctave::test

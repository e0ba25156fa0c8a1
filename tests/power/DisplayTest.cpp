#include <gtest/gtest.h>

#include <vector>

#include "core/os/Workspace.hpp"
#include "core/power/DisplayObserver.hpp"
#include "core/power/DisplaySleeper.hpp"
#include "core/runtime/Runtime.hpp"
#include "platform/sim/SimPower.hpp"
#include "platform/sim/SimProcesses.hpp"
#include "tests/support/SimTest.hpp"

namespace noctave {
namespace {

using Phase = DisplayObserver::Phase;
using Outcome = DisplaySleeper::Outcome;
using sim::SimPower;

class DisplayTest : public test::SimTest {
  protected:
    std::vector<std::vector<std::string>> pmsetRuns(int count) {
        return std::vector<std::vector<std::string>>(count, {"/usr/bin/pmset", "displaysleepnow"});
    }

    SimPower& power = laptop.power();
};

TEST_F(DisplayTest, ExternalCountLeavesOutThePanelAndReadsZeroOnFailure) {
    EXPECT_EQ(DisplayObserver::externalDisplayCount(), 0);
    power.attachExternal();
    EXPECT_EQ(DisplayObserver::externalDisplayCount(), 1);
    power.closeLid();  // the panel leaves the active list; the monitor stays
    EXPECT_EQ(DisplayObserver::externalDisplayCount(), 1);
    power.attachExternal();
    EXPECT_EQ(DisplayObserver::externalDisplayCount(), 2);

    power.setActiveListFillError(1001);
    EXPECT_EQ(DisplayObserver::externalDisplayCount(), 0);
    power.setActiveListFillError(0);
    power.setActiveListError(1001);
    EXPECT_EQ(DisplayObserver::externalDisplayCount(), 0);
}

TEST_F(DisplayTest, ReconfigurationOfTwoDisplaysAnnouncesBothThenReportsBothOffTheMainQueue) {
    power.closeLid();
    DisplayObserver observer;
    std::vector<Phase> phases;
    observer.onChange = [&](Phase phase) {
        EXPECT_FALSE(runtime::mainQueue().isCurrent());
        phases.push_back(phase);
    };
    ASSERT_TRUE(observer.start());
    EXPECT_EQ(log.lines(),
              std::vector<std::string>{"INF watching display configuration (0 external now)"});

    // With the lid shut, the first monitor also takes the panel out: two displays change.
    power.attachExternal();
    runUntilIdle();
    EXPECT_EQ(phases, (std::vector<Phase>{Phase::willChange, Phase::willChange, Phase::didChange,
                                          Phase::didChange}));
}

TEST_F(DisplayTest, TheApplicationHearsOfEachReconfigurationOnTheMainQueue) {
    int notices = 0;
    laptop.system().workspace->addObserver(os::Workspace::Notification::screenParametersDidChange,
                                           [&] {
                                               EXPECT_TRUE(runtime::mainQueue().isCurrent());
                                               ++notices;
                                           });
    power.attachExternal();
    power.detachExternal();
    runUntilIdle();
    EXPECT_EQ(notices, 2);
}

TEST_F(DisplayTest, StartsOnceAndCanStartAgainAfterStop) {
    DisplayObserver observer;
    int calls = 0;
    observer.onChange = [&](Phase) { ++calls; };
    EXPECT_TRUE(observer.start());
    EXPECT_FALSE(observer.start());
    EXPECT_EQ(power.reconfigurationRegistrations(), 1);
    EXPECT_EQ(log.count("watching display configuration (0 external now)"), 1u);

    observer.stop();
    observer.stop();
    power.attachExternal();
    runUntilIdle();
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(power.reconfigurationRegistrations(), 0);

    EXPECT_TRUE(observer.start());
    EXPECT_TRUE(log.contains("watching display configuration (1 external now)"));
    power.detachExternal();
    runUntilIdle();
    EXPECT_EQ(calls, 2);
}

TEST_F(DisplayTest, FailedRegistrationIsLoggedAndLeavesItStopped) {
    power.setRegistrationError(1001);
    DisplayObserver observer;
    EXPECT_FALSE(observer.start());
    EXPECT_FALSE(observer.isStarted());
    EXPECT_EQ(log.lines(), std::vector<std::string>{
                               "ERR could not register for display reconfiguration (1001)"});
}

TEST_F(DisplayTest, DestroyedObserverGetsNoQueuedReconfiguration) {
    auto observer = std::make_unique<DisplayObserver>();
    int calls = 0;
    observer->onChange = [&](Phase) { ++calls; };
    ASSERT_TRUE(observer->start());
    power.attachExternal();
    observer.reset();
    runUntilIdle();
    EXPECT_EQ(calls, 0);
}

TEST_F(DisplayTest, InstantPathSleepsWithoutTheFallback) {
    EXPECT_TRUE(DisplaySleeper::hasFastPath());
    EXPECT_EQ(DisplaySleeper::sleepNow(), Outcome::skylight());
    EXPECT_EQ(power.instantIdleCalls(), 1);
    EXPECT_TRUE(laptop.processes().spawned().empty());
    EXPECT_EQ(log.lines(), std::vector<std::string>{"INF displays slept via SkyLight (instant)"});
}

TEST_F(DisplayTest, InstantPathErrorFallsBackToTheCommand) {
    power.setDisplayIdleStatus(1000);
    EXPECT_EQ(DisplaySleeper::sleepNow(), Outcome::pmset());
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{
                  "WRN SLSDisplayManagerRequestDisplaysIdle returned 1000; falling back to pmset",
                  "INF display slept via pmset displaysleepnow"}));
    EXPECT_EQ(laptop.processes().spawned(), pmsetRuns(1));
}

TEST_F(DisplayTest, MissingSymbolWarnsOnceThenEveryCallUsesTheFallback) {
    power.setDisplayIdleLibrary(SimPower::Library::symbolMissing);
    EXPECT_FALSE(DisplaySleeper::hasFastPath());
    EXPECT_EQ(DisplaySleeper::sleepNow(), Outcome::pmset());
    EXPECT_EQ(DisplaySleeper::sleepNow(), Outcome::pmset());
    EXPECT_EQ(log.count("SLSDisplayManagerRequestDisplaysIdle not found; falling back to pmset"),
              1u);
    EXPECT_EQ(log.count("display slept via pmset displaysleepnow"), 2u);
    EXPECT_EQ(laptop.processes().spawned(), pmsetRuns(2));
}

TEST_F(DisplayTest, MissingLibraryFallsBackSilently) {
    power.setDisplayIdleLibrary(SimPower::Library::missing);
    EXPECT_EQ(DisplaySleeper::sleepNow(), Outcome::pmset());
    EXPECT_EQ(log.lines(), std::vector<std::string>{"INF display slept via pmset displaysleepnow"});
    EXPECT_EQ(DisplaySleeper::executable(), "/usr/bin/pmset");
    EXPECT_EQ(DisplaySleeper::arguments(), std::vector<std::string>{"displaysleepnow"});
}

TEST_F(DisplayTest, FallbackRetriesOnceThenGivesUpWithTheMessage) {
    power.setDisplayIdleLibrary(SimPower::Library::missing);
    laptop.processes().scriptSpawn({true, 1, {}});
    laptop.processes().scriptSpawn({true, 0, {}});
    EXPECT_EQ(DisplaySleeper::sleepNow(), Outcome::pmset());
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{"WRN pmset displaysleepnow exited 1 (attempt 1)",
                                        "INF display slept via pmset displaysleepnow"}));

    log.clear();
    laptop.processes().scriptSpawn({false, -1, "No such file or directory"});
    laptop.processes().scriptSpawn({false, -1, "No such file or directory"});
    const Outcome outcome = DisplaySleeper::sleepNow();
    EXPECT_FALSE(outcome.succeeded());
    EXPECT_EQ(outcome,
              Outcome::failed("pmset displaysleepnow failed twice; display may remain lit"));
    EXPECT_EQ(
        log.lines(),
        (std::vector<std::string>{
            "WRN pmset displaysleepnow failed to launch (attempt 1): No such file or directory",
            "WRN pmset displaysleepnow failed to launch (attempt 2): No such file or directory"}))
        << "the final message is the caller's to log";
    EXPECT_EQ(laptop.processes().spawned().size(), 4u);
}

}  // namespace
}  // namespace noctave

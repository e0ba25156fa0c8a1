#include <gtest/gtest.h>

#include <vector>

#include "core/os/SessionLockFacility.hpp"
#include "core/os/Workspace.hpp"
#include "core/power/DisplayObserver.hpp"
#include "core/power/DisplaySleeper.hpp"
#include "core/power/SessionLocker.hpp"
#include "core/runtime/Runtime.hpp"
#include "platform/sim/SimPower.hpp"
#include "platform/sim/SimProcesses.hpp"
#include "platform/sim/SimScreen.hpp"
#include "tests/support/SimTest.hpp"

namespace noctave {
namespace {

using Phase = DisplayObserver::Phase;
using Sleep = DisplaySleeper::Outcome;
using Library = sim::SimScreen::Library;

class DisplayTest : public test::SimTest {
  protected:
    sim::SimPower& power = laptop.power();
    sim::SimScreen& screen = laptop.screen();
};

TEST_F(DisplayTest, EachDisplayIsAnnouncedThenReportedOffTheMainQueueAndTheAppHearsOnIt) {
    int notices = 0;
    laptop.system().workspace->addObserver(os::Workspace::Notification::screenParametersDidChange,
                                           [&] {
                                               EXPECT_TRUE(runtime::mainQueue().isCurrent());
                                               ++notices;
                                           });
    power.closeLid();
    DisplayObserver observer;
    std::vector<Phase> phases;
    observer.onChange = [&](Phase phase) {
        EXPECT_FALSE(runtime::mainQueue().isCurrent());
        phases.push_back(phase);
    };
    power.setRegistrationError(1001);
    EXPECT_FALSE(observer.start());
    EXPECT_FALSE(observer.isStarted());
    power.setRegistrationError(0);
    ASSERT_TRUE(observer.start());
    EXPECT_FALSE(observer.start());
    EXPECT_EQ(power.reconfigurationRegistrations(), 1);
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{"ERR could not register for display reconfiguration (1001)",
                                        "INF watching display configuration (0 external now)"}));

    // With the lid shut, the first monitor also takes the panel out: two displays change.
    notices = 0;
    power.attachExternal();
    runUntilIdle();
    EXPECT_EQ(phases, (std::vector<Phase>{Phase::willChange, Phase::willChange, Phase::didChange,
                                          Phase::didChange}));
    EXPECT_EQ(notices, 1);

    observer.stop();
    observer.stop();
    power.attachExternal();
    runUntilIdle();
    EXPECT_EQ(phases.size(), 4u);
    EXPECT_EQ(power.reconfigurationRegistrations(), 0);
    EXPECT_EQ(DisplayObserver::externalDisplayCount(), 2) << "the shut panel is not counted";
    EXPECT_TRUE(observer.start()) << "it can start again after a stop";
    EXPECT_TRUE(log.contains("watching display configuration (2 external now)"));

    power.setActiveListFillError(1001);
    EXPECT_EQ(DisplayObserver::externalDisplayCount(), 0);
    power.setActiveListFillError(0);
    power.setActiveListError(1001);
    EXPECT_EQ(DisplayObserver::externalDisplayCount(), 0);
}

TEST_F(DisplayTest, SleeperUsesTheInstantPathElseTheCommandRetriedOnce) {
    const std::string viaPmset = "INF display slept via pmset displaysleepnow";
    const std::string refused =
        "WRN SLSDisplayManagerRequestDisplaysIdle returned 1000; falling back to pmset";
    EXPECT_EQ(DisplaySleeper::sleepNow(), Sleep::skylight());
    screen.setDisplayIdleStatus(1000);
    EXPECT_EQ(DisplaySleeper::sleepNow(), Sleep::pmset());
    laptop.processes().scriptSpawn({true, 1, {}});
    EXPECT_EQ(DisplaySleeper::sleepNow(), Sleep::pmset());
    EXPECT_EQ(screen.instantIdleCalls(), 3);
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{
                  "INF displays slept via SkyLight (instant)", refused, viaPmset, refused,
                  "WRN pmset displaysleepnow exited 1 (attempt 1)", viaPmset}));
    EXPECT_EQ(laptop.processes().spawned(),
              std::vector<std::vector<std::string>>(3, {"/usr/bin/pmset", "displaysleepnow"}));

    log.clear();
    const os::Processes::SpawnResult noFile{false, -1, "No such file or directory"};
    laptop.processes().scriptSpawn(noFile);
    laptop.processes().scriptSpawn(noFile);
    EXPECT_EQ(DisplaySleeper::sleepNow(),
              Sleep::failed("pmset displaysleepnow failed twice; display may remain lit"));
    EXPECT_EQ(
        log.lines(),
        (std::vector<std::string>{
            refused,
            "WRN pmset displaysleepnow failed to launch (attempt 1): No such file or directory",
            "WRN pmset displaysleepnow failed to launch (attempt 2): No such file or directory"}))
        << "the final message is the caller's to log";
}

TEST_F(DisplayTest, MissingFunctionWarnsOnceThenEveryCallUsesTheCommand) {
    screen.setDisplayIdleLibrary(Library::symbolMissing);
    EXPECT_FALSE(DisplaySleeper::hasFastPath());
    EXPECT_EQ(DisplaySleeper::sleepNow(), Sleep::pmset());
    EXPECT_EQ(DisplaySleeper::sleepNow(), Sleep::pmset());
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{
                  "WRN SLSDisplayManagerRequestDisplaysIdle not found; falling back to pmset",
                  "INF display slept via pmset displaysleepnow",
                  "INF display slept via pmset displaysleepnow"}));
}

TEST_F(DisplayTest, MissingLibraryFallsBackSilently) {
    screen.setDisplayIdleLibrary(Library::missing);
    EXPECT_EQ(DisplaySleeper::sleepNow(), Sleep::pmset());
    EXPECT_EQ(log.lines(), std::vector<std::string>{"INF display slept via pmset displaysleepnow"});
}

TEST_F(DisplayTest, SessionLockerLocksOrSaysWhyAndNeverKeepsTheLibraryOpen) {
    using Outcome = SessionLocker::Outcome;
    const Outcome unavailable = Outcome::failed("macOS Lock Screen action is unavailable");
    const struct {
        Library library;
        Outcome outcome;
        std::string line;
        int locks;
    } cases[] = {
        {Library::missing, unavailable, "WRN could not load macOS login framework", 0},
        {Library::symbolMissing, unavailable, "WRN macOS Lock Screen symbol is unavailable", 0},
        // Nothing is cached: a library that appears is used.
        {Library::present, Outcome::locked(), "INF session locked via macOS login framework", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        log.clear();
        screen.setSessionLockLibrary(c.library);
        EXPECT_EQ(SessionLocker::lockNow(), c.outcome);
        EXPECT_EQ(log.lines(), std::vector<std::string>{c.line});
        EXPECT_EQ(screen.sessionLocks(), c.locks);
        EXPECT_EQ(screen.openLockLibraries(), 0);
    }
}

// A system that refuses the lock (logind outside any session) fails like a missing library,
// saying why, and the library is closed all the same.
TEST_F(DisplayTest, ARefusedLockIsAFailureThatSaysWhy) {
    struct Refusing final : os::SessionLockFacility {
        int openLibraries = 0;
        LibraryHandle openLibrary(const std::string&, int) override {
            ++openLibraries;
            return 7;
        }
        LockFunction lookup(LibraryHandle, const std::string&) override {
            return [] { return std::string("no session of ours"); };
        }
        void closeLibrary(LibraryHandle) override { --openLibraries; }
    };
    auto refusing = std::make_shared<Refusing>();
    laptop.system().sessionLock = refusing;
    EXPECT_EQ(SessionLocker::lockNow(),
              SessionLocker::Outcome::failed(
                  "macOS Lock Screen action is unavailable (no session of ours)"));
    EXPECT_EQ(log.lines(),
              std::vector<std::string>{"WRN session lock refused: no session of ours"});
    EXPECT_EQ(refusing->openLibraries, 0);
}

}  // namespace
}  // namespace noctave

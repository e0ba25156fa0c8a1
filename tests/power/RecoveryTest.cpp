#include "core/session/Recovery.hpp"

#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "core/power/LidSleepPolicy.hpp"
#include "core/support/Log.hpp"
#include "platform/sim/SimPower.hpp"
#include "platform/sim/SimProcesses.hpp"
#include "tests/support/SimTest.hpp"

namespace noctave {
namespace {

namespace fs = std::filesystem;

constexpr int64_t kBoot = 1'796'464'800;
constexpr int kGonePid = 999'999;

class RecoveryTest : public test::SimTest {
  protected:
    RecoveryTest() { laptop.processes().setBootTime(kBoot); }

    void writeMarker(const std::string& text) {
        fs::create_directories(Recovery::pidFileURL().parent_path());
        std::ofstream(Recovery::pidFileURL(), std::ios::binary) << text;
    }

    std::string readMarker() {
        std::ifstream in(Recovery::pidFileURL(), std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    bool markerExists() { return fs::exists(Recovery::pidFileURL()); }

    // A flag left set by a process that died: its connection was never closed.
    void leaveFlagSet() {
        auto& port = *laptop.system().powerManagement;
        os::IoConnection connection = 0;
        ASSERT_EQ(port.openService(port.matchingService("IOPMrootDomain"), 0, &connection), 0);
        ASSERT_EQ(port.callScalarMethod(connection, LidSleepPolicy::setLidSleepPolicySelector, 1),
                  0);
    }

    sim::SimPower& power = laptop.power();
};

TEST_F(RecoveryTest, MarkerHoldsPidAndBootTimeOnTwoLines) {
    Recovery::markArmed();
    EXPECT_EQ(Recovery::pidFileURL(), Log::directory() / "session.pid");
    EXPECT_EQ(readMarker(), std::to_string(::getpid()) + "\n" + std::to_string(kBoot) + "\n");
    EXPECT_EQ(fs::status(Log::directory()).permissions() & fs::perms::all, fs::perms::owner_all);

    laptop.processes().setBootTime(0);  // boot time unreadable
    Recovery::markArmed();
    EXPECT_EQ(readMarker(), std::to_string(::getpid()) + "\n0\n")
        << "a new marker replaces the old";

    Recovery::clearMarker();
    EXPECT_FALSE(markerExists());
    Recovery::clearMarker();  // a missing marker is fine
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(RecoveryTest, MarkerWriteFailureIsSilent) {
    // A file where the folder should be: nothing can be created inside it.
    fs::create_directories(Log::directory().parent_path());
    std::ofstream(Log::directory()) << "in the way";
    Recovery::markArmed();
    EXPECT_FALSE(markerExists());
    Recovery::recoverFromUncleanExit();
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(RecoveryTest, NoMarkerNoAction) {
    const auto calls = power.scalarCalls();
    Recovery::recoverFromUncleanExit();
    EXPECT_TRUE(log.lines().empty());
    EXPECT_EQ(power.scalarCalls(), calls);
}

TEST_F(RecoveryTest, MarkerFromAnEarlierBootIsDroppedWithoutAKernelCall) {
    writeMarker(std::to_string(kGonePid) + "\n" + std::to_string(kBoot - 3600) + "\n");
    const auto calls = power.scalarCalls();
    Recovery::recoverFromUncleanExit();
    EXPECT_EQ(log.lines(),
              std::vector<std::string>{
                  "INF recovery: marker predates this boot; kernel mask already clear"});
    EXPECT_EQ(power.scalarCalls(), calls);
    EXPECT_FALSE(markerExists());
}

TEST_F(RecoveryTest, DeadWriterFromThisBootGetsTheFlagCleared) {
    leaveFlagSet();
    writeMarker(std::to_string(kGonePid) + "\n" + std::to_string(kBoot) + "\n");
    Recovery::recoverFromUncleanExit();
    EXPECT_EQ(log.lines(),
              std::vector<std::string>{"WRN recovery: unclean exit of pid 999999; clearing "
                                       "lid-close kernel flag"});
    EXPECT_FALSE(power.kernelFlag());
    EXPECT_FALSE(markerExists());
    EXPECT_EQ(power.openConnections(), 1) << "only the dead owner's stale connection";
}

TEST_F(RecoveryTest, FailedClearAtStartIsLoggedOnceAndNotRetried) {
    leaveFlagSet();
    writeMarker(std::to_string(kGonePid) + "\n" + std::to_string(kBoot) + "\n");
    power.setRefuseFlag(true);
    const auto calls = power.scalarCalls();
    Recovery::recoverFromUncleanExit();
    EXPECT_EQ(log.lines(), (std::vector<std::string>{
                               "WRN recovery: unclean exit of pid 999999; clearing lid-close "
                               "kernel flag",
                               "ERR recovery: one-shot kernel flag clear FAILED"}));
    EXPECT_EQ(power.scalarCalls(), calls + 1);
    EXPECT_TRUE(power.kernelFlag());
    EXPECT_FALSE(markerExists());
    power.setRefuseFlag(false);
}

TEST_F(RecoveryTest, LiveWriterIsLeftAlone) {
    laptop.processes().setAlive(4242, true);
    writeMarker("4242\n" + std::to_string(kBoot) + "\n");
    leaveFlagSet();
    Recovery::recoverFromUncleanExit();
    EXPECT_EQ(log.lines(), std::vector<std::string>{"WRN recovery: pid 4242 still alive; another "
                                                    "instance may be running"});
    EXPECT_TRUE(power.kernelFlag());
    EXPECT_FALSE(markerExists());
}

TEST_F(RecoveryTest, GarbledMarkersParseAsMinusOneAndZero) {
    // Empty or garbled: pid -1 and boot 0, which normally means "an earlier boot".
    for (const std::string text : {"", "\n\n", "pid=12\nboot\n", " 12\n"}) {
        writeMarker(text);
        log.clear();
        Recovery::recoverFromUncleanExit();
        EXPECT_EQ(log.messages(),
                  std::vector<std::string>{
                      "recovery: marker predates this boot; kernel mask already clear"})
            << "marker: " << text;
        EXPECT_FALSE(markerExists());
    }

    // When the boot time cannot be read either, 0 matches and pid -1 counts as gone.
    laptop.processes().setBootTime(0);
    writeMarker("garbage");
    log.clear();
    Recovery::recoverFromUncleanExit();
    EXPECT_EQ(log.messages(),
              std::vector<std::string>{
                  "recovery: unclean exit of pid -1; clearing lid-close kernel flag"});

    // Empty lines are dropped before the pieces are read; a sign is accepted.
    laptop.processes().setBootTime(kBoot);
    laptop.processes().setAlive(77, true);
    writeMarker("\n+77\n\n" + std::to_string(kBoot));
    log.clear();
    Recovery::recoverFromUncleanExit();
    EXPECT_EQ(log.messages(), std::vector<std::string>{
                                  "recovery: pid 77 still alive; another instance may be running"});

    // A pid that does not fit 32 bits does not parse.
    writeMarker("4294967297\n" + std::to_string(kBoot) + "\n");
    log.clear();
    Recovery::recoverFromUncleanExit();
    EXPECT_EQ(log.messages(),
              std::vector<std::string>{
                  "recovery: unclean exit of pid -1; clearing lid-close kernel flag"});
}

TEST_F(RecoveryTest, UnreadableMarkerStaysForTheNextStart) {
    writeMarker("\xff\xfe" + std::to_string(kBoot));
    Recovery::recoverFromUncleanExit();
    EXPECT_TRUE(markerExists());
    EXPECT_TRUE(log.lines().empty());
}

// Reads the seconds left on the pending alarm without disturbing it.
unsigned peekAlarm() {
    const unsigned left = ::alarm(0);
    if (left != 0) {
        ::alarm(left);
    }
    return left;
}

TEST_F(RecoveryTest, GuardedClearRunsUnderTheWatchdogAndFallsBack) {
    LidSleepPolicy policy;
    std::vector<unsigned> alarms;
    power.setOnScalarCall([&] { alarms.push_back(peekAlarm()); });

    ASSERT_TRUE(policy.set(true));
    alarms.clear();
    EXPECT_TRUE(Recovery::guardedClear(policy));
    EXPECT_FALSE(power.kernelFlag());
    EXPECT_EQ(alarms, std::vector<unsigned>{5});
    EXPECT_EQ(peekAlarm(), 0u) << "the watchdog is disarmed afterwards";
    EXPECT_TRUE(log.lines().empty());

    // The policy's connection is gone: the fresh connection clears, within the same budget.
    ASSERT_TRUE(policy.set(true));
    laptop.system().powerManagement->closeService(policy.connection());
    alarms.clear();
    EXPECT_TRUE(Recovery::guardedClear(policy));
    EXPECT_FALSE(power.kernelFlag());
    EXPECT_EQ(alarms.size(), 2u);
    for (const unsigned left : alarms) {
        EXPECT_GE(left, 4u);
        EXPECT_LE(left, 5u);
    }
    EXPECT_EQ(log.lines(), std::vector<std::string>{"WRN kernel flag clear failed on primary "
                                                    "connection; trying fresh connection"});
    EXPECT_EQ(peekAlarm(), 0u);
    power.setOnScalarCall(nullptr);
}

TEST_F(RecoveryTest, GuardedClearReportsFailureWhenBothAttemptsAreRefused) {
    LidSleepPolicy policy;
    ASSERT_TRUE(policy.set(true));
    power.setRefuseFlag(true);
    EXPECT_FALSE(Recovery::guardedClear(policy));
    EXPECT_TRUE(power.kernelFlag());
    EXPECT_EQ(log.count("kernel flag clear failed on primary connection; trying fresh connection"),
              1u);
    EXPECT_EQ(peekAlarm(), 0u);
    power.setRefuseFlag(false);
}

using Handler = void (*)(int);

Handler currentHandler(int signalNumber) {
    struct sigaction action {};
    ::sigaction(signalNumber, nullptr, &action);
    return action.sa_handler;
}

TEST_F(RecoveryTest, HandlersCoverTheNineSignalsOnceButNotTheWatchdog) {
    Recovery::installSignalHandlers();
    EXPECT_TRUE(Recovery::installed());
    const Handler handler = currentHandler(SIGTERM);
    ASSERT_NE(handler, SIG_DFL);
    ASSERT_NE(handler, SIG_IGN);
    for (const int signalNumber :
         {SIGINT, SIGHUP, SIGQUIT, SIGABRT, SIGSEGV, SIGBUS, SIGILL, SIGFPE}) {
        EXPECT_EQ(currentHandler(signalNumber), handler) << "signal " << signalNumber;
    }
    EXPECT_EQ(currentHandler(SIGALRM), SIG_DFL) << "the watchdog must be able to kill";

    // A second install leaves whatever is there now.
    ::signal(SIGHUP, SIG_IGN);
    Recovery::installSignalHandlers();
    EXPECT_EQ(currentHandler(SIGHUP), SIG_IGN);
    ::signal(SIGHUP, handler);
}

}  // namespace
}  // namespace noctave

#include "core/session/Recovery.hpp"

#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "core/power/LidSleepPolicy.hpp"
#include "core/power/SleepAssertion.hpp"
#include "core/support/Log.hpp"
#include "platform/sim/SimPower.hpp"
#include "platform/sim/SimProcesses.hpp"
#include "tests/support/ChildProcess.hpp"
#include "tests/support/SimTest.hpp"
#include "tests/support/TempDir.hpp"

namespace noctave {
namespace {

namespace fs = std::filesystem;

constexpr int64_t kBoot = 1'796'464'800;
const std::string kThisBoot = "\n" + std::to_string(kBoot) + "\n";

class RecoveryTest : public test::SimTest {
  protected:
    RecoveryTest() { laptop.processes().setBootTime(kBoot); }

    void writeMarker(const std::string& text) {
        fs::create_directories(Recovery::pidFileURL().parent_path());
        std::ofstream(Recovery::pidFileURL(), std::ios::binary) << text;
    }

    std::string readMarker() { return test::readFile(Recovery::pidFileURL()); }

    // A flag left set by a process that died: its connection was never closed.
    void leaveFlagSet() {
        auto& port = *laptop.system().powerManagement;
        os::IoConnection connection = 0;
        ASSERT_EQ(port.openService(port.matchingService(os::kRootDomainClass), 0, &connection), 0);
        ASSERT_EQ(port.callScalarMethod(connection, os::kLidSleepPolicySelector, 1), 0);
    }

    sim::SimPower& power = laptop.power();
};

TEST_F(RecoveryTest, MarkerHoldsPidAndBootTimeOnTwoLinesInAPrivateFolder) {
    Recovery::markArmed();
    EXPECT_EQ(readMarker(), std::to_string(::getpid()) + kThisBoot);
    EXPECT_EQ(fs::status(Log::directory()).permissions() & fs::perms::all, fs::perms::owner_all);

    laptop.processes().setBootTime(0);  // boot time unreadable
    Recovery::markArmed();
    EXPECT_EQ(readMarker(), std::to_string(::getpid()) + "\n0\n")
        << "a new marker replaces the old";

    Recovery::clearMarker();
    EXPECT_FALSE(fs::exists(Recovery::pidFileURL()));
    Recovery::clearMarker();  // a missing marker is fine

    // A file where the folder should be: nothing can be written, and nothing is said.
    fs::remove_all(Log::directory());
    std::ofstream(Log::directory()) << "in the way";
    Recovery::markArmed();
    EXPECT_FALSE(fs::exists(Recovery::pidFileURL()));
    Recovery::recoverFromUncleanExit();
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(RecoveryTest, StartUpReadsTheMarkerAndClearsOnlyForADeadWriterOfThisBoot) {
    const std::string earlier =
        "INF recovery: marker predates this boot; kernel mask already clear";
    const std::string dead =
        "WRN recovery: unclean exit of pid 999999; clearing lid-close kernel flag";
    const std::string garbled =
        "WRN recovery: unclean exit of pid -1; clearing lid-close kernel flag";
    const std::string alive = "WRN recovery: pid 4242 still alive; another instance may be running";
    const struct {
        std::optional<std::string> marker;
        std::vector<std::string> lines;
        bool cleared;  // the flag the dead writer left
        int64_t boot = kBoot;
        bool markerStays = false;
    } cases[] = {
        {std::nullopt, {}, false},
        {"999999\n" + std::to_string(kBoot - 3600) + "\n", {earlier}, false},
        {"999999" + kThisBoot, {dead}, true},
        {"4242" + kThisBoot, {alive}, false},
        // Garbled: pid -1 and boot 0, which normally means "an earlier boot".
        {"", {earlier}, false},
        {"\n\n", {earlier}, false},
        {"pid=12\nboot\n", {earlier}, false},
        {" 12\n", {earlier}, false},
        // When the boot time cannot be read either, 0 matches and pid -1 counts as gone.
        {"garbage", {garbled}, true, 0},
        // Empty lines are dropped before the pieces are read; a sign is accepted.
        {"\n+4242\n\n" + std::to_string(kBoot), {alive}, false},
        {"4294967297" + kThisBoot, {garbled}, true},  // does not fit 32 bits
        {"\xff\xfe" + std::to_string(kBoot),
         {"WRN recovery: marker unusable (not text); ignoring it"},
         false,
         kBoot,
         true},
    };
    laptop.processes().setAlive(4242, true);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.marker.value_or("(no marker)"));
        laptop.processes().setBootTime(c.boot);
        leaveFlagSet();
        std::error_code ignored;
        fs::remove(Recovery::pidFileURL(), ignored);
        if (c.marker) {
            writeMarker(*c.marker);
        }
        log.clear();
        const auto calls = power.scalarCalls();
        const auto connections = power.openConnections();
        Recovery::recoverFromUncleanExit();
        EXPECT_EQ(log.lines(), c.lines);
        EXPECT_EQ(power.kernelFlag(), !c.cleared);
        EXPECT_EQ(power.scalarCalls(), calls + (c.cleared ? 1 : 0));
        EXPECT_EQ(power.openConnections(), connections) << "its own connection is closed";
        EXPECT_EQ(fs::exists(Recovery::pidFileURL()), c.markerStays);
    }
}

TEST_F(RecoveryTest, ARefusedClearAtStartUpIsLoggedOnceNotRetriedAndTheMarkerIsConsumed) {
    const std::string dead =
        "WRN recovery: unclean exit of pid 999999; clearing lid-close kernel flag";
    leaveFlagSet();
    writeMarker("999999" + kThisBoot);
    power.setRefuseFlag(true);
    log.clear();
    const auto calls = power.scalarCalls();
    Recovery::recoverFromUncleanExit();
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{dead, "ERR recovery: one-shot kernel flag clear FAILED"}));
    EXPECT_EQ(power.scalarCalls(), calls + 1);
    EXPECT_TRUE(power.kernelFlag());
    EXPECT_FALSE(fs::exists(Recovery::pidFileURL()));
    power.setRefuseFlag(false);
}

// What the machine may hand over instead of a marker: each is "no usable marker", said in one
// line, and the start goes on without touching the flag or the thing in the marker's place.
TEST_F(RecoveryTest, AnUnusableMarkerIsReportedOnceAndNeverStopsTheStart) {
    const fs::path marker = Recovery::pidFileURL();
    const fs::path elsewhere = temp.path() / "elsewhere";
    std::ofstream(elsewhere) << "999999" << kThisBoot;
    const struct {
        const char* name;
        std::function<void()> plant;
        std::string why;
    } cases[] = {
        {"a folder", [&] { fs::create_directories(marker / "inside"); }, "Is a directory"},
        {"a link", [&] { fs::create_symlink(elsewhere, marker); },
         "Too many levels of symbolic links"},
        {"100 MB",
         [&] {
             std::ofstream(marker) << "999999" << kThisBoot;
             fs::resize_file(marker, 100'000'000);
         },
         "larger than 4096 bytes"},
        // Nobody will ever write into it: reading must not wait for a writer.
        {"a FIFO", [&] { ASSERT_EQ(::mkfifo(marker.c_str(), 0600), 0); }, "not a regular file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(Log::directory());
        fs::create_directories(Log::directory());
        c.plant();
        leaveFlagSet();
        log.clear();
        rusage before{};
        ::getrusage(RUSAGE_SELF, &before);
        EXPECT_NO_THROW(Recovery::recoverFromUncleanExit());
        rusage after{};
        ::getrusage(RUSAGE_SELF, &after);
        EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 10'000) << "kilobytes read for nothing";
        EXPECT_EQ(log.lines(), std::vector<std::string>{"WRN recovery: marker unusable (" + c.why +
                                                        "); ignoring it"});
        EXPECT_TRUE(power.kernelFlag()) << "nothing usable said the flag is ours";
        EXPECT_TRUE(fs::exists(fs::symlink_status(marker))) << "left for the user";
        // The next session's marker replaces the thing, wherever that is possible.
        Recovery::markArmed();
        if (!fs::is_directory(marker)) {
            EXPECT_EQ(readMarker(), std::to_string(::getpid()) + kThisBoot);
            EXPECT_FALSE(fs::is_symlink(marker));
        }
    }
    std::stringstream untouched;
    untouched << std::ifstream(elsewhere).rdbuf();
    EXPECT_EQ(untouched.str(), "999999" + kThisBoot) << "a link's target is never written";
}

// Reads the seconds left on the pending alarm without disturbing it.
unsigned peekAlarm() {
    const unsigned left = ::alarm(0);
    if (left != 0) {
        ::alarm(left);
    }
    return left;
}

TEST_F(RecoveryTest, GuardedClearRunsUnderTheWatchdogFallsBackAndReportsFailure) {
    LidSleepPolicy policy;
    std::vector<unsigned> alarms;
    power.setOnScalarCall([&] { alarms.push_back(peekAlarm()); });
    const std::string fallback =
        "WRN kernel flag clear failed on primary connection; trying fresh connection";

    ASSERT_TRUE(policy.set(true));
    alarms.clear();
    EXPECT_TRUE(Recovery::guardedClear(policy));
    EXPECT_FALSE(power.kernelFlag());
    EXPECT_EQ(alarms, std::vector<unsigned>{5});
    EXPECT_EQ(peekAlarm(), 0u) << "the watchdog is disarmed afterwards";
    EXPECT_TRUE(log.lines().empty());

    ASSERT_TRUE(policy.set(true));
    power.setRefuseFlag(true);
    EXPECT_FALSE(Recovery::guardedClear(policy));
    EXPECT_TRUE(power.kernelFlag());
    EXPECT_EQ(log.lines(), std::vector<std::string>{fallback});
    EXPECT_EQ(peekAlarm(), 0u);
    power.setRefuseFlag(false);

    // The policy's connection is gone: the fresh connection clears, within the same budget.
    laptop.system().powerManagement->closeService(policy.connection());
    log.clear();
    alarms.clear();
    EXPECT_TRUE(Recovery::guardedClear(policy));
    EXPECT_FALSE(power.kernelFlag());
    ASSERT_EQ(alarms.size(), 2u);
    EXPECT_TRUE(std::ranges::all_of(alarms, [](unsigned left) { return left == 4 || left == 5; }));
    EXPECT_EQ(log.lines(), std::vector<std::string>{fallback});
    EXPECT_EQ(peekAlarm(), 0u);
    power.setOnScalarCall(nullptr);
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

// A process that holds a session and dies of a real fault, not a signal sent to it (the session
// killed by every signal is in SessionKillTest): the handler must clear the kernel flag, the
// process must still die from that same signal, and the marker must stay for the next start.
//
// The child is a fork of the test. The virtual kernel keeps its lid-close bit in a shared
// anonymous mapping, so the parent reads what the child's handler did after the child is gone.

enum class Death { segmentationFault, abort };

// The child: holds a session the way the controller does, stops so that the parent can look,
// then dies.
[[noreturn]] void runChild(Death death) {
    const rlimit noCore{0, 0};
    ::setrlimit(RLIMIT_CORE, &noCore);
    Recovery::installSignalHandlers();
    // Leaked on purpose: the process ends by a signal, never by returning.
    auto* policy = new LidSleepPolicy();
    auto* assertion = new SleepAssertion(os::kPreventUserIdleSystemSleep, "crash test");
    if (!policy->set(true) || !assertion->acquire()) {
        ::_exit(3);
    }
    Recovery::markArmed();
    ::raise(SIGSTOP);
    switch (death) {
        case Death::segmentationFault: {
            void* page = ::mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            *static_cast<volatile int*>(page) = 1;
            break;
        }
        case Death::abort:
            std::abort();
    }
    ::_exit(4);
}

TEST_F(RecoveryTest, OnARealFaultTheHandlerClearsTheFlagTheSignalStillKillsTheMarkerStays) {
    const struct {
        int signalNumber;
        Death death;
    } crashes[] = {{SIGSEGV, Death::segmentationFault}, {SIGABRT, Death::abort}};
    for (const auto& crash : crashes) {
        SCOPED_TRACE(::testing::Message() << "signal " << crash.signalNumber);
        test::ChildProcess child([&]() -> int { runChild(crash.death); });
        ASSERT_TRUE(child.waitUntilStopped()) << "the child could not hold a session";
        EXPECT_TRUE(laptop.power().kernelFlag()) << "the child's session set the bit";
        ASSERT_TRUE(child.signal(SIGCONT));
        const test::ProgramRun run = child.wait();
        ASSERT_NE(run.signal, 0) << "exit status " << run.status;
        EXPECT_EQ(run.signal, crash.signalNumber) << "the process ends as without the handler";
        EXPECT_FALSE(laptop.power().kernelFlag()) << "the handler cleared the bit";

        // The marker names the dead child for the next start.
        EXPECT_EQ(readMarker(), std::to_string(child.pid()) + kThisBoot);
    }
}

}  // namespace
}  // namespace noctave

// A process that holds a session and dies from a signal: the handler must clear the kernel flag,
// the process must still die from that same signal, and the marker must stay for the next start.
//
// The child is a fork of the test. The virtual kernel keeps its lid-close bit in a shared
// anonymous mapping, so the parent reads what the child's handler did after the child is gone.

#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <sstream>

#include "core/power/LidSleepPolicy.hpp"
#include "core/power/SleepAssertion.hpp"
#include "core/session/Recovery.hpp"
#include "platform/sim/SimPower.hpp"
#include "platform/sim/SimProcesses.hpp"
#include "tests/support/SimTest.hpp"

namespace noctave {
namespace {

enum class Death { killed, segmentationFault, abort };

struct Crash {
    int signalNumber;
    Death death;
    const char* name;
    friend void PrintTo(const Crash& crash, std::ostream* out) { *out << crash.name; }
};

class RecoveryCrashTest : public test::SimTest, public ::testing::WithParamInterface<Crash> {};

// The child: holds a session the way the controller does, says so, then waits for its end.
[[noreturn]] void runChild(int readyFd, int goFd, Death death) {
    const rlimit noCore{0, 0};
    ::setrlimit(RLIMIT_CORE, &noCore);
    Recovery::installSignalHandlers();
    // Leaked on purpose: the process ends by a signal, never by returning.
    auto* policy = new LidSleepPolicy();
    auto* assertion = new SleepAssertion(SleepAssertion::preventIdleSystemSleep, "crash test");
    if (!policy->set(true) || !assertion->acquire()) {
        ::_exit(3);
    }
    Recovery::markArmed();
    const char ready = 'r';
    if (::write(readyFd, &ready, 1) != 1) {
        ::_exit(4);
    }
    char go = 0;
    if (::read(goFd, &go, 1) != 1) {
        ::_exit(5);
    }
    switch (death) {
        case Death::killed:
            for (;;) {
                ::pause();
            }
        case Death::segmentationFault: {
            void* page = ::mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            *static_cast<volatile int*>(page) = 1;
            break;
        }
        case Death::abort:
            std::abort();
    }
    ::_exit(6);
}

TEST_P(RecoveryCrashTest, HandlerClearsTheFlagTheSignalStillKillsTheMarkerStays) {
    const Crash crash = GetParam();
    sim::SimPower& power = laptop.power();
    int ready[2];
    int go[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(go), 0);

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(ready[0]);
        ::close(go[1]);
        runChild(ready[1], go[0], crash.death);
    }
    ::close(ready[1]);
    ::close(go[0]);

    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1) << "the child could not hold a session";
    EXPECT_TRUE(power.kernelFlag()) << "the child's session set the bit";

    ASSERT_EQ(::write(go[1], "g", 1), 1);
    if (crash.death == Death::killed) {
        ASSERT_EQ(::kill(child, crash.signalNumber), 0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ::close(ready[0]);
    ::close(go[1]);

    ASSERT_TRUE(WIFSIGNALED(status)) << "exit status " << WEXITSTATUS(status);
    EXPECT_EQ(WTERMSIG(status), crash.signalNumber) << "the process ends as without the handler";
    EXPECT_FALSE(power.kernelFlag()) << "the handler cleared the bit";

    // The marker names the dead child; the next start clears again and consumes it.
    std::ifstream in(Recovery::pidFileURL());
    std::stringstream marker;
    marker << in.rdbuf();
    EXPECT_EQ(marker.str(),
              std::to_string(child) + "\n" + std::to_string(laptop.processes().bootTime()) + "\n");
    Recovery::recoverFromUncleanExit();
    EXPECT_EQ(log.messages(),
              std::vector<std::string>{"recovery: unclean exit of pid " + std::to_string(child) +
                                       "; clearing lid-close kernel flag"});
    EXPECT_FALSE(std::filesystem::exists(Recovery::pidFileURL()));
    EXPECT_FALSE(power.kernelFlag());
}

INSTANTIATE_TEST_SUITE_P(Signals, RecoveryCrashTest,
                         ::testing::Values(Crash{SIGTERM, Death::killed, "term"},
                                           Crash{SIGSEGV, Death::killed, "segvSent"},
                                           Crash{SIGSEGV, Death::segmentationFault, "segvFault"},
                                           Crash{SIGINT, Death::killed, "interrupt"},
                                           Crash{SIGABRT, Death::abort, "abort"}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace noctave

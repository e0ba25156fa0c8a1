// The session killed as a real process: a forked child builds the controller on the virtual
// laptop, reaches a state, stops, and is then killed by the parent. The virtual kernel keeps its
// lid-close bit in memory shared with the child, and the marker is a real file, so the parent
// sees what the death left and what the next start makes of it.
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "core/power/LidSleepPolicy.hpp"
#include "tests/session/SessionFixture.hpp"
#include "tests/support/ChildProcess.hpp"

namespace noctave::test {
namespace {

struct Kill {
    State state;
    int signalNumber;
};

void PrintTo(const Kill& kill, std::ostream* out) {
    PrintTo(kill.state, out);
    *out << "_" << sigabbrev_np(kill.signalNumber);
}

class SessionKillTest : public SessionFixture, public ::testing::WithParamInterface<Kill> {
  protected:
    // The child: reaches `target`, with the lid shut and the heartbeat running where a session
    // stands, then stops for the parent. Exit statuses above 100 say it could not get there.
    [[noreturn]] void runChild(State target) {
        const rlimit noCore{0, 0};
        ::setrlimit(RLIMIT_CORE, &noCore);
        start();
        switch (target) {
            case State::disarmed:
                break;
            case State::pending:
                commitGesture();
                break;
            case State::armed:
                controller->arm("menu");
                closeLid();
                advance(0.35);
                break;
            case State::restoreFailed:
                reachRestoreFailed();
                break;
        }
        if (controller->state() != target) {
            ::_exit(101);
        }
        ::raise(SIGSTOP);
        for (;;) {
            advance(0.1);  // the heartbeat and every other timer keep running until the end
        }
    }
};

TEST_P(SessionKillTest, NoSignalLeavesTheFlagSetPastTheNextStart) {
    const auto [target, signalNumber] = GetParam();
    // A copy for the lambda: clang before 16 cannot capture a structured binding.
    ChildProcess child([&, state = target]() -> int { runChild(state); });
    ASSERT_TRUE(child.waitUntilStopped())
        << "the child could not reach the state, status " << child.wait().status;
    const bool flagSet = target != State::disarmed;
    ASSERT_EQ(power().kernelFlag(), flagSet);

    ASSERT_TRUE(child.signal(signalNumber));
    child.signal(SIGCONT);
    const ProgramRun run = child.wait();
    ASSERT_NE(run.signal, 0) << "exit status " << run.status;
    EXPECT_EQ(run.signal, signalNumber) << "the process ends as without the handlers";

    // At death: the handler clears what it can; a kill no handler sees, or a kernel that goes
    // on refusing, leaves the bit set, and then the marker must be there for the next start.
    const bool setAtDeath = target == State::restoreFailed || (signalNumber == SIGKILL && flagSet);
    EXPECT_EQ(power().kernelFlag(), setAtDeath);
    EXPECT_EQ(markerExists(), flagSet);
    RecordProperty("flagSetAtDeath", setAtDeath ? "yes" : "no");

    // The next start, once the kernel accepts clears again.
    power().setRefuseFlag(false);
    log.clear();
    start();
    EXPECT_EQ(log.contains("recovery: unclean exit of pid " + std::to_string(child.pid()) +
                           "; clearing lid-close kernel flag"),
              flagSet);
    expectNothingHeld();
    EXPECT_EQ(controller->state(), State::disarmed);
}

std::vector<Kill> everyKill() {
    std::vector<Kill> kills;
    for (const State state :
         {State::disarmed, State::pending, State::armed, State::restoreFailed}) {
        for (const int signalNumber :
             {SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGABRT, SIGSEGV, SIGBUS, SIGKILL}) {
            kills.push_back({state, signalNumber});
        }
    }
    return kills;
}

INSTANTIATE_TEST_SUITE_P(SignalsTimesStates, SessionKillTest, ::testing::ValuesIn(everyKill()),
                         ::testing::PrintToStringParamName());

}  // namespace
}  // namespace noctave::test

// The helper every process-level test stands on: whatever way a run ends, nothing it started
// outlives it.
#include "tests/support/ChildProcess.hpp"

#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>

namespace noctave::test {
namespace {

bool reaped(pid_t pid) {
    return ::kill(pid, 0) != 0 && errno == ESRCH;
}

// Whether the process has ended within `seconds` (it may not be ours to reap).
bool ends(pid_t pid, double seconds) {
    const int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (fd < 0) {
        return errno == ESRCH;
    }
    pollfd ready{fd, POLLIN, 0};
    const bool ended = ::poll(&ready, 1, static_cast<int>(seconds * 1000)) == 1;
    ::close(fd);
    return ended;
}

TEST(ChildProcessTest, EveryEndReapsTheProgramAndAGroupTakesWhatItStartedAlong) {
    const ProgramRun late = runProgram("sleep", {"30"}, {}, 0.2);
    EXPECT_TRUE(late.timedOut);
    EXPECT_EQ(late.status, -1);
    EXPECT_EQ(late.signal, SIGKILL);

    pid_t left = -1;
    {
        ChildProcess sleeper("sleep", {"30"});
        left = sleeper.pid();
        ASSERT_GT(left, 0);
    }
    EXPECT_TRUE(reaped(left)) << "the destructor reaps what the test left running";

    // A descendant that keeps the output pipe open holds up neither the end nor the reading.
    pid_t descendant = -1;
    {
        ChildProcess shell("sh", {"-c", "sleep 30 & echo $!; exit 3"}, {.ownProcessGroup = true});
        descendant = std::stoi(shell.line(Stream::output).value_or("-1"));
        EXPECT_EQ(shell.wait(10).status, 3);
        EXPECT_FALSE(ends(descendant, 0));
    }
    EXPECT_TRUE(ends(descendant, 5)) << "the group's leftovers go with the helper";

    const ProgramRun missing = runProgram("/nonexistent/program", {});
    EXPECT_EQ(missing.status, -1);
    EXPECT_NE(missing.err.find("could not start /nonexistent/program"), std::string::npos);
}

}  // namespace
}  // namespace noctave::test

// The command-line self-test of the shipped program on the Linux backend, against the private
// bus's mocked logind and UPower.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "tests/linux/PrivateBus.hpp"

namespace noctave::test {
namespace {

struct ProgramRun {
    int status = -1;
    std::string out;
};

// Runs the program with `arguments`, its standard output and error captured together.
ProgramRun runNoctave(const std::vector<std::string>& arguments) {
    ProgramRun run;
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        return run;
    }
    std::vector<std::string> argv = {NOCTAVE_PROGRAM};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    pid_t pid = spawnProcess(argv, pipeFds[1], pipeFds[1]);
    close(pipeFds[1]);
    if (pid <= 0) {
        close(pipeFds[0]);
        return run;
    }
    char buffer[4096];
    pollfd fd{pipeFds[0], POLLIN, 0};
    while (poll(&fd, 1, 60000) > 0) {
        ssize_t got = read(pipeFds[0], buffer, sizeof buffer);
        if (got <= 0) {
            break;
        }
        run.out.append(buffer, static_cast<std::size_t>(got));
    }
    close(pipeFds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

class LinuxSelfTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!bus.unavailable().empty()) {
            GTEST_SKIP() << "no private system bus: " << bus.unavailable();
        }
        setenv("NOCTAVE_PLATFORM", "linux", 1);
        setenv("XDG_STATE_HOME", (temp.path() / "state").c_str(), 1);
        setenv("XDG_CONFIG_HOME", (temp.path() / "config").c_str(), 1);
        ASSERT_TRUE(bus.startTemplate("logind", "org.freedesktop.login1"));
        ASSERT_TRUE(bus.startTemplate("upower", "org.freedesktop.UPower"));
    }
    void TearDown() override {
        unsetenv("NOCTAVE_PLATFORM");
        unsetenv("XDG_STATE_HOME");
        unsetenv("XDG_CONFIG_HOME");
    }

    PrivateBus bus;
    TempDir temp;
};

TEST_F(LinuxSelfTest, PassesAgainstLogindAndUPowerAndLeavesNoInhibitor) {
    ProgramRun run = runNoctave({"--selftest"});
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_NE(run.out.find("  ok    set lid-close flag (selector 12, arg 1)\n"), std::string::npos);
    EXPECT_NE(run.out.find("  ok    lid state = open\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("PASS\n"), std::string::npos);
    EXPECT_TRUE(bus.waitForInhibitors([](const auto& list) { return list.empty(); }));
}

TEST_F(LinuxSelfTest, FailsWithTheReasonInTheLogWithoutLogind) {
    ASSERT_TRUE(bus.stopTemplate("org.freedesktop.login1"));
    ProgramRun run = runNoctave({"--selftest"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.out.find("  FAIL  open IOPMrootDomain user client\n"), std::string::npos)
        << run.out;
    EXPECT_NE(
        run.out.find(
            "ERR systemd-logind is not on the system bus (org.freedesktop.login1 has no owner)"),
        std::string::npos);
}

}  // namespace
}  // namespace noctave::test

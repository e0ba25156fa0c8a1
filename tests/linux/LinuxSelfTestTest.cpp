// The command-line self-test of the shipped program on the Linux backend, against the private
// bus's mocked logind and UPower: its failure without logind (the system stories run it against
// the real daemons).
#include <gtest/gtest.h>

#include <string>

#include "tests/support/ChildProcess.hpp"
#include "tests/support/PrivateBus.hpp"
#include "tests/support/TempDir.hpp"

namespace noctave::test {
namespace {

TEST(LinuxSelfTest, FailsWithTheReasonInTheLogWithoutLogind) {
    PrivateBus bus;
    if (!bus.unavailable().empty()) {
        GTEST_SKIP() << "no private system bus: " << bus.unavailable();
    }
    ASSERT_TRUE(bus.startTemplate("upower", kUPower));
    TempDir temp;
    const ProgramRun run =
        runProgram(NOCTAVE_PROGRAM, {"--selftest"},
                   {.set = {{"NOCTAVE_PLATFORM", "linux"},
                            {"XDG_STATE_HOME", (temp.path() / "state").string()},
                            {"XDG_CONFIG_HOME", (temp.path() / "config").string()}}});
    const std::string out = run.out + run.err;
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(out.find("  FAIL  open logind's handle-lid-switch lock\n"), std::string::npos) << out;
    EXPECT_NE(out.find("ERR systemd-logind is not on the system bus "
                       "(org.freedesktop.login1 has no owner)"),
              std::string::npos);
}

}  // namespace
}  // namespace noctave::test

// The command-line self-test of the shipped program on the Linux backend, against the private
// bus's mocked logind and UPower.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/ChildProcess.hpp"
#include "tests/support/PrivateBus.hpp"
#include "tests/support/TempDir.hpp"

namespace noctave::test {
namespace {

class LinuxSelfTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!bus.unavailable().empty()) {
            GTEST_SKIP() << "no private system bus: " << bus.unavailable();
        }
        ASSERT_TRUE(bus.startTemplate("logind", kLogin));
        ASSERT_TRUE(bus.startTemplate("upower", kUPower));
    }
    // Runs `noctave --selftest`: its exit status, and its output and errors together.
    std::pair<int, std::string> selftest() const {
        const ProgramRun run =
            runProgram(NOCTAVE_PROGRAM, {"--selftest"},
                       {.set = {{"NOCTAVE_PLATFORM", "linux"},
                                {"XDG_STATE_HOME", (temp.path() / "state").string()},
                                {"XDG_CONFIG_HOME", (temp.path() / "config").string()}}});
        return {run.status, run.out + run.err};
    }

    PrivateBus bus;
    TempDir temp;
};

TEST_F(LinuxSelfTest, PassesAgainstLogindAndUPowerAndLeavesNoInhibitor) {
    auto [status, out] = selftest();
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("  ok    set lid-close flag (logind's Inhibit(handle-lid-switch), taken)\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("  ok    lid state = open\n"), std::string::npos) << out;
    EXPECT_NE(out.find("PASS\n"), std::string::npos);
    EXPECT_TRUE(bus.waitForInhibitors([](const auto& list) { return list.empty(); }));
}

TEST_F(LinuxSelfTest, FailsWithTheReasonInTheLogWithoutLogind) {
    ASSERT_TRUE(bus.stopTemplate(kLogin));
    auto [status, out] = selftest();
    EXPECT_EQ(status, 1);
    EXPECT_NE(out.find("  FAIL  open logind's handle-lid-switch lock\n"), std::string::npos) << out;
    EXPECT_NE(out.find("ERR systemd-logind is not on the system bus "
                       "(org.freedesktop.login1 has no owner)"),
              std::string::npos);
}

}  // namespace
}  // namespace noctave::test

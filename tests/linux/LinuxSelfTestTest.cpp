// The command-line self-test of the shipped program on the Linux backend, against the private
// bus's mocked logind and UPower.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/support/PrivateBus.hpp"

namespace noctave::test {
namespace {

class LinuxSelfTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!bus.unavailable().empty()) {
            GTEST_SKIP() << "no private system bus: " << bus.unavailable();
        }
        setenv("NOCTAVE_PLATFORM", "linux", 1);
        setenv("XDG_STATE_HOME", (temp.path() / "state").c_str(), 1);
        setenv("XDG_CONFIG_HOME", (temp.path() / "config").c_str(), 1);
        ASSERT_TRUE(bus.startTemplate("logind", kLogin));
        ASSERT_TRUE(bus.startTemplate("upower", kUPower));
    }
    // Runs `noctave --selftest`: its exit status, and its output and errors together.
    static std::pair<int, std::string> selftest() {
        FILE* pipe = popen("'" NOCTAVE_PROGRAM "' --selftest 2>&1", "re");
        std::string out;
        char buffer[4096];
        for (std::size_t got;
             pipe != nullptr && (got = fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
            out.append(buffer, got);
        }
        int status = pipe != nullptr ? pclose(pipe) : -1;
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
    }

    PrivateBus bus;
    TempDir temp;
};

TEST_F(LinuxSelfTest, PassesAgainstLogindAndUPowerAndLeavesNoInhibitor) {
    auto [status, out] = selftest();
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("  ok    set lid-close flag (selector 12, arg 1)\n"), std::string::npos);
    EXPECT_NE(out.find("  ok    lid state = open\n"), std::string::npos) << out;
    EXPECT_NE(out.find("PASS\n"), std::string::npos);
    EXPECT_TRUE(bus.waitForInhibitors([](const auto& list) { return list.empty(); }));
}

TEST_F(LinuxSelfTest, FailsWithTheReasonInTheLogWithoutLogind) {
    ASSERT_TRUE(bus.stopTemplate(kLogin));
    auto [status, out] = selftest();
    EXPECT_EQ(status, 1);
    EXPECT_NE(out.find("  FAIL  open IOPMrootDomain user client\n"), std::string::npos) << out;
    EXPECT_NE(out.find("ERR systemd-logind is not on the system bus "
                       "(org.freedesktop.login1 has no owner)"),
              std::string::npos);
}

}  // namespace
}  // namespace noctave::test

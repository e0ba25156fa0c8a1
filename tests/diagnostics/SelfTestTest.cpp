#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <string_view>

#include "app/diagnostics/SelfTestCommand.hpp"
#include "platform/sim/SimPower.hpp"
#include "tests/diagnostics/DiagnosticRuns.hpp"
#include "tests/support/SimTest.hpp"

namespace noctave::test {
namespace {

const std::string kRule = "-------------------\n";
const std::string kOpened = "Noctave self-test\n" + kRule +
                            "  ok    opened IOPMrootDomain user client\n"
                            "  --    the advisory lid-sleep property = Yes (advisory only)\n";
const std::string kSensor = "  ok    lid-angle sensor present; angle = 110\u00B0\n";
const std::string kLidOpen =
    "  ok    lid state = open\n"
    "  ok    temperature = 45 \u00B0C (cpu; cut-off 95 \u00B0C)\n";

// The flag and assertion checks in their order, each marked as `marks` says ('F' = FAIL).
std::string checks(std::string_view marks) {
    const char* labels[] = {"set lid-close flag (selector 12, arg 1)", "set is idempotent",
                            "acquire PreventUserIdleSystemSleep assertion", "assertion released",
                            "clear lid-close flag (selector 12, arg 0)"};
    std::string lines;
    for (std::size_t i = 0; i < marks.size(); ++i) {
        lines += (marks[i] == 'F' ? "  FAIL  " : "  ok    ") + std::string(labels[i]) + "\n";
    }
    return lines;
}

const std::string kHealthy = kOpened + checks("ooooo") + kSensor + kLidOpen + kRule + "PASS\n";

TEST(SelfTest, PrintsTheWholeReportAndLeavesNothingSet) {
    expectRuns(
        {"--selftest"},
        {{"", kHealthy, 0},
         // Without the hinge sensor the gesture is gone, but nothing the program needs failed.
         {"angle=absent",
          kOpened + checks("ooooo") +
              "  --    lid-angle sensor absent (Fn-close gesture unavailable on this Mac)\n" +
              kLidOpen + kRule + "PASS\n",
          0},
         {"angle=none",
          kOpened + checks("ooooo") + "  ok    lid-angle sensor present; angle = not reporting\n" +
              kLidOpen + kRule + "PASS\n",
          0},
         // A refused flag fails both sets and the clear, and the rest still runs.
         {"flag=refuse", kOpened + checks("FFooF") + kSensor + kLidOpen + kRule + "FAIL (3)\n", 1},
         // Releasing an assertion that was never taken is no failure; only the acquire counts.
         {"assertions=refuse",
          kOpened + checks("ooFoo") + kSensor + kLidOpen + kRule + "FAIL (1)\n", 1},
         // No sensor: nothing failed, but the report says the cut-off cannot act.
         {"thermal=none",
          kOpened + checks("ooooo") + kSensor + "  ok    lid state = open\n" +
              "  --    no temperature sensor (the thermal cut-off cannot act)\n" + kRule + "PASS\n",
          0},
         {"rootdomain=missing",
          "Noctave self-test\n" + kRule + "  FAIL  open IOPMrootDomain user client\n", 1}});
}

TEST(SelfTest, WinsOverTheOtherChecksWhereverItStands) {
    expectRuns({"--verify-disconnect-guard", "--diagnose", "--selftest"}, {{"", kHealthy, 0}});
}

class SelfTestInProcess : public SimTest {};

// A clear refused on the self-test's own connection is reported, but the flag must not stay
// set behind the report: the confirmed clear takes over on a fresh connection.
TEST_F(SelfTestInProcess, AFailedClearIsReportedAndTheFlagClearedAnyway) {
    auto calls = std::make_shared<int>(0);
    laptop.power().setOnScalarCall([this, calls] {
        ++*calls;
        // Calls 1 and 2 are the two sets; the next two clears on that connection are refused.
        laptop.power().setRefuseFlag(*calls == 3 || *calls == 4);
    });

    int status = -1;
    const std::string out =
        captureStandardOutput([&status] { status = app::SelfTest::run(); }, temp.path());

    EXPECT_EQ(out, kOpened + checks("ooooF") + kSensor + kLidOpen + kRule + "FAIL (1)\n");
    EXPECT_EQ(status, 1);
    EXPECT_TRUE(
        log.contains("kernel flag clear failed on primary connection; trying fresh connection"));
    EXPECT_FALSE(laptop.power().kernelFlag());
}

}  // namespace
}  // namespace noctave::test

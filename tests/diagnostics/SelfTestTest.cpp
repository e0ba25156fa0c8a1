#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "app/SelfTest.hpp"
#include "platform/sim/SimPower.hpp"
#include "tests/diagnostics/NoctaveProcess.hpp"
#include "tests/support/SimTest.hpp"
#include "tests/support/TempDir.hpp"

namespace noctave::test {
namespace {

const std::string kHeader =
    "Noctave self-test\n"
    "-------------------\n";
const std::string kOpened =
    "  ok    opened IOPMrootDomain user client\n"
    "  --    the advisory lid-sleep property = Yes (advisory only)\n";
const std::string kAllChecksPass =
    "  ok    set lid-close flag (selector 12, arg 1)\n"
    "  ok    set is idempotent\n"
    "  ok    acquire PreventUserIdleSystemSleep assertion\n"
    "  ok    assertion released\n"
    "  ok    clear lid-close flag (selector 12, arg 0)\n";
const std::string kSensor110 = "  ok    lid-angle sensor present; angle = 110\u00B0\n";
const std::string kLidOpen = "  ok    lid state = open\n";
const std::string kPass = "-------------------\nPASS\n";

struct SelfTestCase {
    const char* name;
    const char* sim;
    std::string expected;
    int status;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const SelfTestCase& c, std::ostream* out) {
    *out << c.name;
}

class SelfTestRun : public ::testing::TestWithParam<SelfTestCase> {};

TEST_P(SelfTestRun, PrintsTheWholeReportAndLeavesNothingSet) {
    const SelfTestCase& c = GetParam();
    TempDir home;
    const NoctaveRun run = runNoctave({"--selftest"}, c.sim, home.path());
    EXPECT_EQ(run.out, c.expected) << run.err;
    EXPECT_EQ(run.status, c.status) << run.err;
    const std::string state = finalSimState(home.path());
    EXPECT_NE(state.find("lid-close bit: clear\nassertions held: 0\n"), std::string::npos) << state;
}

INSTANTIATE_TEST_SUITE_P(
    Variants, SelfTestRun,
    ::testing::Values(
        SelfTestCase{"healthy", "",
                     kHeader + kOpened + kAllChecksPass + kSensor110 + kLidOpen + kPass, 0},
        // The whole reading is shown truncated, and the lid's three states by their names.
        SelfTestCase{"closedLid", "lid=closed,angle=3",
                     kHeader + kOpened + kAllChecksPass +
                         "  ok    lid-angle sensor present; angle = 3\u00B0\n"
                         "  ok    lid state = closed\n" +
                         kPass,
                     0},
        // Without the hinge sensor the gesture is gone, but nothing the program needs failed.
        SelfTestCase{"sensorAbsent", "angle=absent",
                     kHeader + kOpened + kAllChecksPass +
                         "  --    lid-angle sensor absent (Fn-close gesture unavailable on this "
                         "Mac)\n" +
                         kLidOpen + kPass,
                     0},
        SelfTestCase{"sensorNotReporting", "angle=none",
                     kHeader + kOpened + kAllChecksPass +
                         "  ok    lid-angle sensor present; angle = not reporting\n" + kLidOpen +
                         kPass,
                     0},
        // A refused flag fails both sets and the clear, and the rest still runs.
        SelfTestCase{"flagRefused", "flag=refuse",
                     kHeader + kOpened +
                         "  FAIL  set lid-close flag (selector 12, arg 1)\n"
                         "  FAIL  set is idempotent\n"
                         "  ok    acquire PreventUserIdleSystemSleep assertion\n"
                         "  ok    assertion released\n"
                         "  FAIL  clear lid-close flag (selector 12, arg 0)\n" +
                         kSensor110 + kLidOpen + "-------------------\nFAIL (3)\n",
                     1},
        // Releasing an assertion that was never taken is no failure; only the acquire counts.
        SelfTestCase{"assertionsRefused", "assertions=refuse",
                     kHeader + kOpened +
                         "  ok    set lid-close flag (selector 12, arg 1)\n"
                         "  ok    set is idempotent\n"
                         "  FAIL  acquire PreventUserIdleSystemSleep assertion\n"
                         "  ok    assertion released\n"
                         "  ok    clear lid-close flag (selector 12, arg 0)\n" +
                         kSensor110 + kLidOpen + "-------------------\nFAIL (1)\n",
                     1},
        SelfTestCase{"rootDomainMissing", "rootdomain=missing",
                     kHeader + "  FAIL  open IOPMrootDomain user client\n", 1}),
    [](const ::testing::TestParamInfo<SelfTestCase>& info) { return info.param.name; });

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

    EXPECT_NE(out.find("  FAIL  clear lid-close flag (selector 12, arg 0)\n"), std::string::npos)
        << out;
    EXPECT_NE(out.find("-------------------\nFAIL (1)\n"), std::string::npos) << out;
    EXPECT_EQ(status, 1);
    EXPECT_TRUE(
        log.contains("kernel flag clear failed on primary connection; trying fresh connection"));
    EXPECT_FALSE(laptop.power().kernelFlag());
}

}  // namespace
}  // namespace noctave::test

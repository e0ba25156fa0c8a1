#include <gtest/gtest.h>

#include <string>

#include "tests/diagnostics/NoctaveProcess.hpp"
#include "tests/support/TempDir.hpp"

namespace noctave::test {
namespace {

const std::string kRule = "------------------------------------------\n";
const std::string kIntro = "Noctave - lid-close disconnect guard check\n" + kRule +
                           "This reproduces the exact sleep that an external-display unplug\n"
                           "triggers, without needing an external display.\n"
                           "\n"
                           "  1. Close the lid when asked, and leave it closed.\n"
                           "  2. Wait about a minute.\n"
                           "  3. Open the lid and read the verdict here.\n"
                           "\n";
const std::string kArmed = "armed. Close the lid now\u2026\n";
const std::string kOpenPrompt = "\nOpen the lid\u2026\n";

struct GuardCase {
    const char* name;
    const char* sim;
    std::string expected;
    int status;
    const char* sleeps;  // how often the virtual machine slept, as its state report says
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const GuardCase& c, std::ostream* out) {
    *out << c.name;
}

class DisconnectGuardRun : public ::testing::TestWithParam<GuardCase> {};

TEST_P(DisconnectGuardRun, GivesTheVerdictOfTheSleepWatchAndGivesEverythingBack) {
    const GuardCase& c = GetParam();
    TempDir home;
    const NoctaveRun run = runNoctave({"--verify-disconnect-guard"}, c.sim, home.path());
    EXPECT_EQ(run.out, c.expected) << run.err;
    EXPECT_EQ(run.status, c.status) << run.err;
    const std::string state = finalSimState(home.path());
    EXPECT_EQ(state.rfind("lid-close bit: clear\nassertions held: 0\n", 0), 0u) << state;
    EXPECT_NE(state.find(std::string("sleeps: ") + c.sleeps + "\n"), std::string::npos) << state;
}

INSTANTIATE_TEST_SUITE_P(
    Verdicts, DisconnectGuardRun,
    ::testing::Values(
        // On AC the guard keeps the machine awake when the bit goes; it sleeps only once the
        // guard is given back with the lid still shut, after the watch.
        GuardCase{"guardHoldsOnAC", "autolid=1,power=ac",
                  kIntro + kArmed + kOpenPrompt + kRule +
                      "  guard assertion:  held\n"
                      "  power source:     AC\n"
                      "PASS  the Mac stayed awake with the bit cleared\n",
                  0, "1"},
        GuardCase{"guardInertOnBattery", "autolid=1,power=battery",
                  kIntro + kArmed + kOpenPrompt + kRule +
                      "  guard assertion:  held\n"
                      "  power source:     battery - the guard is inert here\n"
                      "FAIL  the Mac slept when the bit was cleared\n",
                  1, "1"},
        GuardCase{"guardRefused", "autolid=1,systemsleep=refuse",
                  kIntro + kArmed + kOpenPrompt + kRule +
                      "  guard assertion:  refused\n"
                      "  power source:     AC\n"
                      "FAIL  the Mac slept when the bit was cleared\n",
                  1, "1"},
        // Nobody opens the lid here: each sleep lasts until the machine wakes by itself, and
        // giving the guard back on the closed lid sleeps it once more.
        GuardCase{"alreadyClosedOnBattery", "lid=closed,power=battery",
                  kIntro + kArmed + kOpenPrompt + kRule +
                      "  guard assertion:  held\n"
                      "  power source:     battery - the guard is inert here\n"
                      "FAIL  the Mac slept when the bit was cleared\n",
                  1, "2"},
        GuardCase{"cannotArm", "autolid=1,assertions=refuse", kIntro + "FAIL  could not arm\n", 1,
                  "0"},
        GuardCase{"lidNeverCloses", "",
                  kIntro + kArmed + "FAIL  lid never closed; nothing was tested\n", 1, "0"},
        GuardCase{"rootDomainMissing", "autolid=1,rootdomain=missing",
                  kIntro + "FAIL  could not open IOPMrootDomain\n", 1, "0"}),
    [](const ::testing::TestParamInfo<GuardCase>& info) { return info.param.name; });

}  // namespace
}  // namespace noctave::test

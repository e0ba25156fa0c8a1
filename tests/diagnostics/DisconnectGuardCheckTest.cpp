#include <gtest/gtest.h>

#include <string>

#include "tests/diagnostics/DiagnosticRuns.hpp"

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
const std::string kArmed = kIntro + "armed. Close the lid now\u2026\n";
const std::string kWatched = kArmed + "\nOpen the lid\u2026\n" + kRule + "  guard assertion:  ";
const std::string kSlept = "FAIL  the Mac slept when the bit was cleared\n";

TEST(DisconnectGuardCheck, GivesTheVerdictOfTheSleepWatchAndGivesEverythingBack) {
    expectRuns(
        {"--verify-disconnect-guard"},
        {// On AC the held guard keeps the machine awake when the bit goes.
         {"autolid=1,power=ac",
          kWatched + "held\n  power source:     AC\n" +
              "PASS  the Mac stayed awake with the bit cleared\n",
          0},
         {"autolid=1,power=battery",
          kWatched + "held\n  power source:     battery - the guard is inert here\n" + kSlept, 1},
         {"autolid=1,systemsleep=refuse", kWatched + "refused\n  power source:     AC\n" + kSlept,
          1},
         {"autolid=1,assertions=refuse", kIntro + "FAIL  could not arm\n", 1},
         {"", kArmed + "FAIL  lid never closed; nothing was tested\n", 1},
         {"autolid=1,rootdomain=missing", kIntro + "FAIL  could not open IOPMrootDomain\n", 1}});
}

// A kernel that sets the bit but will not clear it keeps the machine awake on its own: no verdict
// on the guard, and the bit reported left set rather than hidden.
TEST(DisconnectGuardCheck, ARefusedClearFailsWithoutAVerdictAndGivesTheAssertionsBack) {
    const RunRecord run = runOnce({"--verify-disconnect-guard"}, "autolid=1,flag=refuseclear");
    EXPECT_EQ(run.out, kArmed + "FAIL  could not clear the bit; nothing was tested\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(run.state.starts_with("lid-close bit: set\nassertions held: 0\n")) << run.state;
    EXPECT_NE(run.log.find(" ERR disconnect-guard check: clearing the shared bit was refused\n"),
              std::string::npos)
        << run.log;
    EXPECT_NE(run.log.find(" ERR disconnect-guard check: the lid-close bit could not be cleared\n"),
              std::string::npos)
        << run.log;
    EXPECT_EQ(run.log.find("the Mac stayed awake"), std::string::npos) << run.log;
}

}  // namespace
}  // namespace noctave::test

#include <gtest/gtest.h>

#include <string>

#include "tests/diagnostics/NoctaveProcess.hpp"
#include "tests/support/TempDir.hpp"

namespace noctave::test {
namespace {

const std::string kQuietSections =
    "\n--- changed while flag was SET ---\n"
    "  (no observable property change)\n"
    "\n--- did everything return to baseline? ---\n"
    "  yes - clean restore\n"
    "\n--- lid-close-related properties now ---\n"
    "  SleepDisabled = No\n";

TEST(Diagnose, ReportsNoChangeWhenTheFlagLeavesEveryPropertyAlone) {
    TempDir home;
    const NoctaveRun run = runNoctave({"--diagnose"}, "", home.path());
    EXPECT_EQ(run.out, "IOPMrootDomain properties: 6\n" + kQuietSections) << run.err;
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(finalSimState(home.path()).rfind("lid-close bit: clear\nassertions held: 0\n", 0),
              0u);
}

TEST(Diagnose, EndsEarlyWhenTheRootDomainOrTheFlagFails) {
    TempDir missing;
    NoctaveRun run = runNoctave({"--diagnose"}, "rootdomain=missing", missing.path());
    EXPECT_EQ(run.out, "could not open IOPMrootDomain\n");
    EXPECT_EQ(run.status, 1);

    TempDir refused;
    run = runNoctave({"--diagnose"}, "flag=refuse", refused.path());
    EXPECT_EQ(run.out, "IOPMrootDomain properties: 6\nselector 12 (arg 1) FAILED\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(finalSimState(refused.path()).rfind("lid-close bit: clear\n", 0), 0u);
}

}  // namespace
}  // namespace noctave::test

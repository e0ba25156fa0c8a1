#include <gtest/gtest.h>

#include <string>

#include "app/DiagnosticCommands.hpp"
#include "tests/diagnostics/NoctaveProcess.hpp"
#include "tests/support/TempDir.hpp"

namespace noctave::test {
namespace {

TEST(DiagnosticMode, OnlyWholeExactArgumentsSelectACheck) {
    for (const char* near : {"--selftest=1", "--SELFTEST", "-selftest", "--selftestx", "selftest",
                             "--diagnose ", "--verify-disconnect"}) {
        std::string program = "noctave";
        std::string argument = near;
        char* argv[] = {program.data(), argument.data(), nullptr};
        EXPECT_FALSE(app::runDiagnosticMode(2, argv).has_value()) << near;
    }
}

TEST(DiagnosticMode, TheSelfTestWinsOverTheOtherChecksWhereverItStands) {
    TempDir home;
    const NoctaveRun run =
        runNoctave({"--verify-disconnect-guard", "--diagnose", "--selftest"}, "", home.path());
    EXPECT_EQ(run.out.rfind("Noctave self-test\n", 0), 0u) << run.out;
    EXPECT_EQ(run.status, 0);

    TempDir other;
    const NoctaveRun diagnose =
        runNoctave({"--verify-disconnect-guard", "--diagnose"}, "", other.path());
    EXPECT_EQ(diagnose.out.rfind("IOPMrootDomain properties: ", 0), 0u) << diagnose.out;
}

TEST(DiagnosticMode, TheProgramPathCountsAsAnArgument) {
    TempDir home;
    const NoctaveRun run = runNoctave({}, "", home.path(), "--diagnose");
    EXPECT_EQ(run.out.rfind("IOPMrootDomain properties: ", 0), 0u) << run.out;
    EXPECT_EQ(run.status, 0);
}

TEST(DiagnosticMode, ABadVirtualLaptopSettingEndsTheRunWithStatusTwo) {
    TempDir home;
    const NoctaveRun run = runNoctave({"--selftest"}, "autolid=maybe", home.path());
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "bad NOCTAVE_SIM value for autolid: maybe\n");
    EXPECT_EQ(run.status, 2);
}

}  // namespace
}  // namespace noctave::test

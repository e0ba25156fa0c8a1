#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <string>

#include "app/diagnostics/DiagnosticCommands.hpp"
#include "core/text/Iso8601.hpp"
#include "tests/diagnostics/DiagnosticRuns.hpp"

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

// The check runs minutes of virtual time in milliseconds; its log lines, which share the file
// with the application's, still carry the real time they were written.
TEST(DiagnosticMode, LogLinesOfAVirtualTimeCheckCarryTheRealTime) {
    const auto before =
        std::chrono::floor<std::chrono::milliseconds>(std::chrono::system_clock::now());
    const RunRecord run = runOnce({"--verify-disconnect-guard"}, "autolid=1,power=ac");
    const auto after = std::chrono::system_clock::now();
    ASSERT_EQ(run.status, 0) << run.out;
    std::istringstream lines(run.log);
    int stamped = 0;
    for (std::string line; std::getline(lines, line);) {
        ASSERT_TRUE(line.size() > 26 && line[0] == '[' && line[25] == ']') << line;
        const auto stamp = iso8601::parse(std::string_view(line).substr(1, 24));
        ASSERT_TRUE(stamp.has_value()) << line;
        EXPECT_GE(*stamp, before) << line;
        EXPECT_LE(*stamp, after) << line;
        ++stamped;
    }
    EXPECT_GE(stamped, 3) << run.log;
}

}  // namespace
}  // namespace noctave::test

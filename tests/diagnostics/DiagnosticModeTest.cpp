#include <gtest/gtest.h>

#include <string>

#include "app/diagnostics/DiagnosticCommands.hpp"

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

}  // namespace
}  // namespace noctave::test

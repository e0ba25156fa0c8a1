#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/support/AppInfo.hpp"
#include "tests/support/ChildProcess.hpp"
#include "tests/support/TempDir.hpp"

namespace noctave::test {
namespace {

TEST(CommandLineHelpTest, HelpWinsOverVersionAndBothYieldToACheckOrExportAnywhereInTheLine) {
    struct Case {
        const char* arguments;
        int status;
        std::string outBegins;
        const char* err;  // nullptr: the mode's own business
    };
    const std::string version = "Noctave " + AppInfo::version() + "\n";
    const Case cases[] = {
        {"--help", 0, "Usage: noctave [OPTION...]\n", ""},
        {"--version", 0, version, ""},
        // Help wins over the version wherever it stands.
        {"--version --help", 0, "Usage: noctave", ""},
        // A check or an export named anywhere runs instead: scripts keep their verdicts.
        {"--help --selftest", 0, "Noctave self-test\n", nullptr},
        {"--version --preview-menu-icon p.png", 0, "wrote ", ""},
        // Only a whole argument counts.
        {"--help --version=2", 0, "Usage: noctave", ""},
    };
    TempDir temp;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments);
        const ProgramRun run =
            runProgram(NOCTAVE_BINARY, words(c.arguments),
                       {.set = {{"NOCTAVE_PLATFORM", "sim"},
                                {"NOCTAVE_SIM_HOME", (temp.path() / "home").string()}},
                        .workingDirectory = temp.path()});
        EXPECT_EQ(run.status, c.status) << run.err;
        EXPECT_EQ(run.out.rfind(c.outBegins, 0), 0u) << run.out;
        if (std::string(c.arguments) == "--version") {
            EXPECT_EQ(run.out, version);
        }
        if (c.err != nullptr) {
            EXPECT_EQ(run.err, c.err);
        }
    }
}

// On Linux the help says how GNOME users turn the extension on; the virtual laptop plays a Mac,
// which has no such thing.
TEST(CommandLineHelpTest, OnLinuxTheHelpSaysHowToTurnOnTheGnomeShellExtension) {
    const std::string enable = "gnome-extensions enable noctave@quillor.com\n";
    const ProgramRun onLinux =
        runProgram(NOCTAVE_BINARY, {"--help"}, {.unset = {"NOCTAVE_PLATFORM"}});
    EXPECT_NE(onLinux.out.find(enable), std::string::npos) << onLinux.out;
    const ProgramRun onSim =
        runProgram(NOCTAVE_BINARY, {"--help"}, {.set = {{"NOCTAVE_PLATFORM", "sim"}}});
    EXPECT_EQ(onSim.out.find("gnome-extensions"), std::string::npos) << onSim.out;
}

TEST(CommandLineHelpTest, ATextThatCannotBeWrittenIsAFailureNotAnAnswer) {
    for (const char* option : {"--help", "--version"}) {
        SCOPED_TRACE(option);
        const ProgramRun run =
            runProgram(NOCTAVE_BINARY, {option}, {.standardOutput = "/dev/full"});
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.err, "noctave: could not write to standard output\n");
    }
}

}  // namespace
}  // namespace noctave::test

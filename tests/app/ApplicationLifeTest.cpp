// The tray application's life as a session manager or a script sees it: a process, its exit
// status and what it leaves behind.
#include <signal.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "tests/support/ChildProcess.hpp"
#include "tests/support/TempDir.hpp"

namespace noctave::test {
namespace {

namespace fs = std::filesystem;

TEST(ApplicationLifeTest, WithoutADisplayItSaysSoInOneLineAndLeavesNothingBehind) {
    TempDir temp;
    const ProgramRun run = runProgram(
        NOCTAVE_BINARY, {},
        {.set = {{"NOCTAVE_PLATFORM", "sim"}, {"TMPDIR", temp.path().string()}},
         .unset = {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "NOCTAVE_SIM_HOME"}});
    ASSERT_FALSE(run.timedOut);
    EXPECT_EQ(run.signal, 0) << "no abort";
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err,
              "Noctave: the tray application needs a graphical session (DISPLAY or "
              "WAYLAND_DISPLAY); the command-line checks (--selftest, --diagnose, "
              "--verify-disconnect-guard) and the image exports work without one.\n");
    EXPECT_EQ(run.out, "");
    EXPECT_TRUE(fs::is_empty(temp.path())) << "no virtual laptop folder left in TMPDIR";
}

// A termination signal at any moment after the process can handle one is an orderly quit; a
// launch that failed ends with status 1 once its alert is gone.
TEST(ApplicationLifeTest, ASignalRightAfterStartQuitsInOrderAndAFailedLaunchExitsWithOne) {
    const struct {
        const char* sim;
        const char* waitFor;  // on standard error, before the signal
        int signalNumber;
        int status;
        const char* logEnds;  // how the diagnostic log ends
    } cases[] = {
        // Before the launch has run: nothing to shut down yet.
        {"", "INF running on the virtual laptop (NOCTAVE_PLATFORM=sim)", SIGTERM, 0, ""},
        {"", "INF running on the virtual laptop (NOCTAVE_PLATFORM=sim)", SIGHUP, 0, ""},
        {"", "INF running on the virtual laptop (NOCTAVE_PLATFORM=sim)", SIGINT, 0, ""},
        // Launched: the session's shutdown runs.
        {"", "INF session ready", SIGTERM, 0, "INF clean exit\n"},
        // The alert of a failed launch is up; the session manager ends it.
        {"rootdomain=missing", "ERR launch failed: IOPMrootDomain service not found", SIGTERM, 1,
         "ERR launch failed: IOPMrootDomain service not found\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.waitFor) + " / signal " + std::to_string(c.signalNumber));
        TempDir temp;
        ProgramOptions options{.set = {{"QT_QPA_PLATFORM", "offscreen"},
                                       {"NOCTAVE_PLATFORM", "sim"},
                                       {"NOCTAVE_SIM_HOME", temp.path().string()}},
                               .unset = {"NOCTAVE_SIM"}};
        if (*c.sim != '\0') {
            options.set.emplace_back("NOCTAVE_SIM", c.sim);
        }
        ChildProcess process(NOCTAVE_BINARY, {}, options);
        ASSERT_EQ(process.failure(), "");
        ASSERT_TRUE(process.waitForLine(Stream::error, c.waitFor)) << process.wait(0).err;
        process.signal(c.signalNumber);
        const ProgramRun run = process.wait(30);
        const std::string& seen = run.err;
        ASSERT_FALSE(run.timedOut) << seen;
        EXPECT_EQ(run.signal, 0) << seen;
        EXPECT_EQ(run.status, c.status) << seen;
        if (*c.logEnds != '\0') {
            // The last log line (the toolkit may add remarks of its own after it).
            std::string last;
            std::istringstream lines(seen);
            for (std::string line; std::getline(lines, line);) {
                if (line.starts_with('[')) {
                    last = line + "\n";
                }
            }
            EXPECT_TRUE(last.ends_with(c.logEnds)) << seen;
        }
        // The running application leaves its report of the virtual machine, as the checks do.
        std::ifstream report(temp.path() / "sim-state");
        std::string first;
        std::getline(report, first);
        EXPECT_EQ(first, "lid-close bit: clear");
    }
}

}  // namespace
}  // namespace noctave::test

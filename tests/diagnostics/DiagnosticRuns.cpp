#include "tests/diagnostics/DiagnosticRuns.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>

#include "tests/support/ChildProcess.hpp"
#include "tests/support/TempDir.hpp"

namespace noctave::test {

namespace {

// Runs noctave on a fresh virtual laptop kept in `home`. The caller's own NOCTAVE_ variables
// are not passed on.
ProgramRun runNoctave(const std::vector<std::string>& arguments, const std::string& sim,
                      const std::filesystem::path& home) {
    ProgramOptions options;
    options.unset = {"NOCTAVE_*"};
    options.set = {
        {"NOCTAVE_PLATFORM", "sim"}, {"NOCTAVE_SIM", sim}, {"NOCTAVE_SIM_HOME", home.string()}};
    ProgramRun run = runProgram(NOCTAVE_EXECUTABLE, arguments, options);
    EXPECT_FALSE(run.timedOut) << "noctave " << ::testing::PrintToString(arguments);
    return run;
}

}  // namespace

void expectRuns(const std::vector<std::string>& arguments, const std::vector<RunCase>& cases) {
    for (const RunCase& c : cases) {
        SCOPED_TRACE("NOCTAVE_SIM=" + c.sim);
        TempDir home;
        const ProgramRun run = runNoctave(arguments, c.sim, home.path());
        EXPECT_EQ(run.out, c.out) << run.err;
        EXPECT_EQ(run.status, c.status) << run.err;
        const std::string state = readFile(home.path() / "sim-state");
        EXPECT_TRUE(state.starts_with("lid-close bit: clear\nassertions held: 0\n")) << state;
    }
}

RunRecord runOnce(const std::vector<std::string>& arguments, const std::string& sim) {
    TempDir home;
    const ProgramRun program = runNoctave(arguments, sim, home.path());
    RunRecord run;
    run.status = program.status;
    run.out = program.out;
    run.state = readFile(home.path() / "sim-state");
    run.log = readFile(home.path() / "state" / "Noctave" / "diagnostics.log");
    return run;
}

std::string captureStandardOutput(const std::function<void()>& fn,
                                  const std::filesystem::path& scratch) {
    const auto file = scratch / "captured.stdout";
    std::fflush(stdout);
    const int saved = ::dup(STDOUT_FILENO);
    const int capture = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(capture, STDOUT_FILENO);
    ::close(capture);
    fn();
    std::fflush(stdout);
    ::dup2(saved, STDOUT_FILENO);
    ::close(saved);
    return readFile(file);
}

}  // namespace noctave::test

#include "tests/diagnostics/NoctaveProcess.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "tests/support/TempDir.hpp"

extern char** environ;

namespace noctave::test {

namespace {

std::string readWhole(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Runs noctave on the virtual laptop kept in `home`. The caller's own NOCTAVE_ variables are
// not passed on. Returns the exit status, -1 when it did not exit normally.
int runNoctave(const std::vector<std::string>& arguments, const std::string& sim,
               const std::filesystem::path& home) {
    std::vector<std::string> env;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (std::strncmp(*entry, "NOCTAVE_", 8) != 0) {
            env.emplace_back(*entry);
        }
    }
    env.insert(env.end(),
               {"NOCTAVE_PLATFORM=sim", "NOCTAVE_SIM=" + sim, "NOCTAVE_SIM_HOME=" + home.string()});
    std::vector<std::string> argv{NOCTAVE_EXECUTABLE};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    const auto pointers = [](std::vector<std::string>& strings) {
        std::vector<char*> result;
        for (auto& s : strings) {
            result.push_back(s.data());
        }
        result.push_back(nullptr);
        return result;
    };

    // Both streams go to files: no pipe can fill up and stall the child.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, (home / "run.stdout").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, (home / "run.stderr").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, argv[0].c_str(), &actions, nullptr, pointers(argv).data(),
                                    pointers(env).data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        ADD_FAILURE() << "could not start " << argv[0] << ": " << std::strerror(spawned);
        return -1;
    }
    int wstatus = 0;
    while (waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
}

}  // namespace

void expectRuns(const std::vector<std::string>& arguments, const std::vector<RunCase>& cases) {
    for (const RunCase& c : cases) {
        SCOPED_TRACE("NOCTAVE_SIM=" + c.sim);
        TempDir home;
        const int status = runNoctave(arguments, c.sim, home.path());
        const std::string err = readWhole(home.path() / "run.stderr");
        EXPECT_EQ(readWhole(home.path() / "run.stdout"), c.out) << err;
        EXPECT_EQ(status, c.status) << err;
        const std::string state = readWhole(home.path() / "sim-state");
        EXPECT_TRUE(state.starts_with("lid-close bit: clear\nassertions held: 0\n")) << state;
    }
}

RunRecord runOnce(const std::vector<std::string>& arguments, const std::string& sim) {
    TempDir home;
    RunRecord run;
    run.status = runNoctave(arguments, sim, home.path());
    run.out = readWhole(home.path() / "run.stdout");
    run.state = readWhole(home.path() / "sim-state");
    run.log = readWhole(home.path() / "state" / "Noctave" / "diagnostics.log");
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
    return readWhole(file);
}

}  // namespace noctave::test

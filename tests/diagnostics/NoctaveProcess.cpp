#include "tests/diagnostics/NoctaveProcess.hpp"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

extern char** environ;

namespace noctave::test {

namespace {

std::string readWhole(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

NoctaveRun runNoctave(const std::vector<std::string>& arguments, const std::string& sim,
                      const std::filesystem::path& home, const std::string& argv0) {
    std::vector<std::string> env;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (std::strncmp(*entry, "NOCTAVE_", 8) != 0) {
            env.emplace_back(*entry);
        }
    }
    env.emplace_back("NOCTAVE_PLATFORM=sim");
    env.emplace_back("NOCTAVE_SIM=" + sim);
    env.emplace_back("NOCTAVE_SIM_HOME=" + home.string());

    const std::string program = NOCTAVE_EXECUTABLE;
    std::vector<std::string> argv{argv0.empty() ? program : argv0};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::vector<char*> argvPointers;
    for (auto& arg : argv) {
        argvPointers.push_back(arg.data());
    }
    argvPointers.push_back(nullptr);
    std::vector<char*> envPointers;
    for (auto& entry : env) {
        envPointers.push_back(entry.data());
    }
    envPointers.push_back(nullptr);

    // Both streams go to files: no pipe can fill up and stall the child.
    const auto outFile = home / "run.stdout";
    const auto errFile = home / "run.stderr";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outFile.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errFile.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argvPointers.data(),
                                    envPointers.data());
    posix_spawn_file_actions_destroy(&actions);

    NoctaveRun run;
    if (spawned != 0) {
        run.err = "could not start " + program + ": " + std::strerror(spawned);
        return run;
    }
    int wstatus = 0;
    while (waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
    }
    run.out = readWhole(outFile);
    run.err = readWhole(errFile);
    if (WIFEXITED(wstatus)) {
        run.status = WEXITSTATUS(wstatus);
    }
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

std::string finalSimState(const std::filesystem::path& home) {
    return readWhole(home / "sim-state");
}

}  // namespace noctave::test

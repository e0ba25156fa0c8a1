#include "platform/linux/LinuxProcesses.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>

extern char** environ;

namespace noctave::linuxos {

int LinuxProcesses::currentPid() const {
    return static_cast<int>(getpid());
}

bool LinuxProcesses::isAlive(int pid) const {
    // pid 0 and negative pids address process groups; they are never "a process".
    if (pid <= 0) {
        return false;
    }
    return kill(pid, 0) == 0;
}

int64_t LinuxProcesses::bootTime() const {
    std::ifstream in(procRoot_ / "stat");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("btime ", 0) != 0) {
            continue;
        }
        const char* begin = line.data() + 6;
        const char* end = line.data() + line.size();
        while (begin < end && *begin == ' ') {
            ++begin;
        }
        int64_t value = 0;
        auto [ptr, ec] = std::from_chars(begin, end, value);
        return ec == std::errc{} && value > 0 ? value : 0;
    }
    return 0;
}

os::Processes::SpawnResult LinuxProcesses::spawnAndWait(const std::string& program,
                                                        const std::vector<std::string>& arguments) {
    SpawnResult result;
    std::vector<char*> argv;
    argv.reserve(arguments.size() + 2);
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // The helper's chatter is not ours to show; its exit status is what counts.
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);

    // Signal dispositions and masks of this process (the recovery handlers) must not leak
    // into the helper.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    sigset_t all;
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    pid_t pid = 0;
    // A bare name is looked up on PATH; a path is used as given.
    int rc = program.find('/') == std::string::npos
                 ? posix_spawnp(&pid, program.c_str(), &actions, &attributes, argv.data(), environ)
                 : posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (rc != 0) {
        result.error = std::strerror(rc);
        return result;
    }
    result.launched = true;
    int status = 0;
    pid_t waited;
    do {
        waited = waitpid(pid, &status, 0);
    } while (waited < 0 && errno == EINTR);
    if (waited == pid && WIFEXITED(status)) {
        result.exitStatus = WEXITSTATUS(status);
    }
    return result;
}

}  // namespace noctave::linuxos

#include "platform/linux/LinuxProcesses.hpp"

#include "platform/linux/MachineRoots.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>

extern char** environ;

namespace noctave::linuxos {

namespace {
constexpr std::size_t kMaxCommandLine = 4096;

// A short /proc file, up to `limit` bytes; empty when it cannot be read (the process is gone).
std::string readProcFile(const std::filesystem::path& file, std::size_t limit) {
    std::string text(limit, '\0');
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        return {};
    }
    ssize_t got;
    do {
        got = ::read(fd, text.data(), limit);
    } while (got < 0 && errno == EINTR);
    ::close(fd);
    text.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    return text;
}
}  // namespace

std::vector<os::Processes::ProcessInfo> LinuxProcesses::userProcesses() const {
    std::vector<ProcessInfo> list;
    const uid_t me = ::getuid();
    const int self = currentPid();
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(procRoot_, error)) {
        const std::string name = entry.path().filename().string();
        int pid = 0;
        const auto [ptr, ec] = std::from_chars(name.data(), name.data() + name.size(), pid);
        if (ec != std::errc{} || ptr != name.data() + name.size() || pid == self) {
            continue;
        }
        struct stat info {};
        if (::stat(entry.path().c_str(), &info) != 0 || info.st_uid != me) {
            continue;
        }
        ProcessInfo process{pid, readFirstLine(entry.path() / "comm").value_or(std::string()),
                            readProcFile(entry.path() / "cmdline", kMaxCommandLine)};
        while (!process.commandLine.empty() && process.commandLine.back() == '\0') {
            process.commandLine.pop_back();
        }
        for (char& c : process.commandLine) {
            c = c == '\0' ? ' ' : c;
        }
        if (!process.name.empty()) {
            list.push_back(std::move(process));
        }
    }
    return list;
}

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

#include "platform/linux/LinuxProcesses.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <unordered_map>
#include <utility>

extern char** environ;

namespace noctave::linuxos {

namespace {
constexpr std::size_t kMaxCommandLine = 4096;
constexpr std::size_t kMaxStat = 1024;

// A short /proc file below `dir`, up to `limit` bytes; empty when it cannot be read (the process
// is gone).
std::string readProcFile(int dir, const std::string& file, std::size_t limit) {
    std::string text(limit, '\0');
    const int fd = ::openat(dir, file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
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

// The 22nd field of /proc/PID/stat. The name before it is in parentheses and may hold spaces
// and parentheses itself, so the fields are counted from the last ')'.
std::optional<uint64_t> startTimeOf(const std::string& stat) {
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos) {
        return std::nullopt;
    }
    std::size_t at = close + 1;
    for (int field = 2; field < 22 && at != std::string::npos; ++field) {
        at = stat.find_first_not_of(' ', stat.find(' ', at));
    }
    if (at == std::string::npos) {
        return std::nullopt;
    }
    uint64_t value = 0;
    const auto [ptr, ec] = std::from_chars(stat.data() + at, stat.data() + stat.size(), value);
    return ec == std::errc{} ? std::optional<uint64_t>(value) : std::nullopt;
}

std::optional<int> pidOf(const char* name) {
    int pid = 0;
    const char* end = name + std::strlen(name);
    const auto [ptr, ec] = std::from_chars(name, end, pid);
    return ec == std::errc{} && ptr == end && pid > 0 ? std::optional<int>(pid) : std::nullopt;
}

// The process whose folder is `name` below `dir`, when the user owns it and it has a name.
std::optional<os::Processes::ProcessInfo> readProcess(int dir, const std::string& name, int pid,
                                                      uint64_t startTime, uid_t owner) {
    struct stat info {};
    if (::fstatat(dir, name.c_str(), &info, 0) != 0 || info.st_uid != owner) {
        return std::nullopt;
    }
    os::Processes::ProcessInfo process;
    process.pid = pid;
    process.startTime = startTime;
    process.shortName = readProcFile(dir, name + "/comm", 64);
    while (!process.shortName.empty() && process.shortName.back() == '\n') {
        process.shortName.pop_back();
    }
    if (process.shortName.empty()) {
        return std::nullopt;
    }
    std::string arguments = readProcFile(dir, name + "/cmdline", kMaxCommandLine);
    const std::string first = arguments.substr(0, arguments.find('\0'));
    const std::size_t slash = first.rfind('/');
    process.name = slash == std::string::npos ? first : first.substr(slash + 1);
    if (process.name.empty()) {
        process.name = process.shortName;
    }
    while (!arguments.empty() && arguments.back() == '\0') {
        arguments.pop_back();
    }
    for (char& c : arguments) {
        c = c == '\0' ? ' ' : c;
    }
    process.commandLine = std::move(arguments);
    return process;
}

// The last pid the kernel handed out (to a process or a thread), from /proc/loadavg's last field.
std::optional<int> lastPid(int dir) {
    const std::string text = readProcFile(dir, "loadavg", 128);
    const std::size_t space = text.rfind(' ');
    if (space == std::string::npos) {
        return std::nullopt;
    }
    int pid = 0;
    const auto [ptr, ec] = std::from_chars(text.data() + space + 1, text.data() + text.size(), pid);
    return ec == std::errc{} && pid > 0 ? std::optional<int>(pid) : std::nullopt;
}

uint64_t ticksSinceBoot() {
    timespec now{};
    ::clock_gettime(CLOCK_BOOTTIME, &now);
    const auto perSecond = static_cast<uint64_t>(::sysconf(_SC_CLK_TCK));
    return static_cast<uint64_t>(now.tv_sec) * perSecond +
           static_cast<uint64_t>(now.tv_nsec) * perSecond / 1'000'000'000u;
}

int pidfdOpen(int pid) {
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}

// A look lists the pids only when it must: the kernel hands pids out in turn, so the pids handed
// out since the last look are the new processes (and threads), and each is probed on its own
// (pidfd_open tells a process from a thread, or from one already gone). Ends are the pidfds' of
// followed processes. A full listing runs at the first look, when the count wrapped or ran far,
// when the last pid cannot be read (a tree that is not the kernel's), and every
// kFullListingEvery looks anyway: a pid counted out before its process could be found is found
// there. A kernel without pidfd_open (before 5.3) gets a full listing at every look.
class LinuxTracker final : public os::Processes::Tracker {
  public:
    LinuxTracker(std::filesystem::path procRoot, int self)
        : procRoot_(std::move(procRoot)),
          self_(self),
          owner_(::getuid()),
          dir_(::open(procRoot_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {}
    ~LinuxTracker() override {
        for (const auto& [pid, fd] : followed_) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
        if (dir_ >= 0) {
            ::close(dir_);
        }
    }
    LinuxTracker(const LinuxTracker&) = delete;
    LinuxTracker& operator=(const LinuxTracker&) = delete;

    Changes update() override {
        Changes changes;
        if (dir_ < 0) {
            return changes;
        }
        reportEnds(changes);
        // Read before looking, so that a pid handed out during the look is in the next one.
        const auto last = lastPid(dir_);
        const bool full = !last || !lastPid_ || !canProbe_ || *last < *lastPid_ ||
                          *last - *lastPid_ > kMaxProbes ||
                          looks_ % LinuxProcesses::kFullListingEvery == 0;
        ++looks_;
        const uint64_t now = ticksSinceBoot();
        std::vector<int> settling;
        std::swap(settling, young_);
        if (full) {
            listAll(changes, now);
        } else {
            for (int pid = *lastPid_ + 1; pid <= *last; ++pid) {
                probe(pid, changes, now);
            }
        }
        lastPid_ = last;
        // Read once more: a process a moment old may have been between fork and exec.
        for (const int pid : settling) {
            const auto it = known_.find(pid);
            if (it == known_.end() || !it->second.mine) {
                continue;
            }
            auto process =
                readProcess(dir_, std::to_string(pid), pid, it->second.startTime, owner_);
            if (process && (process->name != it->second.name ||
                            process->commandLine != it->second.commandLine)) {
                if (followed_.count(pid) != 0) {
                    stopFollowing(pid);
                    changes.ended.push_back(pid);
                }
                it->second.name = process->name;
                it->second.commandLine = process->commandLine;
                changes.started.push_back(std::move(*process));
            }
        }
        return changes;
    }

    void follow(int pid) override {
        const auto it = known_.find(pid);
        if (it == known_.end() || !it->second.mine || followed_.count(pid) != 0) {
            return;
        }
        // The pidfd is of the process that has the pid now; the start time says it is this one.
        const int fd = pidfdOpen(pid);
        if (startTimeNow(pid) != it->second.startTime) {
            if (fd >= 0) {
                ::close(fd);
            }
            ended_.push_back(pid);
            return;
        }
        // Without a pidfd (an older kernel, a tree that is not the kernel's) its end is looked
        // for in its stat at every update.
        followed_[pid] = fd;
    }

  private:
    static constexpr int kMaxProbes = 2048;
    static constexpr std::size_t kMaxStat = 1024;
    static constexpr uint64_t kSettleSeconds = 1;

    struct Known {
        ino_t inode = 0;
        uint64_t startTime = 0;
        unsigned look = 0;  // the last full listing that saw it
        bool mine = false;
        std::string name;  // the user's: as read, to tell an exec
        std::string commandLine;
    };

    std::optional<uint64_t> startTimeNow(int pid) const {
        return startTimeOf(readProcFile(dir_, std::to_string(pid) + "/stat", kMaxStat));
    }

    void stopFollowing(int pid) {
        const auto it = followed_.find(pid);
        if (it->second >= 0) {
            ::close(it->second);
        }
        followed_.erase(it);
    }

    void reportEnds(Changes& changes) {
        for (const int pid : ended_) {
            known_.erase(pid);
            changes.ended.push_back(pid);
        }
        ended_.clear();
        for (auto it = followed_.begin(); it != followed_.end();) {
            pollfd probe{it->second, POLLIN, 0};
            const bool ended = it->second >= 0
                                   ? ::poll(&probe, 1, 0) > 0
                                   : startTimeNow(it->first) != known_[it->first].startTime;
            if (!ended) {
                ++it;
                continue;
            }
            changes.ended.push_back(it->first);
            known_.erase(it->first);
            if (it->second >= 0) {
                ::close(it->second);
            }
            it = followed_.erase(it);
        }
    }

    // A pid handed out since the last look: a process of the user's to read, or nothing.
    void probe(int pid, Changes& changes, uint64_t now) {
        if (pid == self_) {
            return;
        }
        const int fd = pidfdOpen(pid);
        if (fd < 0) {
            // A thread, or gone already; or a kernel without pidfds, which lists every look.
            canProbe_ = canProbe_ && errno != ENOSYS;
            return;
        }
        const std::string name = std::to_string(pid);
        struct stat info {};
        if (::fstatat(dir_, name.c_str(), &info, 0) == 0) {
            found(pid, name, info.st_ino, changes, now);
        }
        ::close(fd);
    }

    void listAll(Changes& changes, uint64_t now) {
        const int copy = ::dup(dir_);
        DIR* dir = copy >= 0 ? ::fdopendir(copy) : nullptr;
        if (dir == nullptr) {
            if (copy >= 0) {
                ::close(copy);
            }
            return;
        }
        ::rewinddir(dir);  // the copy shares the last listing's offset
        ++fullLooks_;
        while (const dirent* entry = ::readdir(dir)) {
            const auto pid = pidOf(entry->d_name);
            if (!pid || *pid == self_) {
                continue;
            }
            found(*pid, entry->d_name, entry->d_ino, changes, now);
        }
        ::closedir(dir);
        // Forget what the listing no longer shows; a followed process's end is its pidfd's.
        std::erase_if(known_, [this](const auto& entry) {
            return entry.second.look != fullLooks_ && followed_.count(entry.first) == 0;
        });
    }

    void found(int pid, const std::string& name, ino_t inode, Changes& changes, uint64_t now) {
        const auto it = known_.find(pid);
        // The common case, and all a full listing costs: a process seen before, in its folder.
        if (it != known_.end() && it->second.inode == inode) {
            it->second.look = fullLooks_;
            return;
        }
        const auto startTime = startTimeNow(pid);
        if (!startTime) {
            return;  // gone while listed
        }
        if (it != known_.end() && it->second.startTime == *startTime) {
            // The same process: the kernel only built its folder anew.
            it->second.inode = inode;
            it->second.look = fullLooks_;
            return;
        }
        if (it != known_.end()) {
            known_.erase(it);  // its pid went to another; a followed one's end is its pidfd's
        }
        // Other users' processes are remembered too, so they are not looked at again.
        Known known{inode, *startTime, fullLooks_, false, {}, {}};
        if (auto process = readProcess(dir_, name, pid, *startTime, owner_)) {
            known.mine = true;
            known.name = process->name;
            known.commandLine = process->commandLine;
            if (now < *startTime + kSettleSeconds * static_cast<uint64_t>(::sysconf(_SC_CLK_TCK))) {
                young_.push_back(pid);
            }
            changes.started.push_back(std::move(*process));
        }
        known_.insert_or_assign(pid, std::move(known));
    }

    std::filesystem::path procRoot_;
    int self_;
    uid_t owner_;
    int dir_;
    std::optional<int> lastPid_;
    bool canProbe_ = true;
    unsigned looks_ = 0;
    unsigned fullLooks_ = 0;
    std::unordered_map<int, Known> known_;
    std::map<int, int> followed_;  // pid to its pidfd, or -1
    std::vector<int> ended_;       // followed after they had ended
    std::vector<int> young_;       // started a moment before the last look
};
}  // namespace

std::unique_ptr<os::Processes::Tracker> LinuxProcesses::trackUserProcesses() const {
    return std::make_unique<LinuxTracker>(procRoot_, currentPid());
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

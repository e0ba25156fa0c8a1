#include "platform/linux/lid/LidGuardian.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "core/support/Log.hpp"
#include "platform/linux/lid/GuardianFds.hpp"

extern char** environ;

namespace noctave::linuxos::lid {

namespace fs = std::filesystem;

namespace {

constexpr int kRestoreAttempts = 8;
constexpr long kRetryNanoseconds = 500'000'000;

void closeFd(int fd) {
    if (fd >= 0) {
        ::close(fd);
    }
}

// Above the numbers the child is given, so dup2 always makes a copy (and clears close-on-exec).
int lift(int fd) {
    const int lifted = ::fcntl(fd, F_DUPFD_CLOEXEC, 10);
    ::close(fd);
    return lifted;
}

bool pollOne(int fd, int timeoutMs) {
    pollfd entry{fd, POLLIN, 0};
    int r = 0;
    while ((r = ::poll(&entry, 1, timeoutMs)) < 0 && errno == EINTR) {
    }
    return r > 0;
}

}  // namespace

fs::path LidGuardian::guardianProgram() {
    std::error_code error;
    const fs::path self = fs::read_symlink("/proc/self/exe", error);
    return (error ? fs::path() : self.parent_path()) / "noctave-lid-guardian";
}

std::unique_ptr<LidGuardian> LidGuardian::start(const fs::path& program, const fs::path& record) {
    int parent = static_cast<int>(::syscall(SYS_pidfd_open, ::getpid(), 0));
    int ends[2] = {-1, -1};
    if (parent < 0 || ::pipe2(ends, O_CLOEXEC) != 0) {
        Log::error(std::string("lid guardian: cannot watch this process (") + std::strerror(errno) +
                   ")");
        closeFd(parent);
        return nullptr;
    }
    parent = lift(parent);
    const int leashRead = lift(ends[0]);
    const int leashWrite = ends[1];

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, parent, kGuardianParentFd);
    posix_spawn_file_actions_adddup2(&actions, leashRead, kGuardianLeashFd);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    // Its own session, so a Ctrl-C or a closed terminal that ends us does not end it too; and
    // the signals as a new program expects them, whatever this thread blocks.
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (const int signalNumber : {SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGPIPE, SIGCHLD}) {
        sigaddset(&defaults, signalNumber);
    }
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes,
                             POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    std::string programText = program.string();
    std::string recordText = record.string();
    std::vector<char*> argv = {programText.data(), recordText.data(), nullptr};
    pid_t pid = 0;
    const int spawned =
        ::posix_spawn(&pid, programText.c_str(), &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(parent);
    ::close(leashRead);
    if (spawned != 0) {
        Log::error("lid guardian: cannot start " + programText + " (" + std::strerror(spawned) +
                   ")");
        ::close(leashWrite);
        return nullptr;
    }
    return std::unique_ptr<LidGuardian>(new LidGuardian(pid, leashWrite, record));
}

LidGuardian::~LidGuardian() {
    ::close(leash_);
    std::error_code error;
    if (fs::exists(fs::symlink_status(record_, error))) {
        return;  // it restores after we are gone; init reaps it then
    }
    while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
}

int guardLidRecord(int parent, int leash, const fs::path& record, const OwnerFactory& makeOwner) {
    pollfd watched[2] = {{parent, POLLIN, 0}, {leash, POLLIN, 0}};
    while (::poll(watched, 2, -1) < 0) {
        if (errno != EINTR) {
            return 2;
        }
    }
    if ((watched[0].revents & POLLIN) == 0) {
        // The leash dropped first: a disarm that removed the record, or the exit of a parent
        // the kernel has not finished yet.
        std::error_code error;
        if (!fs::exists(fs::symlink_status(record, error))) {
            return 0;
        }
        pollOne(parent, -1);
    }
    for (int attempt = 0; attempt < kRestoreAttempts; ++attempt) {
        if (restoreRecord(record, Writer::gone, makeOwner) != Restore::failed) {
            return 0;
        }
        const timespec pause{0, kRetryNanoseconds};
        ::nanosleep(&pause, nullptr);
    }
    return 1;
}

}  // namespace noctave::linuxos::lid

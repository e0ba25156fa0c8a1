#include "app/control/ProcessSupervisor.hpp"

#include <poll.h>
#include <spawn.h>
#include <sys/signalfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

extern char** environ;

namespace noctave::control {

namespace {

// Signals `hold` passes on to its command.
constexpr int kForwarded[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGWINCH};

int pidfdOpen(pid_t pid) {
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

}  // namespace

ProcessSupervisor::ProcessSupervisor() {
    sigemptyset(&set_);
    for (int signal : kForwarded) {
        sigaddset(&set_, signal);
    }
    pthread_sigmask(SIG_BLOCK, &set_, &previous_);
    signalFd_ = signalfd(-1, &set_, SFD_CLOEXEC | SFD_NONBLOCK);
}

ProcessSupervisor::~ProcessSupervisor() {
    if (pidfd_ >= 0) {
        close(pidfd_);
    }
    if (signalFd_ >= 0) {
        close(signalFd_);
    }
    pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}

int ProcessSupervisor::spawn(const std::vector<std::string>& command) {
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &set_);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    std::vector<char*> argv;
    for (const auto& word : command) {
        argv.push_back(const_cast<char*>(word.c_str()));
    }
    argv.push_back(nullptr);
    const int spawned = posix_spawnp(&child_, argv[0], nullptr, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    if (spawned == 0) {
        pidfd_ = pidfdOpen(child_);
    }
    return spawned;
}

bool ProcessSupervisor::follow(pid_t pid) {
    pidfd_ = pidfdOpen(pid);
    return pidfd_ >= 0;
}

template <typename OnSignal>
void ProcessSupervisor::wait(OnSignal onSignal) {
    for (;;) {
        pollfd fds[2] = {{pidfd_, POLLIN, 0}, {signalFd_, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0 && errno != EINTR) {
            return;
        }
        if ((fds[0].revents & POLLIN) != 0) {
            return;
        }
        signalfd_siginfo info{};
        while (read(signalFd_, &info, sizeof info) == sizeof info) {
            if (!onSignal(static_cast<int>(info.ssi_signo), info.ssi_code != SI_KERNEL)) {
                return;
            }
        }
    }
}

int ProcessSupervisor::waitForCommand() {
    // Without pidfds (a kernel before 5.3) the wait below still ends the hold, but signals
    // wait in the queue until the command has ended.
    if (pidfd_ >= 0) {
        wait([this](int signal, bool fromProcess) {
            if (fromProcess) {
                kill(child_, signal);
            }
            return true;
        });
    }
    int status = 0;
    while (waitpid(child_, &status, 0) < 0 && errno == EINTR) {
    }
    // The shell's convention for a command killed by a signal.
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int ProcessSupervisor::waitForProcess() {
    int stoppedBy = 0;
    wait([&stoppedBy](int signal, bool) {
        stoppedBy = signal;
        return false;
    });
    return stoppedBy == 0 ? 0 : 128 + stoppedBy;
}

}  // namespace noctave::control

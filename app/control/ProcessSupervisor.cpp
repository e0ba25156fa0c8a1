#include "app/control/ProcessSupervisor.hpp"

#include <poll.h>
#include <spawn.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/timerfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <utility>

#include "app/control/ProgramFollower.hpp"
#include "core/session/ProgramWatch.hpp"

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
    if (deadlineFd_ >= 0) {
        close(deadlineFd_);
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

void ProcessSupervisor::setDeadline(std::chrono::system_clock::time_point deadline,
                                    std::function<void()> onDeadline) {
    if (deadlineFd_ < 0) {
        deadlineFd_ = timerfd_create(CLOCK_REALTIME, TFD_CLOEXEC | TFD_NONBLOCK);
    }
    const auto since = deadline.time_since_epoch();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since);
    itimerspec when{};
    when.it_value.tv_sec = seconds.count();
    when.it_value.tv_nsec =
        std::chrono::duration_cast<std::chrono::nanoseconds>(since - seconds).count();
    // Absolute on the realtime clock: it fires on time, or at the wake after a suspend.
    timerfd_settime(deadlineFd_, TFD_TIMER_ABSTIME, &when, nullptr);
    onDeadline_ = std::move(onDeadline);
}

template <typename OnSignal>
int ProcessSupervisor::wait(OnSignal onSignal, std::vector<int> fds, int timeoutMs) {
    if (fds.empty()) {
        fds.push_back(pidfd_);
    }
    const std::size_t count = fds.size();
    for (;;) {
        std::vector<pollfd> polled;
        for (const int fd : fds) {
            polled.push_back({fd, POLLIN, 0});
        }
        polled.push_back({signalFd_, POLLIN, 0});
        polled.push_back({deadlineFd_, POLLIN, 0});  // -1 when there is none: ignored
        const int ready = poll(polled.data(), polled.size(), timeoutMs);
        if (ready < 0 && errno != EINTR) {
            return kInterrupted;
        }
        if (ready == 0) {
            return kTimedOut;
        }
        for (std::size_t i = 0; i < count; ++i) {
            if ((polled[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
                return static_cast<int>(i);
            }
        }
        if ((polled[count + 1].revents & POLLIN) != 0) {
            close(deadlineFd_);
            deadlineFd_ = -1;
            if (onDeadline_) {
                std::exchange(onDeadline_, nullptr)();
            }
            return kDeadline;
        }
        signalfd_siginfo info{};
        while (read(signalFd_, &info, sizeof info) == sizeof info) {
            if (!onSignal(static_cast<int>(info.ssi_signo), info.ssi_code != SI_KERNEL)) {
                return kInterrupted;
            }
        }
    }
}

int ProcessSupervisor::waitForCommand() {
    // Without pidfds (a kernel before 5.3) the wait below still ends the hold, but signals
    // wait in the queue until the command has ended.
    if (pidfd_ >= 0) {
        const auto forward = [this](int signal, bool fromProcess) {
            if (fromProcess) {
                kill(child_, signal);
            }
            return true;
        };
        // The deadline ends the hold, not the command: wait on for it.
        while (wait(forward) == kDeadline) {
        }
    }
    int status = 0;
    while (waitpid(child_, &status, 0) < 0 && errno == EINTR) {
    }
    // The shell's convention for a command killed by a signal.
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int ProcessSupervisor::findProgram(const std::string& program) {
    const auto runnable = [](const std::string& path) {
        struct stat info {};
        if (stat(path.c_str(), &info) != 0) {
            return ENOENT;
        }
        return S_ISREG(info.st_mode) && access(path.c_str(), X_OK) == 0 ? 0 : EACCES;
    };
    if (program.find('/') != std::string::npos) {
        return runnable(program);
    }
    // As execvp searches: every folder of PATH (an empty entry is the current folder); a
    // match that cannot be run is remembered while the search goes on.
    const char* path = std::getenv("PATH");
    const std::string folders = path != nullptr ? path : "/bin:/usr/bin";
    int found = ENOENT;
    std::size_t start = 0;
    while (start <= folders.size()) {
        const std::size_t end = std::min(folders.find(':', start), folders.size());
        const std::string folder = folders.substr(start, end - start);
        const int error = runnable((folder.empty() ? "." : folder) + "/" + program);
        if (error == 0) {
            return 0;
        }
        if (error == EACCES) {
            found = EACCES;
        }
        start = end + 1;
    }
    return found;
}

int ProcessSupervisor::waitForProcess() {
    int stoppedBy = 0;
    wait([&stoppedBy](int signal, bool) {
        stoppedBy = signal;
        return false;
    });
    return stoppedBy == 0 ? 0 : 128 + stoppedBy;
}

int ProcessSupervisor::waitForPrograms(ProgramFollower& programs) {
    int stoppedBy = 0;
    const auto stop = [&stoppedBy](int signal, bool) {
        stoppedBy = signal;
        return false;
    };
    constexpr int kScanMs = static_cast<int>(ProgramWatch::kScanSeconds * 1000);
    while (programs.count() > 0) {
        const int woke = wait(stop, programs.descriptors(), kScanMs);
        if (woke == kDeadline || woke == kInterrupted) {
            break;
        }
        // One of them ended, or it is time to look for new ones: either way, list again.
        programs.rescan();
    }
    return stoppedBy == 0 ? 0 : 128 + stoppedBy;
}

}  // namespace noctave::control

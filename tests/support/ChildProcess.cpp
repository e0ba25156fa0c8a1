#include "tests/support/ChildProcess.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

extern char** environ;

namespace noctave::test {

namespace {

using Clock = std::chrono::steady_clock;

bool removed(const std::string& entry, const ProgramOptions& options) {
    const std::string name = entry.substr(0, entry.find('='));
    const auto matches = [&name](const std::string& pattern) {
        return pattern.ends_with('*') ? name.starts_with(pattern.substr(0, pattern.size() - 1))
                                      : name == pattern;
    };
    return std::ranges::any_of(options.unset, matches) ||
           std::ranges::any_of(options.set, [&](const auto& pair) { return pair.first == name; });
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> result;
    for (auto& s : strings) {
        result.push_back(s.data());
    }
    result.push_back(nullptr);
    return result;
}

void closeOnce(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

}  // namespace

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                           const ProgramOptions& options)
    : group_(options.ownProcessGroup) {
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (!removed(*entry, options)) {
            environment.emplace_back(*entry);
        }
    }
    for (const auto& [name, value] : options.set) {
        environment.push_back(name + "=" + value);
    }
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), arguments.begin(), arguments.end());

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    // Both ends are close-on-exec, so no program started meanwhile on another thread keeps a
    // pipe open; dup2 clears the flag on the child's own copy.
    int writeEnds[2] = {-1, -1};
    const std::pair<const std::filesystem::path*, Capture*> streams[] = {
        {&options.standardOutput, &out_}, {&options.standardError, &err_}};
    for (int index = 0; index < 2; ++index) {
        const auto [file, capture] = streams[index];
        const int target = index == 0 ? STDOUT_FILENO : STDERR_FILENO;
        int ends[2];
        if (!file->empty()) {
            posix_spawn_file_actions_addopen(&actions, target, file->c_str(),
                                             O_WRONLY | O_CREAT | O_APPEND, 0600);
        } else if (::pipe2(ends, O_CLOEXEC) == 0) {
            capture->fd = ends[0];
            writeEnds[index] = ends[1];
            posix_spawn_file_actions_adddup2(&actions, ends[1], target);
        } else {
            failure_ = std::string("no pipe: ") + std::strerror(errno);
        }
    }
    if (!options.workingDirectory.empty()) {
        posix_spawn_file_actions_addchdir_np(&actions, options.workingDirectory.c_str());
    }
    // The test's blocked or ignored signals are no business of the program's.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    if (group_) {
        posix_spawnattr_setpgroup(&attributes, 0);
        flags |= POSIX_SPAWN_SETPGROUP;
    }
    posix_spawnattr_setflags(&attributes, flags);

    if (failure_.empty()) {
        const int spawned = ::posix_spawnp(&pid_, program.c_str(), &actions, &attributes,
                                           pointers(argv).data(), pointers(environment).data());
        if (spawned != 0) {
            failure_ = "could not start " + program + ": " + std::strerror(spawned);
        }
    }
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    closeOnce(writeEnds[0]);
    closeOnce(writeEnds[1]);
    if (!failure_.empty()) {
        pid_ = -1;
        reaped_ = true;
        closeOnce(out_.fd);
        closeOnce(err_.fd);
        return;
    }
    // Readable once the program has ended: waits see its end beside its output.
    pidfd_ = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
}

ChildProcess::ChildProcess(const std::function<int()>& body) {
    std::fflush(nullptr);  // what the test buffered is printed once, not once more by the child
    pid_ = ::fork();
    if (pid_ == 0) {
        ::_exit(body());
    }
    if (pid_ < 0) {
        failure_ = std::string("could not fork: ") + std::strerror(errno);
        reaped_ = true;
        return;
    }
    pidfd_ = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
}

ChildProcess::~ChildProcess() {
    // What the test left running ends as a session manager would end it: asked first, so that
    // servers take their sockets and lock files with them; then killed, with whatever it left
    // behind in its group.
    if (!reaped_ && signalGroup(SIGTERM)) {
        signalGroup(SIGCONT);
        pump(5, [this] { return reaped_; });
    }
    if (pid_ > 0 && (!reaped_ || group_)) {
        ::kill(group_ ? -pid_ : pid_, SIGKILL);
    }
    if (!reaped_) {
        collect(0);
    }
    closeOnce(out_.fd);
    closeOnce(err_.fd);
    closeOnce(pidfd_);
}

bool ChildProcess::signal(int signalNumber) {
    return !reaped_ && ::kill(pid_, signalNumber) == 0;
}

bool ChildProcess::signalGroup(int signalNumber) {
    return !reaped_ && ::kill(group_ ? -pid_ : pid_, signalNumber) == 0;
}

bool ChildProcess::collect(int options) {
    int status = 0;
    pid_t got = 0;
    do {
        got = ::waitpid(pid_, &status, options);
    } while (got < 0 && errno == EINTR);
    if (got == pid_ && WIFSTOPPED(status)) {
        return true;
    }
    if (got == pid_ || (got < 0 && errno == ECHILD)) {
        reaped_ = true;
        // ECHILD: reaped behind our back (SIGCHLD ignored); how it ended is unknown.
        waitStatus_ = got == pid_ ? std::optional(status) : std::nullopt;
        closeOnce(pidfd_);
    }
    return false;
}

void ChildProcess::pump(double seconds, const std::function<bool()>& done) {
    const auto deadline =
        Clock::now() + std::chrono::milliseconds(static_cast<long>(seconds * 1000));
    while (!done()) {
        pollfd fds[3];
        nfds_t count = 0;
        for (const int fd : {out_.fd, err_.fd, reaped_ ? -1 : pidfd_}) {
            if (fd >= 0) {
                fds[count++] = {fd, POLLIN, 0};
            }
        }
        if (count == 0 && (reaped_ || pidfd_ >= 0)) {
            return;  // nothing more can arrive
        }
        auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (pidfd_ < 0 && !reaped_) {
            // Without a pidfd (a kernel before 5.3) the end is noticed by asking now and then.
            left = std::min<long>(left, 50);
            collect(WNOHANG);
        }
        const int ready = ::poll(fds, count, static_cast<int>(std::max<long>(left, 0)));
        if (ready < 0 && errno != EINTR) {
            return;
        }
        if (ready == 0 && Clock::now() >= deadline) {
            return;
        }
        for (nfds_t index = 0; index < count && ready > 0; ++index) {
            if (fds[index].revents == 0) {
                continue;
            }
            if (fds[index].fd == pidfd_) {
                collect(0);
                continue;
            }
            Capture& capture = fds[index].fd == out_.fd ? out_ : err_;
            char chunk[4096];
            const ssize_t got = ::read(capture.fd, chunk, sizeof chunk);
            if (got > 0) {
                capture.text.append(chunk, static_cast<std::size_t>(got));
            } else if (got == 0 || errno != EINTR) {
                closeOnce(capture.fd);
            }
        }
    }
}

std::optional<std::string> ChildProcess::line(Stream stream, double seconds) {
    Capture& capture = this->capture(stream);
    pump(seconds, [&capture] {
        return capture.fd < 0 || capture.text.find('\n', capture.read) != std::string::npos;
    });
    const std::size_t end = capture.text.find('\n', capture.read);
    if (end == std::string::npos) {
        return std::nullopt;
    }
    std::string text = capture.text.substr(capture.read, end - capture.read);
    capture.read = end + 1;
    return text;
}

bool ChildProcess::waitForLine(Stream stream, const std::string& text, double seconds) {
    const auto deadline =
        Clock::now() + std::chrono::milliseconds(static_cast<long>(seconds * 1000));
    while (Clock::now() < deadline) {
        const double left = std::chrono::duration<double>(deadline - Clock::now()).count();
        const auto next = line(stream, left);
        if (!next) {
            return false;
        }
        if (next->find(text) != std::string::npos) {
            return true;
        }
    }
    return false;
}

bool ChildProcess::waitUntilStopped() {
    return !reaped_ && collect(WUNTRACED);
}

ProgramRun ChildProcess::wait(double seconds) {
    ProgramRun run;
    pump(seconds, [this] { return reaped_; });
    if (!reaped_) {
        run.timedOut = true;
        signalGroup(SIGKILL);
        collect(0);
    }
    // What it wrote before it ended is in the pipes by now; a descendant still holding them
    // open is not waited for.
    pump(0, [this] {
        pollfd fds[2] = {{out_.fd, POLLIN, 0}, {err_.fd, POLLIN, 0}};
        return ::poll(fds, 2, 0) <= 0;
    });
    closeOnce(out_.fd);
    closeOnce(err_.fd);
    if (waitStatus_ && WIFEXITED(*waitStatus_) && !run.timedOut) {
        run.status = WEXITSTATUS(*waitStatus_);
    } else if (waitStatus_ && WIFSIGNALED(*waitStatus_)) {
        run.signal = WTERMSIG(*waitStatus_);
    }
    run.out = out_.text;
    run.err = failure_.empty() ? err_.text : failure_ + "\n";
    return run;
}

ProgramRun runProgram(const std::string& program, const std::vector<std::string>& arguments,
                      const ProgramOptions& options, double seconds) {
    ChildProcess child(program, arguments, options);
    return child.wait(seconds);
}

std::vector<std::string> words(const std::string& line) {
    std::vector<std::string> result;
    std::istringstream in(line);
    for (std::string word; in >> word;) {
        result.push_back(word);
    }
    return result;
}

bool hasProgram(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::istringstream folders(path != nullptr ? path : "");
    for (std::string folder; std::getline(folders, folder, ':');) {
        if (!folder.empty() && ::access((folder + "/" + name).c_str(), X_OK) == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace noctave::test

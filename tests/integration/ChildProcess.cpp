#include "tests/integration/ChildProcess.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <utility>

extern char** environ;

namespace noctave::test {

namespace {

std::vector<std::string> mergedEnvironment(const std::map<std::string, std::string>& added) {
    std::map<std::string, std::string> all;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        const auto equals = text.find('=');
        if (equals != std::string::npos) {
            all[text.substr(0, equals)] = text.substr(equals + 1);
        }
    }
    for (const auto& [key, value] : added) {
        all[key] = value;
    }
    std::vector<std::string> merged;
    for (const auto& [key, value] : all) {
        merged.push_back(key + "=" + value);
    }
    return merged;
}

pid_t spawn(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
            posix_spawn_file_actions_t* actions) {
    std::vector<char*> args;
    for (const auto& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    const auto merged = mergedEnvironment(env);
    std::vector<char*> envp;
    for (const auto& entry : merged) {
        envp.push_back(const_cast<char*>(entry.c_str()));
    }
    envp.push_back(nullptr);
    pid_t pid = -1;
    if (::posix_spawnp(&pid, args[0], actions, nullptr, args.data(), envp.data()) != 0) {
        return -1;
    }
    return pid;
}

}  // namespace

ChildProcess::ChildProcess(std::vector<std::string> argv,
                           std::map<std::string, std::string> environment,
                           std::optional<int> reportFd) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    int pipeFds[2] = {-1, -1};
    if (reportFd && ::pipe2(pipeFds, O_CLOEXEC) == 0) {
        reportRead_ = pipeFds[0];
        // dup2 clears close-on-exec on the child's copy.
        posix_spawn_file_actions_adddup2(&actions, pipeFds[1], *reportFd);
    }
    pid_ = spawn(argv, environment, &actions);
    posix_spawn_file_actions_destroy(&actions);
    if (pipeFds[1] >= 0) {
        ::close(pipeFds[1]);
    }
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      reportRead_(std::exchange(other.reportRead_, -1)),
      buffered_(std::move(other.buffered_)) {}

ChildProcess::~ChildProcess() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        wait();
    }
    if (reportRead_ >= 0) {
        ::close(reportRead_);
    }
}

std::optional<std::string> ChildProcess::readLine(double seconds) {
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(static_cast<int>(seconds * 1000));
    while (reportRead_ >= 0) {
        const auto newline = buffered_.find('\n');
        if (newline != std::string::npos) {
            std::string line = buffered_.substr(0, newline);
            buffered_.erase(0, newline + 1);
            return line;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return std::nullopt;
        }
        pollfd fd{reportRead_, POLLIN, 0};
        if (::poll(&fd, 1, static_cast<int>(left.count())) <= 0) {
            continue;
        }
        char chunk[256];
        const ssize_t got = ::read(reportRead_, chunk, sizeof chunk);
        if (got <= 0) {
            return std::nullopt;
        }
        buffered_.append(chunk, static_cast<std::size_t>(got));
    }
    return std::nullopt;
}

int ChildProcess::wait() {
    if (pid_ <= 0) {
        return -1;
    }
    int status = 0;
    pid_t result = 0;
    do {
        result = ::waitpid(pid_, &status, 0);
    } while (result < 0 && errno == EINTR);
    pid_ = -1;
    return result > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int ChildProcess::run(std::vector<std::string> argv,
                      std::map<std::string, std::string> environment) {
    ChildProcess child(std::move(argv), std::move(environment));
    return child.wait();
}

bool hasProgram(const std::string& program) {
    if (program.find('/') != std::string::npos) {
        return ::access(program.c_str(), X_OK) == 0;
    }
    const char* path = std::getenv("PATH");
    std::stringstream folders(path != nullptr ? path : "/usr/bin:/bin");
    std::string folder;
    while (std::getline(folders, folder, ':')) {
        if (!folder.empty() && ::access((folder + "/" + program).c_str(), X_OK) == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace noctave::test

#include "app/control/ProgramFollower.hpp"

#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <set>
#include <utility>

namespace noctave::control {

namespace {
int pidfdOpen(int pid) {
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}

bool hasEnded(int fd) {
    pollfd probe{fd, POLLIN, 0};
    return ::poll(&probe, 1, 0) > 0 && (probe.revents & POLLIN) != 0;
}
}  // namespace

ProgramFollower::ProgramFollower(std::vector<ProgramWatch::Pattern> patterns,
                                 const os::Processes& processes)
    : patterns_(std::move(patterns)), processes_(processes) {}

ProgramFollower::~ProgramFollower() {
    for (const auto& [pid, followed] : followed_) {
        ::close(followed.fd);
    }
}

std::size_t ProgramFollower::rescan() {
    std::set<int> seen;
    for (const auto& process : processes_.userProcesses()) {
        bool matches = false;
        for (const auto& pattern : patterns_) {
            matches = matches || ProgramWatch::matches(pattern, process);
        }
        if (!matches) {
            continue;
        }
        seen.insert(process.pid);
        if (followed_.count(process.pid) != 0) {
            continue;
        }
        // A pid reused between the listing and this open would be followed by mistake until the
        // next scan, which no longer lists it as a match; an error here means it has gone.
        const int fd = pidfdOpen(process.pid);
        if (fd >= 0) {
            followed_[process.pid] = Followed{fd, process.name};
        }
    }
    for (auto it = followed_.begin(); it != followed_.end();) {
        if (hasEnded(it->second.fd) || seen.count(it->first) == 0) {
            ::close(it->second.fd);
            it = followed_.erase(it);
        } else {
            ++it;
        }
    }
    return followed_.size();
}

std::vector<int> ProgramFollower::descriptors() const {
    std::vector<int> fds;
    for (const auto& [pid, followed] : followed_) {
        fds.push_back(followed.fd);
    }
    return fds;
}

std::string ProgramFollower::describe() const {
    if (followed_.empty()) {
        return {};
    }
    const auto& [pid, followed] = *followed_.begin();
    return followed.name + " (pid " + std::to_string(pid) + ")";
}

}  // namespace noctave::control

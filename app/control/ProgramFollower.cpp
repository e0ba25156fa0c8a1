#include "app/control/ProgramFollower.hpp"

#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <iterator>
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
    : patterns_(std::move(patterns)), tracker_(processes.trackUserProcesses()) {}

ProgramFollower::~ProgramFollower() {
    for (const auto& [pid, followed] : followed_) {
        ::close(followed.fd);
    }
}

std::size_t ProgramFollower::rescan() {
    const auto letGo = [this](std::map<int, Followed>::iterator it) {
        ::close(it->second.fd);
        return followed_.erase(it);
    };
    auto changes = tracker_->update();
    for (const int pid : changes.ended) {
        if (const auto it = followed_.find(pid); it != followed_.end()) {
            letGo(it);
        }
    }
    for (const auto& process : changes.started) {
        bool matches = false;
        for (const auto& pattern : patterns_) {
            matches = matches || ProgramWatch::matches(pattern, process);
        }
        // A pid reused between the look and this open would be followed by mistake until the
        // next look, where the tracker (which tells by start time) reports it ended; an error
        // here means it has gone.
        const int fd = matches ? pidfdOpen(process.pid) : -1;
        if (fd >= 0) {
            followed_[process.pid] = Followed{fd, process.name};
            tracker_->follow(process.pid);
        }
    }
    // The pidfd knows first: /proc lists an ended process until it is reaped.
    for (auto it = followed_.begin(); it != followed_.end();) {
        it = hasEnded(it->second.fd) ? letGo(it) : std::next(it);
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

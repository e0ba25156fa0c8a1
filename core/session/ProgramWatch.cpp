#include "core/session/ProgramWatch.hpp"

#include <fnmatch.h>

#include <utility>

#include "core/os/System.hpp"
#include "core/runtime/Runtime.hpp"

namespace noctave {

namespace {
constexpr double kScanLeeway = 1.0;

bool hasWildcard(const std::string& text) {
    return text.find_first_of("*?[") != std::string::npos;
}
}  // namespace

ProgramWatch::ProgramWatch() = default;

ProgramWatch::~ProgramWatch() {
    weakFactory_.invalidate();
}

bool ProgramWatch::matches(const Pattern& pattern, const os::Processes::ProcessInfo& process) {
    if (pattern.text.empty()) {
        return false;
    }
    if (!pattern.byCommandLine) {
        return ::fnmatch(pattern.text.c_str(), process.name.c_str(), 0) == 0 ||
               ::fnmatch(pattern.text.c_str(), process.shortName.c_str(), 0) == 0;
    }
    if (!hasWildcard(pattern.text)) {
        return process.commandLine.find(pattern.text) != std::string::npos;
    }
    return ::fnmatch(pattern.text.c_str(), process.commandLine.c_str(), 0) == 0;
}

void ProgramWatch::setPatterns(std::vector<Pattern> patterns) {
    if (patterns == patterns_) {
        return;
    }
    patterns_ = std::move(patterns);
    timer_.reset();
    tracker_.reset();
    running_.clear();
    if (!patterns_.empty() && os::system().processes) {
        // A fresh tracker: its first look lists every process, for the new patterns to judge.
        tracker_ = os::system().processes->trackUserProcesses();
        timer_ = runtime::Timer::repeating(
            runtime::mainQueue(), kScanSeconds, kScanLeeway,
            runtime::bindWeak(weakFactory_.weak(), [](ProgramWatch& self) { self.scan(); }));
    }
    scan();
}

void ProgramWatch::scan() {
    if (tracker_) {
        auto changes = tracker_->update();
        for (const int pid : changes.ended) {
            running_.erase(pid);
        }
        for (const auto& process : changes.started) {
            for (const auto& pattern : patterns_) {
                if (matches(pattern, process)) {
                    running_[process.pid] = process.name;
                    tracker_->follow(process.pid);
                    break;
                }
            }
        }
    }
    const bool wasRunning = isRunning();
    matched_ = running_.empty() ? std::string()
                                : running_.begin()->second + " (pid " +
                                      std::to_string(running_.begin()->first) + ")";
    if (wasRunning != isRunning() && onChange) {
        onChange(isRunning());
    }
}

}  // namespace noctave

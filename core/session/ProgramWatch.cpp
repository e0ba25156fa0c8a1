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
        return ::fnmatch(pattern.text.c_str(), process.name.c_str(), 0) == 0;
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
    if (!patterns_.empty() && os::system().processes) {
        timer_ = runtime::Timer::repeating(
            runtime::mainQueue(), kScanSeconds, kScanLeeway,
            runtime::bindWeak(weakFactory_.weak(), [](ProgramWatch& self) { self.scan(); }));
    }
    scan();
}

void ProgramWatch::scan() {
    std::string found;
    if (!patterns_.empty() && os::system().processes) {
        for (const auto& process : os::system().processes->userProcesses()) {
            for (const auto& pattern : patterns_) {
                if (matches(pattern, process)) {
                    found = process.name + " (pid " + std::to_string(process.pid) + ")";
                    break;
                }
            }
            if (!found.empty()) {
                break;
            }
        }
    }
    const bool wasRunning = isRunning();
    matched_ = std::move(found);
    if (wasRunning != isRunning() && onChange) {
        onChange(isRunning());
    }
}

}  // namespace noctave

#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/os/Processes.hpp"
#include "core/session/ProgramWatch.hpp"

namespace noctave::control {

// For `noctave ctl hold --name`: the user's processes that match, each followed by a pidfd so
// that its exit is an event the moment it happens. Programs started later are only found by
// rescan(), which the caller runs every ProgramWatch::kScanSeconds (no event announces a new
// process to an unprivileged program); a rescan reads only processes started since the last.
// Owns its descriptors; `processes` must outlive it.
class ProgramFollower {
  public:
    ProgramFollower(std::vector<ProgramWatch::Pattern> patterns, const os::Processes& processes);
    ~ProgramFollower();
    ProgramFollower(const ProgramFollower&) = delete;
    ProgramFollower& operator=(const ProgramFollower&) = delete;

    // Looks at the processes again: follows new matches, lets go of those that ended. Returns
    // how many are followed after.
    std::size_t rescan();
    std::size_t count() const { return followed_.size(); }
    // One pidfd per followed process; readable once that process has ended.
    std::vector<int> descriptors() const;
    // "make (pid 4242)", the first followed one, for a hold's reason.
    std::string describe() const;

  private:
    std::vector<ProgramWatch::Pattern> patterns_;
    std::unique_ptr<os::Processes::Tracker> tracker_;
    struct Followed {
        int fd = -1;
        std::string name;
    };
    std::map<int, Followed> followed_;  // by pid
};

}  // namespace noctave::control

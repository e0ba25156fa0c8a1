#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/os/Processes.hpp"
#include "core/runtime/Timer.hpp"
#include "core/runtime/WeakPtr.hpp"

namespace noctave {

// Tells whether any of the user's processes matches one of a few patterns, for holding a
// session while a named program runs.
//
// A pattern is a shell wildcard (fnmatch) matched against the process's full name or its short
// name (a script's, or one a pattern written against `top` names), or, for a command-line
// pattern, against its whole command line; a command-line pattern without a wildcard matches
// anywhere in it. The user's processes are followed from when the patterns change, and looked
// at again every kScanSeconds while there are any: each look reads only processes started since
// the last. With no patterns nothing runs, not even a timer. Main queue only.
class ProgramWatch {
  public:
    static constexpr double kScanSeconds = 5.0;

    struct Pattern {
        std::string text;
        bool byCommandLine = false;
        friend bool operator==(const Pattern&, const Pattern&) = default;
    };

    ProgramWatch();
    ~ProgramWatch();
    ProgramWatch(const ProgramWatch&) = delete;
    ProgramWatch& operator=(const ProgramWatch&) = delete;

    // Scans at once when the patterns differ from the last ones.
    void setPatterns(std::vector<Pattern> patterns);
    const std::vector<Pattern>& patterns() const { return patterns_; }

    // Whether a match ran at the last scan, and which ("make (pid 4242)"), for the log.
    bool isRunning() const { return !matched_.empty(); }
    const std::string& matched() const { return matched_; }

    // Called on the main queue when isRunning() changes.
    std::function<void(bool running)> onChange;

    static bool matches(const Pattern& pattern, const os::Processes::ProcessInfo& process);

  private:
    void scan();

    std::vector<Pattern> patterns_;
    std::unique_ptr<os::Processes::Tracker> tracker_;
    std::map<int, std::string> running_;  // the matching processes, by pid: their names
    std::string matched_;
    std::unique_ptr<runtime::Timer> timer_;
    runtime::WeakFactory<ProgramWatch> weakFactory_{this};
};

}  // namespace noctave

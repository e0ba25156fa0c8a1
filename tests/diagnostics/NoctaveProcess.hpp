#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace noctave::test {

// One run of the real noctave executable on the virtual laptop.
struct NoctaveRun {
    std::string out;  // the whole standard output
    std::string err;  // the whole standard error (log lines)
    int status = -1;  // the exit status; -1 when it did not exit normally
};

// Runs noctave with `arguments` (argv[1...]), NOCTAVE_PLATFORM=sim, NOCTAVE_SIM=`sim` and the
// virtual laptop's files in `home`. Other NOCTAVE_ variables of the caller are not passed on.
// `argv0`: what the program finds as its element 0 (default: its path).
NoctaveRun runNoctave(const std::vector<std::string>& arguments, const std::string& sim,
                      const std::filesystem::path& home, const std::string& argv0 = {});

// The virtual laptop's final state as the run left it ("flag=0" and the like), read from `home`.
std::string finalSimState(const std::filesystem::path& home);

// Runs `fn` in this process with standard output sent to a file in `scratch`, and returns what
// it printed.
std::string captureStandardOutput(const std::function<void()>& fn,
                                  const std::filesystem::path& scratch);

}  // namespace noctave::test

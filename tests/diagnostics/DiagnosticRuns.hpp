#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace noctave::test {

// One expected run of the real noctave executable on the virtual laptop.
struct RunCase {
    std::string sim;  // NOCTAVE_SIM
    std::string out;  // the whole standard output
    int status;       // the exit status
};

// Runs `noctave <arguments>` once per case, each on a fresh virtual laptop, and checks the
// whole standard output, the exit status and that the run left the lid-close bit clear and no
// assertion held.
void expectRuns(const std::vector<std::string>& arguments, const std::vector<RunCase>& cases);

// What one run of `noctave <arguments>` on a fresh virtual laptop left behind.
struct RunRecord {
    std::string out;    // the whole standard output
    int status;         // the exit status, -1 when it did not exit normally
    std::string state;  // sim-state
    std::string log;    // diagnostics.log
};
RunRecord runOnce(const std::vector<std::string>& arguments, const std::string& sim);

// Runs `fn` in this process with standard output sent to a file in `scratch`, and returns what
// it printed.
std::string captureStandardOutput(const std::function<void()>& fn,
                                  const std::filesystem::path& scratch);

}  // namespace noctave::test

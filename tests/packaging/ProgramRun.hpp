#pragma once

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace noctave::test {

// What a finished program left behind.
struct ProgramRun {
    int status = -1;  // the exit status; -1 when it did not exit by itself within a minute
    std::string out;
    std::string err;
};

struct RunOptions {
    std::vector<std::pair<std::string, std::string>> environment;  // added to ours
    std::filesystem::path workingDirectory;                        // empty: ours
    std::filesystem::path standardOutputFile;                      // empty: captured
};

ProgramRun runProgram(const std::string& program, const std::vector<std::string>& arguments,
                      const RunOptions& options = {});

// The file's whole content; empty when it cannot be read.
std::string readFile(const std::filesystem::path& file);

}  // namespace noctave::test

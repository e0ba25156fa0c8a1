#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace noctave::linuxos {

// Where the kernel's file trees are. Real machines use the defaults; tests point them at
// fake trees in a temporary folder.
struct MachineRoots {
    std::filesystem::path sys = "/sys";
    std::filesystem::path dev = "/dev";
    std::filesystem::path proc = "/proc";
};

// The first line of a small sysfs/procfs file without its trailing newline and spaces;
// absent when the file cannot be read.
std::optional<std::string> readFirstLine(const std::filesystem::path& file);
std::optional<long long> readInteger(const std::filesystem::path& file);

}  // namespace noctave::linuxos

#pragma once

#include <filesystem>

#include "core/os/Processes.hpp"

namespace noctave::linuxos {

// Processes on Linux: liveness by a signal-0 probe, boot time from /proc/stat's btime, and
// helper commands started with posix_spawn and an argument vector, never through a shell.
// The user's processes are a scan of /proc: the numbered folders the user owns, each with its
// "comm" (the name) and "cmdline" (NUL-separated arguments, read up to 4 KiB).
class LinuxProcesses final : public os::Processes {
  public:
    explicit LinuxProcesses(std::filesystem::path procRoot = "/proc")
        : procRoot_(std::move(procRoot)) {}

    int currentPid() const override;
    bool isAlive(int pid) const override;
    int64_t bootTime() const override;
    SpawnResult spawnAndWait(const std::string& program,
                             const std::vector<std::string>& arguments) override;
    std::vector<ProcessInfo> userProcesses() const override;

  private:
    std::filesystem::path procRoot_;
};

}  // namespace noctave::linuxos

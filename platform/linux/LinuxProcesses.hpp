#pragma once

#include <filesystem>

#include "core/os/Processes.hpp"

namespace noctave::linuxos {

// Processes on Linux: liveness by a signal-0 probe, boot time from /proc/stat's btime, and
// helper commands started with posix_spawn and an argument vector, never through a shell.
//
// The user's processes are the numbered folders of /proc the user owns. Each is read once, when
// first seen: "stat" (the start time), "comm" (the short name) and "cmdline" (NUL-separated
// arguments, up to 4 KiB; argv[0]'s base name is the full name). argv[0] rather than the "exe"
// link: it is what the user typed or `exec -a` chose, it is readable for every process of the
// user (the link is not for a non-dumpable one, and names a versioned interpreter or a file
// marked "(deleted)" after an upgrade), and it costs no further call. A later look lists the
// pids alone: a pid listed under the folder inode it had is the same process (a reused pid is a
// new folder), and one under another inode is told apart by its start time. Most looks list
// nothing: they probe the pids handed out since the last (see trackUserProcesses).
class LinuxProcesses final : public os::Processes {
  public:
    // One look in this many lists every pid, however few were handed out since the last.
    static constexpr unsigned kFullListingEvery = 12;

    explicit LinuxProcesses(std::filesystem::path procRoot = "/proc")
        : procRoot_(std::move(procRoot)) {}

    int currentPid() const override;
    bool isAlive(int pid) const override;
    int64_t bootTime() const override;
    SpawnResult spawnAndWait(const std::string& program,
                             const std::vector<std::string>& arguments) override;
    std::unique_ptr<Tracker> trackUserProcesses() const override;

  private:
    std::filesystem::path procRoot_;
};

}  // namespace noctave::linuxos

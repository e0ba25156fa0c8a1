#pragma once

#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "core/os/Processes.hpp"

namespace noctave::sim {

class SimKeys;

// Processes of the virtual laptop. The running process is the real one (its pid is real, so
// signal tests work); which other pids are alive and when the machine booted are knobs.
// Spawned commands are recorded and answered from a script instead of being run.
class SimProcesses final : public os::Processes {
  public:
    SimProcesses();

    int currentPid() const override;
    bool isAlive(int pid) const override;
    int64_t bootTime() const override;
    SpawnResult spawnAndWait(const std::string& program,
                             const std::vector<std::string>& arguments) override;
    // Follows the process table (the running process itself is never in it). The table must
    // outlive its trackers.
    std::unique_ptr<Tracker> trackUserProcesses() const override;

    // Knobs.
    void setBootTime(int64_t seconds);
    void setAlive(int pid, bool alive);
    // Starts a process in the virtual table (alive from now on) and returns its pid; ending it
    // takes it out of the table and makes it not alive. `name` is the full name; its short name
    // is cut to 15 bytes, as the kernel cuts it.
    int startProcess(const std::string& name, const std::string& commandLine = {});
    void endProcess(int pid);
    // Answers for the next spawns, in order; with none left a spawn exits with status 0.
    void scriptSpawn(SpawnResult result);

    // Recorded: how many times the process table was looked at (a tracker's update).
    int scanCount() const;
    // Recorded: every spawn, as program followed by its arguments.
    std::vector<std::vector<std::string>> spawned() const;

    void registerKeys(SimKeys& keys);

  private:
    class Tracker;
    mutable std::mutex mutex_;
    int64_t bootTime_;
    std::set<int> alive_;
    std::vector<ProcessInfo> table_;
    int nextPid_ = 40000;
    uint64_t nextStart_ = 1;
    mutable int scans_ = 0;
    std::vector<SpawnResult> script_;
    std::vector<std::vector<std::string>> spawned_;
};

}  // namespace noctave::sim

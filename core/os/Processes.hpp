#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace noctave::os {

// Process-level facilities: identity, liveness, boot time and spawning helper commands.
// Every member may be called from any thread.
class Processes {
  public:
    virtual ~Processes() = default;

    virtual int currentPid() const = 0;

    // True when a signal-0 probe of `pid` succeeds. Any failure (no such process, a process of
    // another user) reads as not alive.
    virtual bool isAlive(int pid) const = 0;

    // The kernel's boot time in whole seconds since the Unix epoch; 0 when it cannot be read.
    virtual int64_t bootTime() const = 0;

    struct SpawnResult {
        bool launched = false;  // false: the program could not be started at all
        int exitStatus = -1;    // the exit status when it ran and exited normally, else -1
        std::string error;      // why it could not be launched, for the log
    };

    // Runs `program` with `arguments` (argv[1...]; never through a shell) and waits for it.
    virtual SpawnResult spawnAndWait(const std::string& program,
                                     const std::vector<std::string>& arguments) = 0;

    struct ProcessInfo {
        int pid = 0;
        std::string name;         // the kernel's short name of the program ("make")
        std::string commandLine;  // its arguments joined by spaces; empty for kernel threads
    };

    // The running processes of the user this process runs as, this process left out. A scan:
    // callers hold on to it only while something depends on it.
    virtual std::vector<ProcessInfo> userProcesses() const = 0;
};

}  // namespace noctave::os

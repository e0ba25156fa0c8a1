#pragma once

#include <cstdint>
#include <memory>
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
        // The program's full name: argv[0]'s base name ("transmission-gtk"), or the short name
        // where argv[0] is empty (a kernel thread, a process on its way in or out).
        std::string name;
        std::string commandLine;  // its arguments joined by spaces; empty for kernel threads
        std::string shortName;    // the kernel's name, cut to 15 bytes ("transmission-gt")
        // When it started, in the kernel's clock ticks since boot. A pid names one process
        // only while it runs; with the start time it names it for good.
        uint64_t startTime = 0;
    };

    // The running processes of the user this process runs as, this process left out, followed
    // from one look to the next. The first update() lists every one as started; each later one
    // those started since the last, and the ends of those the caller follows. A look reads only
    // processes not seen before, so it costs little more than learning that nothing is new. A
    // pid the kernel gave to a new process is a new process. One that replaced its program
    // (exec) within a second of starting is reported as started again (as ended first when
    // followed); one that does so later keeps the name it was first read with. Not
    // thread-safe: one caller.
    class Tracker {
      public:
        virtual ~Tracker() = default;
        struct Changes {
            std::vector<ProcessInfo> started;
            std::vector<int> ended;  // followed pids
        };
        virtual Changes update() = 0;
        // Follows `pid`, one the last update reported as started: an update reports its end.
        virtual void follow(int pid) = 0;
    };

    virtual std::unique_ptr<Tracker> trackUserProcesses() const = 0;
};

}  // namespace noctave::os

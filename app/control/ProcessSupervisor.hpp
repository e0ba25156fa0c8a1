#pragma once

#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace noctave::control {

class ProgramFollower;

// The process side of `noctave ctl hold`: runs a command, or follows a process it did not
// start, passing on the signals a terminal or a job manager sends to the holder.
//
// While it lives, the signals it forwards are blocked in the calling thread and read from a
// signalfd (the mask is inherited by threads started afterwards); its destructor restores
// the mask. One per hold, on the thread that runs the hold.
class ProcessSupervisor {
  public:
    ProcessSupervisor();
    ~ProcessSupervisor();
    ProcessSupervisor(const ProcessSupervisor&) = delete;
    ProcessSupervisor& operator=(const ProcessSupervisor&) = delete;

    // Starts `command` (looked up in PATH) with the signal mask and dispositions the holder
    // had; 0, or the errno of the failure.
    int spawn(const std::vector<std::string>& command);
    // Whether spawn could start `program`, looked up as it would be: 0, ENOENT (nowhere to be
    // found) or EACCES (found, but not an executable file).
    static int findProgram(const std::string& program);
    // Waits for the command to end, passing on each forwarded signal a process sent (a
    // terminal's reaches the command by itself); its exit status, 128+N when signal N killed it.
    int waitForCommand();

    // Follows `pid` until it exits: 0; or 128+N when signal N came first.
    int waitForProcess();
    // Opens the process to follow; false (errno set) when there is no such process.
    bool follow(pid_t pid);

    // Follows every program `programs` matches until none is left: 0; or 128+N when signal N
    // came first. Each exit is an event (the follower's pidfds); new programs are looked for
    // every ProgramWatch::kScanSeconds.
    int waitForPrograms(ProgramFollower& programs);

    // A time limit for the waits above, on the wall clock (a timer that also fires at the wake
    // after a suspend that went past it): once it passes, `onDeadline` runs once. A command is
    // still waited for afterwards; a process or programs are not (the wait returns 0).
    void setDeadline(std::chrono::system_clock::time_point deadline,
                     std::function<void()> onDeadline);

  private:
    // How a wait ended, when not by one of its descriptors (whose index it returns then).
    static constexpr int kTimedOut = -1;     // `timeoutMs` passed
    static constexpr int kDeadline = -2;     // the deadline passed (its handler has run)
    static constexpr int kInterrupted = -3;  // `onSignal` said stop, or poll failed

    // Waits for any of `fds` (the followed process's pidfd when empty), handing each signal
    // read to `onSignal` (signal, fromProcess: sent by a process rather than the kernel);
    // false from it ends the wait.
    template <typename OnSignal>
    int wait(OnSignal onSignal, std::vector<int> fds = {}, int timeoutMs = -1);

    sigset_t set_{};
    sigset_t previous_{};
    int signalFd_ = -1;
    pid_t child_ = -1;
    int pidfd_ = -1;
    int deadlineFd_ = -1;  // a timerfd while a deadline is set and has not passed
    std::function<void()> onDeadline_;
};

}  // namespace noctave::control

#pragma once

#include <signal.h>
#include <sys/types.h>

#include <string>
#include <vector>

namespace noctave::control {

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
    // Waits for the command to end, passing on each forwarded signal a process sent (a
    // terminal's reaches the command by itself); its exit status, 128+N when signal N killed it.
    int waitForCommand();

    // Follows `pid` until it exits: 0; or 128+N when signal N came first.
    int waitForProcess();
    // Opens the process to follow; false (errno set) when there is no such process.
    bool follow(pid_t pid);

  private:
    // Waits for the followed process's pidfd, handing each signal read to `onSignal`
    // (`fromProcess`: sent by a process rather than the kernel); false from it ends the wait.
    template <typename OnSignal>
    void wait(OnSignal onSignal);

    sigset_t set_{};
    sigset_t previous_{};
    int signalFd_ = -1;
    pid_t child_ = -1;
    int pidfd_ = -1;
};

}  // namespace noctave::control

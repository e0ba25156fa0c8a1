#pragma once

#include <memory>

namespace noctave::runtime {
class ManualRuntime;
}

namespace noctave::sim {

class SimPower;

// What a real sleep does to the program running on the machine: while the machine sleeps the
// program does not run, and when it wakes its clock has jumped. The virtual power hardware only
// records its sleeps; this lets them act on a program in virtual time. Every 0.25 s it looks,
// and when it finds the machine asleep, virtual time runs on (the lid opening, the machine
// waking) without control returning to the program until the machine is awake again. A sleep
// that nothing ends is ended after an hour, as a real machine's maintenance wake would.
//
// Used by the command-line checks on the virtual laptop; a test that drives the laptop itself
// has no program to suspend.
class SimSuspension : public std::enable_shared_from_this<SimSuspension> {
  public:
    static constexpr double kPollInterval = 0.25;
    static constexpr double kLongestSleep = 3600.0;

    // Starts watching `power` on `runtime`'s main queue; stops when the result is released.
    static std::shared_ptr<SimSuspension> start(SimPower& power, runtime::ManualRuntime& runtime);

    SimSuspension(SimPower& power, runtime::ManualRuntime& runtime);

  private:
    void schedulePoll();
    void poll();

    SimPower& power_;
    runtime::ManualRuntime& runtime_;
};

}  // namespace noctave::sim

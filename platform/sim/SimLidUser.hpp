#pragma once

#include <memory>
#include <string_view>

namespace noctave::sim {

class SimHinge;
class SimPower;
class SimKeys;

// A virtual user who follows the disconnect-guard check's instructions, so that the check runs
// unattended (NOCTAVE_SIM key autolid=1): once the machine is armed (the lid-close bit set and
// a "PreventUserIdleSystemSleep" assertion held) the user closes the lid a moment later, leaves
// it closed for a minute, then opens it again.
//
// The user only moves the lid; what a sleep in between does to the program is SimSuspension's.
//
// Driven by a 0.25 s poll on the main queue of the runtime installed when the key is applied
// (with none installed, as in the application, the key is accepted and does nothing); the poll
// holds the user weakly and ends once the lid is open again.
class SimLidUser : public std::enable_shared_from_this<SimLidUser> {
  public:
    static constexpr double kPollInterval = 0.25;
    static constexpr double kCloseDelay = 1.0;      // from seeing the machine armed
    static constexpr double kClosedSeconds = 60.0;  // "wait about a minute"
    static constexpr double kHingeTravel = 0.8;     // the hinge's swing, either way
    static constexpr double kOpenAngle = 110.0;

    // Registers "autolid" with `keys`; the user lives as long as the keys.
    static void install(SimPower& power, SimHinge& hinge, SimKeys& keys);

    SimLidUser(SimPower& power, SimHinge& hinge);

    // Starts following the instructions (idempotent).
    void start();

  private:
    enum class Phase { waitingForArm, closing, closed, done };

    bool applyKey(std::string_view value);
    void poll();
    void schedulePoll();
    void closeLid();
    void openLid();

    SimPower& power_;
    SimHinge& hinge_;
    Phase phase_ = Phase::waitingForArm;
    bool started_ = false;
};

}  // namespace noctave::sim

#pragma once

#include <functional>
#include <memory>

#include "core/runtime/Timer.hpp"
#include "core/runtime/WeakPtr.hpp"

namespace noctave::sim {
class SimHinge;
class SimPower;
}  // namespace noctave::sim

namespace noctave::app {

// The virtual laptop's lid as a person moves it: the hinge swings at a person's pace (a full
// close from 110° takes 0.6 s), and the lid switch reports shut when the hinge reaches 0° and
// open as soon as it leaves. A frame timer runs on the main queue only while the hinge moves.
// A lid the machine reports as unknown or absent keeps its switch as it is.
//
// Main thread only; the hinge and the power hardware must outlive it.
class SimulatedLid {
  public:
    static constexpr double kOpenAngle = 110.0;
    static constexpr double kMaxAngle = 130.0;
    static constexpr double kSecondsPerDegree = 0.6 / 110.0;
    static constexpr double kFrameInterval = 1.0 / 60.0;

    SimulatedLid(sim::SimHinge& hinge, sim::SimPower& power);
    ~SimulatedLid();
    SimulatedLid(const SimulatedLid&) = delete;
    SimulatedLid& operator=(const SimulatedLid&) = delete;

    void close() { swingTo(0); }
    void open() { swingTo(kOpenAngle); }
    // Swings from wherever the hinge is now, at a person's pace.
    void swingTo(double degrees);
    // The hinge is there at once (the slider dragged by hand); a swing under way stops.
    void setAngle(double degrees);

    double angle() const;
    bool isMoving() const { return frames_ != nullptr; }

    // The angle or the switch changed; every frame while the hinge moves.
    std::function<void()> onChange;

  private:
    void frame();
    void syncSwitch(double degrees);
    void changed();

    sim::SimHinge& hinge_;
    sim::SimPower& power_;
    double arrival_ = 0;  // monotonic seconds at which the swing under way ends
    std::unique_ptr<runtime::Timer> frames_;
    runtime::WeakFactory<SimulatedLid> weakFactory_{this};
};

}  // namespace noctave::app

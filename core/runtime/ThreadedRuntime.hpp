#pragma once

#include <memory>

#include "core/runtime/Runtime.hpp"
#include "core/runtime/SerialQueue.hpp"

namespace noctave::runtime {

// Real time: monotonic seconds from the steady clock, wall time from the system clock.
class SystemClock final : public Clock {
  public:
    double monotonic() const override;
    WallTime wall() const override;
};

// The real runtime of a process without a GUI event loop: serial queues are worker threads,
// the main queue is a run loop drained by the thread that made the runtime.
class ThreadedRuntime final : public Runtime {
  public:
    ThreadedRuntime() = default;
    Queue& mainQueue() override { return main_; }
    std::shared_ptr<Queue> makeSerialQueue(std::string label, QoS qos = QoS::utility) override;
    const Clock& clock() const override { return clock_; }
    void runFor(double seconds) override { main_.runFor(seconds); }
    bool runUntil(const std::function<bool()>& done, double seconds) {
        return main_.runUntil(done, seconds);
    }

  private:
    SystemClock clock_;
    RunLoopQueue main_;
};

}  // namespace noctave::runtime

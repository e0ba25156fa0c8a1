#pragma once

#include <functional>
#include <memory>
#include <optional>

#include "core/runtime/WeakPtr.hpp"

namespace noctave {

class LidAngleSensor;

// Turns "hold Fn while closing the lid" into a one-shot arming of the session. Polls Fn and the
// hinge on a serial queue of its own ("noctave.gesture"): 120 times a second from the moment Fn
// is seen held until it is idle again. While nothing happens it polls Fn 20 times a second, or,
// where the keyboard announces Fn, sleeps until Fn goes down; a disabled driver that is not
// practising sleeps as well, since its ticks would do nothing.
//
// Threads: every member is called on the main thread. Ticks and all gesture state live on the
// gesture queue; the members that change the phase (stop, noteLidClosed, resetToIdle,
// setEnabled) run their change on that queue and wait for it, so they never race a tick.
// Callbacks are delivered asynchronously on the main queue, never on the gesture queue, and
// never after the driver is destroyed. The callback properties are read on the main queue at
// delivery time; set them on the main thread.
class GestureDriver {
  public:
    struct Config {
        double minStartAngle = 45.0;
        double engageDegrees = 3.0;
        int baselineSamples = 7;
        int movementConfirmationSamples = 3;
        double commitAngle = 32.0;
        double reopenCancelAngle = 55.0;
        double commitTimeout = 12.0;
        double handoffTimeout = 15.0;
        double handoffActivationAngle = 45.0;
        double handoffReverseDegrees = 12.0;
        double closedReferenceAngle = 6.0;
        double visualAlmostClosedAngle = 30.0;
        double visualProgressAtAlmostClosed = 0.94;
        double minimumVisualProgress = -0.06;
        double idleInterval = 0.05;
        double activeInterval = 1.0 / 120.0;
    };

    explicit GestureDriver(std::shared_ptr<LidAngleSensor> sensor);
    GestureDriver(std::shared_ptr<LidAngleSensor> sensor, Config config);
    ~GestureDriver();  // stops
    GestureDriver(const GestureDriver&) = delete;
    GestureDriver& operator=(const GestureDriver&) = delete;

    // Starts idle polling when the sensor is open; otherwise logs why and does nothing.
    bool start();
    // Stops polling, returns to idle, reports an absent progress. Idempotent. Practice mode
    // stays on; its polling resumes with the next beginPractice/endPractice.
    // Callbacks emitted before it and not yet delivered are dropped.
    void stop();

    bool isEnabled() const { return isEnabled_; }
    // false cancels whatever gesture is under way ("disabled").
    void setEnabled(bool enabled);

    bool isSupported() const;  // the sensor is open
    bool isCommitted() const;  // handed off or committed

    // The lid shut: back to idle without onCancel, so the session started on commit goes on.
    void noteLidClosed();
    void resetToIdle() { noteLidClosed(); }
    // As noteLidClosed, but asynchronously on the gesture queue.
    void abort();

    // Practice mode lets the onboarding watch Fn and the progress even while disabled.
    void beginPractice();
    void endPractice();

    // The progress curve: eases out from the start angle, about -0.06 (lid above its start)
    // up to 1 (closed).
    static double visualProgress(double start, double current, const Config& config);

    const Config& config() const;
    // The running poll interval in seconds; 0 when stopped. Idle reads idleInterval, also while
    // the idle poll sleeps.
    double currentInterval() const;

    std::function<void()> onCommit;                         // committed, or handed off
    std::function<void()> onCancel;                         // a commit or hand-off was undone
    std::function<void(std::optional<double>)> onProgress;  // nullopt: nothing to show
    std::function<void(std::optional<double>)> onPracticeProgress;
    std::function<void(bool)> onPracticeFunctionHeld;

  private:
    class Engine;
    friend class Engine;

    std::shared_ptr<Engine> engine_;  // shared with the gesture queue's jobs
    bool isEnabled_ = true;
    runtime::WeakFactory<GestureDriver> weakFactory_{this};
};

}  // namespace noctave

#pragma once

#include <optional>

#include "app/overlay/CurtainAnimation.hpp"

namespace noctave::app {

// The gesture practice's state, apart from drawing and timers: the looping demonstration, the
// curtain as it follows the real Fn key and lid (the close overlay's own motion), and whether the
// practice was done. Times are monotonic seconds.
class GesturePractice {
  public:
    static constexpr double kDemoLoop = 4.2;
    static constexpr double kFrameInterval = 1.0 / 120.0;

    struct DemoFrame {
        std::optional<double> progress;  // none: the demonstration holds no gesture
        bool isFnHeld = false;
    };
    // The demonstration at `now` of a loop that started at `startedAt` (none: no loop).
    static DemoFrame demoFrame(std::optional<double> startedAt, double now);

    // The page shows: the demonstration starts over.
    void begin(double now);
    // The page is left: the next tick counts as a first one.
    void pause() { curtain.forgetFrameTime(); }
    // A new showing: the practice is asked for again.
    void reset();
    // The still picture of a snapshot: a half-closed curtain and the practice done.
    void prepareForSnapshot();

    // The driver's progress; none: its gesture went idle. Returns true when this report
    // completed the practice.
    bool handleProgress(std::optional<double> progress);
    void setPhysicalFnHeld(bool held);

    // One animation frame at `now`.
    void tick(double now, bool reduceMotion);

    // Nothing will move until the driver reports something new: the practice is done (or
    // shown still) and the curtain stands where it should.
    bool isAtRest(bool reduceMotion) const;

    std::optional<double> demoStartedAt;
    CurtainAnimation curtain;
    bool physicalFnHeld = false;
    bool demoFnHeld = false;
    bool practiceComplete = false;
};

}  // namespace noctave::app

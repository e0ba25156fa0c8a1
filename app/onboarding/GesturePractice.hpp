#pragma once

#include <optional>

namespace noctave::app {

// The gesture practice's state, apart from drawing and timers: the looping demonstration, the
// curtain's coverage as it follows the real Fn key and lid, and whether the practice was done.
// Times are monotonic seconds.
class GesturePractice {
  public:
    static constexpr double kDemoLoop = 4.2;
    static constexpr double kFrameInterval = 1.0 / 120.0;

    // The curtain's coverage for a gesture progress: at least 0.258 while a gesture is
    // followed, 0.3 at its start, everything at 1.
    static double coverage(double progress);

    struct DemoFrame {
        std::optional<double> progress;  // none: the demonstration holds no gesture
        bool isFnHeld = false;
    };
    // The demonstration at `now` of a loop that started at `startedAt` (none: no loop).
    static DemoFrame demoFrame(std::optional<double> startedAt, double now);

    // Frames elapsed since the previous tick: 1 for the first, 0.5 for a tick within 1/240 s,
    // else the gap in 120ths of a second, at most 6.
    static double frameCount(std::optional<double> last, double now);

    // The page shows: the demonstration starts over.
    void begin(double now);
    // The page is left: the next tick counts as a first one.
    void pause() { lastFrameTimestamp = std::nullopt; }
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
    double targetCoverage = 0;
    double displayedCoverage = 0;
    std::optional<double> lastFrameTimestamp;
    bool physicalFnHeld = false;
    bool demoFnHeld = false;
    bool curtainEntering = false;
    bool curtainRetracting = false;
    bool practiceComplete = false;
};

}  // namespace noctave::app

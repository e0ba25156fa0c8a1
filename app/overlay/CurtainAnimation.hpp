#pragma once

#include <optional>

namespace noctave::app {

// One screen's curtain in motion, apart from any window: how far it covers the screen, where it
// is heading, and how it gets there frame by frame. Coverage runs from 0 (nothing) to 1 (the
// whole screen). Main thread only.
class CurtainAnimation {
  public:
    // Seconds over which a sealed curtain fades out once it covers the screen.
    static constexpr double sealFadeDuration = 0.3;

    // The coverage shown for a gesture's progress: a tracking gesture already covers 30%,
    // full progress all of it; the lowest progress the gesture reports (-0.06), anything below
    // it and a progress that is no number give 0.258: the windows only ever see a coverage.
    static double coverage(double progress);

    // Follows a live gesture towards `coverage`. `restart`: the gesture has just begun, so the
    // curtain eases in from nothing. With reduce motion it stands at the coverage at once.
    // Returns true when the picture changed without a frame (redraw now).
    bool follow(double coverage, bool restart, bool reduceMotion);
    // The session armed: run to full coverage, then fade. Returns true as follow() does.
    bool seal(bool reduceMotion);
    // The gesture ended without a session: slide back up. Returns true as follow() does.
    bool retract(bool reduceMotion);

    // One frame at monotonic time `t` (seconds). Returns whether the curtain still moves, that
    // is whether another frame could change the picture.
    bool step(double t);
    // The frame clock stopped: the next frame counts as the first.
    void forgetFrameTime() { lastFrameTimestamp_.reset(); }

    bool isMoving() const;
    double target() const { return target_; }
    double displayed() const { return displayed_; }
    double fadeAlpha() const { return fadeAlpha_; }
    bool isSealing() const { return sealing_; }
    bool isRetracting() const { return retracting_; }
    bool isEntering() const { return entering_; }

  private:
    double target_ = 0.0;
    double displayed_ = 0.0;
    bool sealing_ = false;
    bool retracting_ = false;
    bool entering_ = false;
    double fadeAlpha_ = 1.0;
    std::optional<double> lastFrameTimestamp_;
};

}  // namespace noctave::app

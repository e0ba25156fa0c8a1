#pragma once

#include <optional>

namespace noctave::app {

// The black curtain that follows the lid down on every screen while a gesture closes it.
// The delegate drives it from the session's state and the gesture's progress.
class Curtain {
  public:
    virtual ~Curtain() = default;

    virtual void hide() = 0;
    // Runs the curtain to full coverage (the lid shut on a session).
    virtual void seal() = 0;
    // Slides the curtain back up (the session ended).
    virtual void retract() = 0;
    // The gesture's progress; no value: nothing to show.
    virtual void setProgress(std::optional<double> progress) = 0;
    // While a live gesture owns the curtain, a disarm must not take it away.
    virtual bool isTrackingGesture() const = 0;
};

}  // namespace noctave::app

#include "app/overlay/CurtainAnimation.hpp"

#include <algorithm>
#include <cmath>

namespace noctave::app {

namespace {
constexpr double kNominalFrame = 1.0 / 120.0;
// A stalled frame moves the curtain by at most six nominal frames; a burst of early frames
// by no less than half of one.
constexpr double kShortestFrame = 1.0 / 240.0;
constexpr double kLongestFrame = 0.05;
constexpr double kSnap = 0.0015;
constexpr double kFadeStart = 0.995;
constexpr double kMinimumProgress = -0.06;
}  // namespace

double CurtainAnimation::coverage(double progress) {
    // NaN fails every comparison; it must not reach the windows as a coverage.
    if (std::isnan(progress) || progress <= kMinimumProgress) {
        return 0.3 + kMinimumProgress * 0.7;
    }
    return std::min(progress, 1.0) * 0.7 + 0.3;
}

bool CurtainAnimation::follow(double coverage, bool restart, bool reduceMotion) {
    sealing_ = false;
    retracting_ = false;
    fadeAlpha_ = 1.0;
    target_ = coverage;
    if (!reduceMotion && !restart) {
        return false;
    }
    displayed_ = reduceMotion ? target_ : 0.0;
    entering_ = !reduceMotion;
    return true;
}

bool CurtainAnimation::seal(bool reduceMotion) {
    sealing_ = true;
    entering_ = false;
    retracting_ = false;
    target_ = 1.0;
    if (!reduceMotion) {
        return false;
    }
    displayed_ = 1.0;
    fadeAlpha_ = 0.0;
    return true;
}

bool CurtainAnimation::retract(bool reduceMotion) {
    sealing_ = false;
    entering_ = false;
    retracting_ = true;
    fadeAlpha_ = 1.0;
    target_ = 0.0;
    if (!reduceMotion) {
        return false;
    }
    displayed_ = 0.0;
    return true;
}

bool CurtainAnimation::step(double t) {
    const double dt = lastFrameTimestamp_
                          ? std::clamp(t - *lastFrameTimestamp_, kShortestFrame, kLongestFrame)
                          : kNominalFrame;
    lastFrameTimestamp_ = t;

    if (sealing_ && displayed_ > kFadeStart) {
        fadeAlpha_ = std::max(fadeAlpha_ - dt / sealFadeDuration, 0.0);
    }
    double retention = 0.8;
    if (retracting_ || entering_) {
        retention = 0.915;
    } else if (target_ < displayed_ && target_ < 0.3) {
        retention = 0.975;  // a slow retreat near the top
    }
    displayed_ += (target_ - displayed_) * (1.0 - std::pow(retention, dt * 120.0));
    if (std::abs(target_ - displayed_) <= kSnap) {
        displayed_ = target_;
    }
    if (displayed_ == target_) {
        entering_ = false;
    }
    return isMoving();
}

bool CurtainAnimation::isMoving() const {
    if (displayed_ != target_) {
        return true;
    }
    // A sealed curtain still has its fade to run once it covers the screen.
    return sealing_ && displayed_ > kFadeStart && fadeAlpha_ > 0.0;
}

}  // namespace noctave::app

#include "app/onboarding/GesturePractice.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace noctave::app {

namespace {

constexpr double kDemoPeak = 0.46;
constexpr double kSnapshotCoverage = 0.552;
constexpr double kStillCoverage = 0.3;

}  // namespace

GesturePractice::DemoFrame GesturePractice::demoFrame(std::optional<double> startedAt, double now) {
    if (!startedAt) {
        return {};
    }
    const double t = std::fmod(std::max(now - *startedAt, 0.0), kDemoLoop);
    const double pi = std::numbers::pi;
    if (t < 0.65) {
        return {};
    }
    if (t < 1.75) {
        return {kDemoPeak * (1 - std::cos(pi * (t - 0.65) / 1.1)) / 2, true};
    }
    if (t < 2.1) {
        return {kDemoPeak, true};
    }
    if (t < 3.35) {
        return {kDemoPeak * (1 - (1 - std::cos(pi * (t - 2.1) / 1.25)) / 2), true};
    }
    return {};
}

void GesturePractice::begin(double now) {
    demoStartedAt = now;
}

void GesturePractice::reset() {
    *this = GesturePractice();
}

void GesturePractice::prepareForSnapshot() {
    demoStartedAt = std::nullopt;
    curtain = CurtainAnimation();
    curtain.follow(kSnapshotCoverage, false, true);
    physicalFnHeld = false;
    demoFnHeld = true;
    practiceComplete = true;
}

bool GesturePractice::handleProgress(std::optional<double> progress) {
    if (!progress) {
        if (practiceComplete) {
            curtain.follow(0, false, false);
        }
        return false;
    }
    demoFnHeld = false;
    curtain.follow(CurtainAnimation::coverage(*progress), false, false);
    if (practiceComplete) {
        return false;
    }
    practiceComplete = true;
    return true;
}

void GesturePractice::setPhysicalFnHeld(bool held) {
    physicalFnHeld = held;
    if (held) {
        demoFnHeld = false;
    }
}

void GesturePractice::tick(double now, bool reduceMotion) {
    const bool wasDemo = demoFnHeld;
    // The real key leaves the target where the driver's progress put it, and gets no fast
    // approach of its own.
    double target = curtain.target();
    if (physicalFnHeld) {
        demoFnHeld = false;
    } else if (practiceComplete) {
        target = 0;
        demoFnHeld = false;
    } else {
        const DemoFrame frame = demoFrame(demoStartedAt, now);
        demoFnHeld = frame.isFnHeld;
        target = frame.progress ? CurtainAnimation::coverage(*frame.progress) : 0;
    }

    if (reduceMotion) {
        if (!physicalFnHeld && !practiceComplete) {
            // A still picture instead of the demonstration.
            demoFnHeld = false;
            target = kStillCoverage;
        }
        curtain.follow(target, false, true);
    } else if (demoFnHeld && !wasDemo) {
        curtain.follow(target, true, false);
    } else if (!demoFnHeld && wasDemo) {
        curtain.retract(false);
    } else if (target != curtain.target()) {
        curtain.follow(target, false, false);
    }
    curtain.step(now);
}

bool GesturePractice::isAtRest(bool reduceMotion) const {
    if (physicalFnHeld || curtain.isMoving()) {
        return false;
    }
    // With the key up, a completed practice shows no curtain and a still picture shows 0.3.
    if (practiceComplete) {
        return curtain.displayed() == 0;
    }
    return reduceMotion && curtain.displayed() == kStillCoverage;
}

}  // namespace noctave::app

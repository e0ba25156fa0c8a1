#include "app/onboarding/GesturePractice.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace noctave::app {

namespace {

constexpr double kDemoPeak = 0.46;
constexpr double kSnapDistance = 0.0015;
constexpr double kSnapshotCoverage = 0.552;
constexpr double kStillCoverage = 0.3;

}  // namespace

double GesturePractice::coverage(double progress) {
    if (progress <= -0.06) {
        return 0.258;
    }
    return 0.3 + 0.7 * std::min(progress, 1.0);
}

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

double GesturePractice::frameCount(std::optional<double> last, double now) {
    if (!last) {
        return 1;
    }
    const double dt = now - *last;
    if (dt <= 1.0 / 240.0) {
        return 0.5;
    }
    return std::min(dt, 0.05) * 120.0;
}

void GesturePractice::begin(double now) {
    demoStartedAt = now;
}

void GesturePractice::reset() {
    demoStartedAt = std::nullopt;
    lastFrameTimestamp = std::nullopt;
    targetCoverage = 0;
    displayedCoverage = 0;
    physicalFnHeld = false;
    demoFnHeld = false;
    curtainEntering = false;
    curtainRetracting = false;
    practiceComplete = false;
}

void GesturePractice::prepareForSnapshot() {
    demoStartedAt = std::nullopt;
    targetCoverage = kSnapshotCoverage;
    displayedCoverage = kSnapshotCoverage;
    physicalFnHeld = false;
    demoFnHeld = true;
    curtainEntering = false;
    curtainRetracting = false;
    practiceComplete = true;
}

bool GesturePractice::handleProgress(std::optional<double> progress) {
    if (!progress) {
        if (practiceComplete) {
            targetCoverage = 0;
        }
        return false;
    }
    demoFnHeld = false;
    targetCoverage = coverage(*progress);
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
    const double frames = frameCount(lastFrameTimestamp, now);
    lastFrameTimestamp = now;
    const bool wasDemo = demoFnHeld;

    if (physicalFnHeld) {
        // The target stays where the driver's progress put it.
        demoFnHeld = false;
    } else if (practiceComplete) {
        targetCoverage = 0;
        demoFnHeld = false;
    } else {
        const DemoFrame frame = demoFrame(demoStartedAt, now);
        demoFnHeld = frame.isFnHeld;
        targetCoverage = frame.progress ? coverage(*frame.progress) : 0;
    }

    if (physicalFnHeld) {
        // The real key gets no fast approach of its own.
        if (targetCoverage >= 0.3) {
            curtainRetracting = false;
        }
    } else if (demoFnHeld && !wasDemo) {
        curtainEntering = true;
        curtainRetracting = false;
    } else if (!demoFnHeld && wasDemo) {
        curtainEntering = false;
        curtainRetracting = true;
    } else if (targetCoverage >= 0.3) {
        curtainRetracting = false;
    }

    if (!reduceMotion) {
        double base = 0.8;
        if (curtainEntering || curtainRetracting) {
            base = 0.915;
        } else if (targetCoverage < displayedCoverage && targetCoverage < 0.3) {
            // A slow fade-out at the bottom of the range.
            base = 0.975;
        }
        displayedCoverage += (targetCoverage - displayedCoverage) * (1 - std::pow(base, frames));
        if (std::abs(displayedCoverage - targetCoverage) <= kSnapDistance) {
            displayedCoverage = targetCoverage;
        }
        if (displayedCoverage == targetCoverage) {
            curtainEntering = false;
            if (targetCoverage == 0) {
                curtainRetracting = false;
            }
        }
    } else {
        if (physicalFnHeld || practiceComplete) {
            displayedCoverage = targetCoverage;
        } else {
            // A still picture instead of the demonstration.
            demoFnHeld = false;
            targetCoverage = kStillCoverage;
            displayedCoverage = kStillCoverage;
        }
        curtainEntering = false;
        curtainRetracting = false;
    }
}

bool GesturePractice::isAtRest(bool reduceMotion) const {
    if (physicalFnHeld || curtainEntering || curtainRetracting) {
        return false;
    }
    // With the key up, a completed practice shows no curtain and a still picture shows 0.3;
    // anything else is still on its way there.
    if (practiceComplete) {
        return targetCoverage == 0 && displayedCoverage == 0;
    }
    return reduceMotion && targetCoverage == kStillCoverage && displayedCoverage == kStillCoverage;
}

}  // namespace noctave::app

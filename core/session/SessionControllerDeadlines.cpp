// Timed sessions and timed keep-awake: a wall-clock deadline, followed by a timer on the main
// queue and checked again at every wake. The timer runs on monotonic time, which stands still
// while the machine sleeps, so only the wake check keeps a suspend from stretching a deadline.
#include <chrono>
#include <string>

#include "core/runtime/Runtime.hpp"
#include "core/session/Deadlines.hpp"
#include "core/session/SessionController.hpp"
#include "core/support/Log.hpp"
#include "core/support/Prefs.hpp"

namespace noctave {

namespace {
// A deadline is never met early; a second late is fine, and lets the system batch wake-ups.
constexpr double kDeadlineLeeway = 1.0;
constexpr const char* kTimeUp = "time is up";

std::string localTime(runtime::WallTime time) {
    return deadlines::localText(time, "%Y-%m-%d %H:%M");
}
}  // namespace

bool SessionController::armUntil(const std::string& source, runtime::WallTime deadline) {
    if (!arm(source)) {
        return false;
    }
    deadline_ = deadline;
    Log::info("session ends at " + localTime(deadline) + " (" + source + ")");
    scheduleDeadline(deadlineTimer_, deadline_);
    if (onStatusChange) {
        onStatusChange();
    }
    return true;
}

bool SessionController::keepAwakeUntil(std::optional<runtime::WallTime> deadline) {
    keepAwakeDeadline_ = deadline;
    if (deadline) {
        Log::info("keep-awake until " + localTime(*deadline));
    }
    scheduleDeadline(keepAwakeDeadlineTimer_, keepAwakeDeadline_);
    applyKeepAwakePreference();
    return isKeepAwakeActive();
}

void SessionController::scheduleDeadline(std::unique_ptr<runtime::Timer>& timer,
                                         const std::optional<runtime::WallTime>& deadline) {
    timer.reset();
    if (!deadline) {
        return;
    }
    const double left = std::chrono::duration<double>(*deadline - runtime::clock().wall()).count();
    timer = runtime::Timer::oneShot(
        runtime::mainQueue(), left > 0 ? left : 0, kDeadlineLeeway,
        // The wall clock may have been set back since: only a deadline reached counts.
        runtime::bindWeak(weakFactory_.weak(),
                          [](SessionController& self) { self.checkDeadlines(); }));
}

void SessionController::checkDeadlines() {
    const auto now = runtime::clock().wall();
    if (deadline_ && now >= *deadline_) {
        sessionTimeUp();
    } else if (deadline_) {
        scheduleDeadline(deadlineTimer_, deadline_);
    }
    if (keepAwakeDeadline_ && now >= *keepAwakeDeadline_) {
        keepAwakeTimeUp();
    } else if (keepAwakeDeadline_) {
        scheduleDeadline(keepAwakeDeadlineTimer_, keepAwakeDeadline_);
    }
}

void SessionController::sessionTimeUp() {
    clearSessionDeadline();
    if (isSessionActive()) {
        disarm(kTimeUp);
    }
}

void SessionController::keepAwakeTimeUp() {
    keepAwakeDeadline_.reset();
    keepAwakeDeadlineTimer_.reset();
    Log::info(std::string("keep-awake ends (") + kTimeUp + ")");
    applyKeepAwakePreference();
}

void SessionController::clearSessionDeadline() {
    deadline_.reset();
    deadlineTimer_.reset();
}

}  // namespace noctave

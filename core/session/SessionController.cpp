#include "core/session/SessionController.hpp"

#include <utility>

#include "core/os/DesktopNotifications.hpp"
#include "core/os/System.hpp"
#include "core/os/Vocabulary.hpp"
#include "core/runtime/Runtime.hpp"
#include "core/session/Recovery.hpp"
#include "core/support/Log.hpp"
#include "core/support/Prefs.hpp"

namespace noctave {

namespace {
std::string armedReason() {
    return "Noctave: keeping " + os::vocabulary().machine() + " awake (lid closed)";
}
constexpr const char* kKeepAwakeReason = "Noctave: keep awake (lid open)";
constexpr const char* kClosedLidReason = "Noctave: lid shut, session running";
}  // namespace

SessionController::SessionController()
    : armedAssertion_(os::kPreventUserIdleSystemSleep, armedReason()),
      keepAwakeAssertion_(os::kPreventUserIdleSystemSleep, kKeepAwakeReason),
      closedLidAssertion_(os::kPreventSystemSleep, kClosedLidReason),
      displays_(std::make_unique<DisplayObserver>()),
      power_(std::make_unique<PowerSourceMonitor>()),
      sensor_(std::make_shared<LidAngleSensor>()),
      lastExternalDisplays_(DisplayObserver::externalDisplayCount()) {
    // Opening the flag is the one step that may fail; it throws before anything has started.
    flag_ = std::make_unique<LidSleepPolicy>();
    SessionJournal::adoptEarlierFile(SessionJournal::earlierStandardFile(),
                                     SessionJournal::standardFile());
    journal_ = std::make_unique<SessionJournal>(SessionJournal::standardFile());
    lidObserver_ = LidStateObserver::create();
    gesture_ = std::make_unique<GestureDriver>(sensor_, GestureDriver::Config());

    Recovery::installSignalHandlers();
    Recovery::recoverFromUncleanExit();

    sensor_->open();
    lastLidState_ = lidObserver_ ? lidObserver_->currentState() : LidState::unknown;

    auto weak = weakFactory_.weak();
    gesture_->onCommit = [weak] {
        runtime::mainQueue().async(
            runtime::bindWeak(weak, [](SessionController& self) { self.beginPending(); }));
    };
    gesture_->onCancel = [weak] {
        runtime::mainQueue().async(
            runtime::bindWeak(weak, [](SessionController& self) { self.handleGestureCancel(); }));
    };

    if (lidObserver_) {
        lidObserver_->onChange = [weak](LidState reported) {
            runtime::mainQueue().async(runtime::bindWeak(
                weak, [reported](SessionController& self) { self.handleLidReport(reported); }));
        };
        lidObserver_->start();
    }

    power_->onLevel = runtime::bindWeak(
        weak, [](SessionController& self, const PowerSourceMonitor::Snapshot& snapshot) {
            self.handleBattery(snapshot);
        });
    power_->onPowerSourceChanged = runtime::bindWeak(
        weak, [](SessionController& self, bool) { self.reapplyIfArmed("power-source change"); });
    power_->start();

    displays_->onChange = [weak](DisplayObserver::Phase phase) {
        postDisplayReconfiguration(weak, phase);
    };
    displays_->start();

    subscribeToWorkspace();

    thermal_.onTooHot = runtime::bindWeak(
        weak, [](SessionController& self, int celsius) { self.handleTooHot(celsius); });

    applyKeepAwakePreference();

    gesture_->setEnabled(Prefs::armWithGesture());
    gesture_->start();

    Log::info(std::string("session ready (lid-angle sensor: ") +
              (sensor_->isAvailable() ? "yes" : "no") + ")");
}

SessionController::~SessionController() {
    // Stop the components that call back from other queues before the members go; the weak
    // pointers already read null, so anything still queued for the main queue does nothing.
    weakFactory_.invalidate();
    stopFlagHeartbeat();
    if (gesture_) {
        gesture_->stop();
    }
    if (lidObserver_) {
        lidObserver_->stop();
    }
    displays_->stop();
    power_->stop();
    if (workspace_) {
        for (const auto token : workspaceTokens_) {
            workspace_->removeObserver(token);
        }
    }
}

void SessionController::subscribeToWorkspace() {
    workspace_ = os::system().workspace;
    if (!workspace_) {
        return;
    }
    auto weak = weakFactory_.weak();
    workspaceTokens_.push_back(workspace_->addObserver(
        os::Workspace::Notification::didWake,
        runtime::bindWeak(weak, [](SessionController& self) { self.handleWake(); })));
    workspaceTokens_.push_back(workspace_->addObserver(
        os::Workspace::Notification::screenParametersDidChange,
        runtime::bindWeak(weak, [](SessionController& self) {
            self.handleDisplayReconfiguration(DisplayObserver::Phase::didChange);
        })));
}

void SessionController::setState(State next) {
    if (next == state_) {
        return;
    }
    state_ = next;
    if (next == State::disarmed || next == State::restoreFailed) {
        preBlanked_ = false;
        isLidOpenHeldBack_ = false;
        clearSessionDeadline();
    }
    syncLidWatches();
    if (onStateChange) {
        onStateChange(next);
    }
}

void SessionController::notify(const std::string& title, const std::string& body) {
    if (onNotice) {
        onNotice(title, body);
    }
}

void SessionController::notifySafetyDisarm(const std::string& title, const std::string& body) {
    if (auto notifications = os::system().notifications) {
        notifications->post(title, body);
    }
    notify(title, body);
}

bool SessionController::engagePower() {
    if (!flag_->set(true)) {
        Log::error("could not set lid-close kernel flag");
        // Where another program holds the lid, saying which is the only useful advice.
        const std::string cause = flag_->setFailure();
        notify("Could not change the " + os::vocabulary().machine() + "'s sleep setting",
               cause.empty() ? "Try again." : cause);
        return false;
    }
    if (!armedAssertion_.acquire()) {
        Log::error("could not create idle-sleep assertion; rolling back");
        notify("Could not keep the " + os::vocabulary().machine() + " awake",
               "The power assertion was refused.");
        // The flag is set by now: a rollback the kernel refuses must be retried like a failed
        // disarm, never forgotten, or every lid close is ignored until a restart.
        if (!Recovery::guardedClear(*flag_)) {
            Recovery::markArmed();
            enterRestoreFailed();
        }
        return false;
    }
    // A session that takes hold supersedes a restore still being retried: the retry would
    // otherwise clear the flag under the new session while its assertion and marker stay.
    stopRestoreRetry();
    Recovery::markArmed();
    return true;
}

// Ends a pending one-shot that never became a session. A clear the kernel refuses ends it
// the way a failed disarm does: the flag is still set, so the menu must not say "ready".
void SessionController::withdrawPending() {
    // The session ends here whatever the clear reports, as in disarm(): a refused clear goes on
    // retrying, but no longer as this session.
    journal_->ended("gesture abandoned before close");
    if (armedAssertion_.isHeld()) {
        armedAssertion_.release();
    }
    if (!Recovery::guardedClear(*flag_)) {
        enterRestoreFailed();
        return;
    }
    Recovery::clearMarker();
    setState(State::disarmed);
    Log::info("gesture abandoned before close; no session created");
}

// The marker stays while the flag may still be set, so that a crash before the retry succeeds
// still has the next start clear it.
void SessionController::enterRestoreFailed() {
    setState(State::restoreFailed);
    Log::error("disarm FAILED: kernel flag clear not confirmed; entering retry state");
    notify("Lid sleep could not be restored", "Retrying. Open the lid before leaving your " +
                                                  os::vocabulary().machine() +
                                                  "; a restart always resets this.");
    scheduleRestoreRetry();
}

bool SessionController::arm(const std::string& source) {
    switch (state_) {
        case State::armed:
            return true;
        case State::pending:
            origin_ = Origin::persistent;
            setState(State::armed);
            Log::info("armed (" + source + ", promoted from pending gesture)");
            return true;
        case State::disarmed:
        case State::restoreFailed:
            break;
    }
    if (!engagePower()) {
        return false;
    }
    origin_ = Origin::persistent;
    journal_->began(source);
    setState(State::armed);
    Log::info("armed (" + source + ")");
    return true;
}

bool SessionController::disarm(const std::string& source) {
    if (state_ == State::disarmed) {
        return true;
    }
    if (isSessionActive()) {
        // The session ends here; an opening a hold held back has nothing left to end.
        isLidOpenHeldBack_ = false;
        isSleepExpected_ = lastLidState_ == LidState::closed;
        journal_->ended(source);
        if (onDisarm) {
            onDisarm(source);
        }
    }
    if (armedAssertion_.isHeld()) {
        armedAssertion_.release();
    }
    if (Recovery::guardedClear(*flag_)) {
        Recovery::clearMarker();
        setState(State::disarmed);
        Log::info("disarmed (" + source + ")");
        stopRestoreRetry();
        return true;
    }
    enterRestoreFailed();
    return false;
}

bool SessionController::toggle(const std::string& source) {
    return state_ == State::armed ? disarm(source) : arm(source);
}

void SessionController::beginPending() {
    if (state_ != State::disarmed) {
        return;
    }
    if (!engagePower()) {
        Log::error("gesture commit FAILED to engage power state");
        return;
    }
    origin_ = Origin::oneShot;
    journal_->began("gesture");
    setState(State::pending);
    Log::info("gesture committed; flag set provisionally, awaiting confirmed close");
    preBlankForClose("gesture committed");
    // The lid may have shut before this reached the main queue; its report was then dropped
    // as a repeat, so the close is handled here.
    if (lidObserver_ && lidObserver_->currentState() == LidState::closed) {
        lastLidState_ = LidState::closed;
        handleLidChange(LidState::closed);
    }
}

void SessionController::handleGestureCancel() {
    if (state_ != State::pending) {
        return;
    }
    withdrawPending();
}

void SessionController::applyKeepAwakePreference() {
    syncKeepAwake();
    if (onStatusChange) {
        onStatusChange();
    }
}

void SessionController::syncKeepAwake() {
    if (!Prefs::keepAwake() && !keepAwakeDeadline_) {
        if (keepAwakeAssertion_.isHeld()) {
            keepAwakeAssertion_.release();
            Log::info("keep-awake disabled");
        }
        return;
    }
    if (!keepAwakeAssertion_.acquire()) {
        Log::error("keep-awake FAILED: assertion refused");
        Prefs::setKeepAwake(false);
        keepAwakeDeadline_.reset();
        keepAwakeDeadlineTimer_.reset();
        return;
    }
    Log::info("keep-awake enabled (idle system sleep blocked; display sleeps normally)");
}

void SessionController::shutdown() {
    if (isSessionActive()) {
        disarm("quit");
    }
    if (keepAwakeAssertion_.isHeld()) {
        keepAwakeAssertion_.release();
    }
    if (closedLidAssertion_.isHeld()) {
        closedLidAssertion_.release();
    }
    stopFlagHeartbeat();
    thermal_.stop();
    keepAwakeDeadline_.reset();
    keepAwakeDeadlineTimer_.reset();
    preBlankExpiry_.reset();
    stopClosingWatch();
    relightGuardTimer_.reset();
    gesture_->stop();
    sensor_->close();
    if (lidObserver_) {
        lidObserver_->stop();
    }
    displays_->stop();
    power_->stop();
    // An unconfirmed clear keeps its marker: the next start clears the flag this one could not.
    if (state_ != State::restoreFailed) {
        Recovery::clearMarker();
    }
    Log::info("clean exit");
}

}  // namespace noctave

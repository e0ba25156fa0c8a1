#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <vector>

#include "core/gesture/GestureDriver.hpp"
#include "core/gesture/LidAngleSensor.hpp"
#include "core/os/Workspace.hpp"
#include "core/power/DisplayObserver.hpp"
#include "core/power/LidSleepPolicy.hpp"
#include "core/power/LidStateObserver.hpp"
#include "core/power/PowerSourceMonitor.hpp"
#include "core/power/SleepAssertion.hpp"
#include "core/runtime/Clock.hpp"
#include "core/runtime/Timer.hpp"
#include "core/runtime/WeakPtr.hpp"
#include "core/session/SessionJournal.hpp"
#include "core/session/ThermalGuard.hpp"

namespace noctave {

// The one session state machine: decides whether the laptop may sleep when its lid shuts.
//
// A session is a set lid-close kernel flag plus a held idle-sleep assertion. It starts either
// persistently (`arm`, from the menu, a right click or the shortcut) or as a one-shot from the
// Fn + close gesture (pending until the lid is reported closed, ended when it opens). Around a
// session the controller locks and blanks on close, keeps the flag re-applied while the lid is
// shut, and disarms when it stops being safe (low or unreported battery, a flag it cannot
// re-apply). Keep-awake mode is independent of the session.
//
// Everything runs on the main queue; reports from other queues are posted there first. Every
// callback handed to a component and every timer holds the controller weakly.
class SessionController {
  public:
    enum class State { disarmed, pending, armed, restoreFailed };

    // Opens the lid-close flag's connection, builds and starts the observers, runs the
    // unclean-exit check and applies keep-awake mode. Throws LidSleepPolicy::OpenError when
    // the root power domain cannot be opened (nothing has been started then).
    SessionController();
    ~SessionController();
    SessionController(const SessionController&) = delete;
    SessionController& operator=(const SessionController&) = delete;

    State state() const { return state_; }
    LidAngleSensor& sensor() { return *sensor_; }
    GestureDriver* gesture() { return gesture_.get(); }

    // Set by the owner right after construction; all called on the main queue.
    std::function<void(State)> onStateChange;
    std::function<void(const std::string& title, const std::string& body)> onNotice;
    std::function<void()> onLidOpen;

    // Starts a persistent session or promotes a pending one; true when a session stands after.
    bool arm(const std::string& source);
    // Ends the session; false when the flag's clear could not be confirmed (restoreFailed).
    bool disarm(const std::string& source);
    // Disarms when armed, otherwise arms.
    bool toggle(const std::string& source);

    // Arms (as `arm`) and ends the session through disarm("time is up") once the wall clock
    // reaches `deadline`; a later call replaces the deadline. The deadline ends with its
    // session and is never stored: it survives neither a quit nor a restart. Checked again at
    // every wake, so a suspend in between does not stretch it.
    bool armUntil(const std::string& source, runtime::WallTime deadline);
    const std::optional<runtime::WallTime>& deadline() const { return deadline_; }

    // Keep-awake until `deadline`, beside the preference (which it leaves alone, so nothing of
    // it outlives the process); no value ends it now.
    bool keepAwakeUntil(std::optional<runtime::WallTime> deadline);
    const std::optional<runtime::WallTime>& keepAwakeDeadline() const { return keepAwakeDeadline_; }

    // The history of sessions; empty until the first.
    const SessionJournal& journal() const { return *journal_; }

    // While held (a job asked to keep the session through the control interface), opening the
    // lid does not end the session, whatever its origin or stayOnAfterOpeningLid; releasing
    // the hold with the lid open applies the opening it held back. Safety disarms still end it.
    void setHeld(bool held);
    bool isHeld() const { return isHeld_; }

    // For the control interface, beside the owner's callbacks; all called on the main queue.
    // A session ends: called before the state changes, with the disarm's source.
    std::function<void(const std::string& source)> onDisarm;
    // Something a status report shows besides the state may have changed: the lid, a
    // power-source reading, keep-awake mode.
    std::function<void()> onStatusChange;
    LidStateObserver::LidState lidState() const { return lastLidState_; }
    // The last power-source report; no value before the first.
    const std::optional<PowerSourceMonitor::Snapshot>& powerReading() const {
        return lastPowerReading_;
    }

    // Brings keep-awake mode in line with its preference; call after changing the preference.
    void applyKeepAwakePreference();
    bool isKeepAwakeActive() const { return keepAwakeAssertion_.isHeld(); }

    // Disarms ("quit"), releases every assertion, stops every timer and observer, removes the
    // recovery marker. A restore retry that is still running is left to run.
    void shutdown();

  private:
    enum class Origin { persistent, oneShot };
    using LidState = LidStateObserver::LidState;

    // Session (SessionController.cpp).
    void setState(State next);
    bool engagePower();
    void withdrawPending();
    void enterRestoreFailed();
    void beginPending();
    void syncKeepAwake();
    void handleGestureCancel();
    void subscribeToWorkspace();
    void notify(const std::string& title, const std::string& body);
    // A safety disarm's notice: shown like any other, and kept in the desktop's notification
    // history for whoever opens the lid later.
    void notifySafetyDisarm(const std::string& title, const std::string& body);
    bool isSessionActive() const { return state_ == State::pending || state_ == State::armed; }

    // Closed lid (SessionControllerLid.cpp).
    void handleLidReport(LidState reported);
    void handleLidChange(LidState lid);
    void handleLidClosed();
    void handleLidOpened();
    void preBlankForClose(const std::string& reason);
    void handlePreBlankExpiry();
    void syncClosingWatch();
    void stopClosingWatch();
    void closingWatchTick();
    void syncClosedLidGuard();
    void schedulePanelBlank();
    void relightTick();
    void syncLidWatches();

    // Safety watches (SessionControllerWatches.cpp).
    void handleBattery(const PowerSourceMonitor::Snapshot& snapshot);
    void reapplyIfArmed(const std::string& reason);
    void handleDisplayReconfiguration(DisplayObserver::Phase phase);
    static void postDisplayReconfiguration(runtime::WeakPtr<SessionController> weak,
                                           DisplayObserver::Phase phase);
    bool shouldRunFlagHeartbeat() const;
    void syncFlagHeartbeat();
    void stopFlagHeartbeat();
    void flagHeartbeatTick();
    void scheduleRestoreRetry();
    void stopRestoreRetry();
    void restoreRetryTick();
    void syncThermalGuard();
    void handleTooHot(int celsius);
    void handleWake();

    // Timed sessions and keep-awake (SessionControllerDeadlines.cpp).
    void scheduleDeadline(std::unique_ptr<runtime::Timer>& timer,
                          const std::optional<runtime::WallTime>& deadline);
    void checkDeadlines();
    void sessionTimeUp();
    void keepAwakeTimeUp();
    void clearSessionDeadline();

    State state_ = State::disarmed;
    std::unique_ptr<LidSleepPolicy> flag_;
    SleepAssertion armedAssertion_;
    SleepAssertion keepAwakeAssertion_;
    SleepAssertion closedLidAssertion_;
    std::unique_ptr<LidStateObserver> lidObserver_;
    std::unique_ptr<DisplayObserver> displays_;
    std::unique_ptr<PowerSourceMonitor> power_;
    // Declared before the driver, which reads it from its own queue until it is stopped.
    std::shared_ptr<LidAngleSensor> sensor_;
    std::unique_ptr<GestureDriver> gesture_;
    Origin origin_ = Origin::persistent;
    int missingBatterySamples_ = 0;
    std::unique_ptr<runtime::Timer> restoreRetryTimer_;
    LidState lastLidState_ = LidState::unknown;
    std::unique_ptr<runtime::Timer> flagHeartbeat_;
    // The heartbeat where the platform announces the flag's loss instead: no timer runs.
    os::PowerManagement::FlagLossWatch flagLossWatch_ = 0;
    std::shared_ptr<os::PowerManagement> flagLossPort_;
    std::unique_ptr<runtime::Timer> closingWatch_;
    std::optional<double> closingWatchHighAngle_;
    bool preBlanked_ = false;
    std::unique_ptr<runtime::Timer> preBlankExpiry_;
    std::unique_ptr<runtime::Timer> relightGuardTimer_;
    int lastExternalDisplays_ = 0;
    std::optional<runtime::WallTime> lastPanelBlank_;
    bool isHeld_ = false;
    bool isLidOpenHeldBack_ = false;
    std::optional<PowerSourceMonitor::Snapshot> lastPowerReading_;
    // Workspace subscriptions (system wake, screen parameters), kept for the controller's life.
    std::shared_ptr<os::Workspace> workspace_;
    std::vector<os::Workspace::Token> workspaceTokens_;
    ThermalGuard thermal_;
    std::unique_ptr<SessionJournal> journal_;
    // A session ended with the lid shut: the machine is meant to sleep, so its wake is expected.
    bool isSleepExpected_ = false;
    std::optional<runtime::WallTime> deadline_;
    std::unique_ptr<runtime::Timer> deadlineTimer_;
    std::optional<runtime::WallTime> keepAwakeDeadline_;
    std::unique_ptr<runtime::Timer> keepAwakeDeadlineTimer_;

    runtime::WeakFactory<SessionController> weakFactory_{this};
};

}  // namespace noctave

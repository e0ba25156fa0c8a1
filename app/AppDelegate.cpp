#include "app/AppDelegate.hpp"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <utility>

#include <QCoreApplication>
#include <QDesktopServices>
#include <QFileSystemWatcher>
#include <QUrl>
#include <QWidget>

#include "app/WindowMemory.hpp"
#include "app/control/ControlNames.hpp"
#include "app/integration/UpdateController.hpp"
#include "app/onboarding/OnboardingWindowController.hpp"
#include "app/tray/Alerts.hpp"
#include "app/tray/MainMenu.hpp"
#include "core/os/System.hpp"
#include "core/os/Vocabulary.hpp"
#include "core/runtime/Runtime.hpp"
#include "core/session/Deadlines.hpp"
#include "core/support/AppInfo.hpp"
#include "core/support/Log.hpp"
#include "core/support/Prefs.hpp"
#include "core/support/UserDefaults.hpp"

namespace noctave::app {

using State = SessionController::State;

namespace {

QString qs(const std::string& text) {
    return QString::fromStdString(text);
}

struct StateTexts {
    MenuBarIcon::State icon;
    std::string toolTip;
};

StateTexts textsFor(State state) {
    switch (state) {
        case State::disarmed:
            return {MenuBarIcon::State::ready, "Noctave - ready (not active)"};
        case State::pending:
            return {MenuBarIcon::State::ready, "Noctave - closing\u2026"};
        case State::armed:
            return {MenuBarIcon::State::armed, "Noctave - active; the next lid close keeps this " +
                                                   os::vocabulary().machine() + " awake"};
        case State::restoreFailed:
            return {MenuBarIcon::State::warning, "Noctave - could not restore lid sleep; retrying"};
    }
    return {MenuBarIcon::State::ready, "Noctave"};
}

}  // namespace

AppDelegate::AppDelegate(Options options) : options_(std::move(options)) {
    if (!options_.terminate) {
        options_.terminate = [] { QCoreApplication::quit(); };
    }
    if (!options_.makeStatusItem) {
        options_.makeStatusItem = [] { return makeSystemStatusItem(); };
    }
    if (!options_.makeUpdates) {
        // The updater asks for the remote configuration's feed at every check.
        options_.makeUpdates = [this] {
            return std::make_unique<UpdateController>(
                [this] { return remoteConfig_.effectiveFeedURL(); });
        };
    }
    if (!options_.openURL) {
        options_.openURL = [](const std::string& url) {
            QDesktopServices::openUrl(QUrl(QString::fromStdString(url)));
        };
    }
}

AppDelegate::~AppDelegate() {
    removeWorkspaceObservers();
}

void AppDelegate::applicationDidFinishLaunching() {
    makeMainMenu();
    loadPreferences();
    if (!startSession()) {
        return;
    }
    if (options_.makeUpdates) {
        updates_ = options_.makeUpdates();
    }
    makeStatusItem();
    applyGesturePreference();
    shutDownBeforeUpdates();
    // The session's callbacks first and at once: a notice it queued while starting finds them.
    followSession();
    // The tray item is on its way to the tray now. What the first moments do not need waits
    // for the loop's next turn, so the item's registration and first drawing run before it:
    // the remote configuration's fetch, the wake observers, the shortcut, the second drawing
    // and the settings file's watch. Their order among themselves is kept, and the launch-time
    // windows, queued below, still come after them.
    runtime::mainQueue().async(
        runtime::bindWeak(weakFactory_.weak(), [](AppDelegate& self) { self.finishLaunching(); }));
    openLaunchWindows();
}

void AppDelegate::finishLaunching() {
    if (isTerminated_ || !session_) {
        return;
    }
    startRemoteConfiguration();
    installWorkspaceObservers();
    updateHotKeyRegistration();
    refreshIcon(session_->state());
    settingsWatcher_ = std::make_unique<QFileSystemWatcher>();
    // The watcher is the delegate's and goes before it, taking the connections along.
    const auto changed = [this] { applySettingsFile(); };
    QObject::connect(settingsWatcher_.get(), &QFileSystemWatcher::fileChanged,
                     settingsWatcher_.get(), changed);
    QObject::connect(settingsWatcher_.get(), &QFileSystemWatcher::directoryChanged,
                     settingsWatcher_.get(), changed);
    watchSettingsFile();
}

void AppDelegate::makeMainMenu() {
    mainMenu_ = std::make_unique<MainMenu>(
        runtime::bindWeak(weakFactory_.weak(), [](AppDelegate& self) { self.quit(); }));
}

void AppDelegate::loadPreferences() {
    Prefs::registerDefaults();
    // Forced on at every launch: an earlier "off" does not survive a restart.
    Prefs::setAutomaticUpdates(true);
    Log::setVerbose(Prefs::verboseLogging());
    Log::info("launch (v" + AppInfo::version() + ")");
}

bool AppDelegate::startSession() {
    try {
        session_ = std::make_unique<SessionController>();
    } catch (const LidSleepPolicy::OpenError& error) {
        Log::error("launch failed: " + error.description());
        Alert alert;
        alert.message = QStringLiteral("Noctave could not start");
        // Where the platform knows why (no system bus, logind silent), that says more than the
        // service name.
        alert.informativeText =
            qs("Could not open a connection to " + os::vocabulary().powerService() + ".\n\n") +
            qs(error.cause().empty() ? error.description() : error.cause());
        alert.style = Alert::Style::critical;
        alert.activatesApplication = false;
        Alerts::run(alert);
        options_.terminate();
        return false;
    }
    return true;
}

void AppDelegate::makeStatusItem() {
    const auto weak = weakFactory_.weak();
    statusItem_ = options_.makeStatusItem();
    if (statusItem_) {
        statusItem_->onClick = runtime::bindWeak(
            weak, [](AppDelegate& self, StatusItem::Click click) { self.statusClicked(click); });
        statusItem_->menuEntries = [weak] {
            AppDelegate* self = weak.get();
            return self != nullptr ? self->statusMenuEntries() : std::vector<MenuEntry>{};
        };
        statusItem_->setToolTip(QStringLiteral("Noctave"));
        statusItem_->setAccessibilityLabel(QStringLiteral("Noctave"));
    }
}

void AppDelegate::shutDownBeforeUpdates() {
    const auto weak = weakFactory_.weak();
    if (updates_) {
        // The flag must be restored before an update replaces the program.
        updates_->willInstallUpdate = runtime::bindWeak(weak, [](AppDelegate& self) {
            if (self.session_) {
                self.session_->shutdown();
            }
        });
    }
}

void AppDelegate::startRemoteConfiguration() {
    const auto weak = weakFactory_.weak();
    remoteConfig_.onNotice =
        runtime::bindWeak(weak, [](AppDelegate& self, const RemoteConfig::Notice& notice) {
            self.showRemoteNotice(notice);
        });
    remoteConfig_.onOutdated = runtime::bindWeak(
        weak, [](AppDelegate& self, const std::string& minimum) { self.showOutdated(minimum); });
    remoteConfig_.refresh(false);
}

void AppDelegate::followSession() {
    const auto weak = weakFactory_.weak();
    session_->onStateChange = runtime::bindWeak(
        weak, [](AppDelegate& self, State state) { self.handleStateChange(state); });
    session_->onNotice = runtime::bindWeak(
        weak, [](AppDelegate& self, const std::string& title, const std::string& body) {
            // Before the alert, which may wait for the user: a script gets its answer now.
            if (self.control_) {
                self.control_->noteNotice(title, body);
            }
            // The alert waits for a person, with the lid shut perhaps until it opens: shown from
            // the loop, so that the session first finishes what it was doing (the watches of a
            // closed lid, the thermal cut-off among them, start after its notice).
            runtime::mainQueue().async(runtime::bindWeak(
                self.weakFactory_.weak(),
                [title, body](AppDelegate& later) { later.notify(title, body); }));
        });
    session_->onLidOpen =
        runtime::bindWeak(weak, [](AppDelegate& self) { self.hideCloseOverlay(); });
    if (GestureDriver* gesture = session_->gesture()) {
        gesture->onProgress =
            runtime::bindWeak(weak, [](AppDelegate& self, std::optional<double> progress) {
                if (self.closeOverlay_) {
                    self.closeOverlay_->setProgress(progress);
                }
            });
    }
}

void AppDelegate::openLaunchWindows() {
    const auto weak = weakFactory_.weak();
    const LaunchOptions& launch = options_.launch;
    // The first run: marked seen before anything shows, so that a crash while the window opens
    // does not bring it back at every launch. A window asked for on the command line comes
    // instead of it, and leaves the first run for later.
    if (!launch.asksForWindow && !Prefs::hasSeenOnboarding()) {
        Prefs::setHasSeenOnboarding(true);
        runtime::mainQueue().async(
            runtime::bindWeak(weak, [](AppDelegate& self) { self.showFirstRunOnboarding(); }));
    }
    if (launch.showSettings) {
        runtime::mainQueue().async(
            runtime::bindWeak(weak, [](AppDelegate& self) { self.openSettings(); }));
    }
    if (const auto& snapshot = launch.settingsSnapshot) {
        runtime::mainQueue().async(runtime::bindWeak(weak, [snapshot](AppDelegate& self) {
            self.snapshotSettings(snapshot->path, snapshot->pane);
        }));
    }
    if (launch.showOnboarding) {
        runtime::mainQueue().async(runtime::bindWeak(weak, [](AppDelegate& self) {
            self.openSettings();
            self.settings_->showOnboarding(0);
        }));
    }
    if (const auto& snapshot = launch.onboardingSnapshot) {
        runtime::mainQueue().async(runtime::bindWeak(weak, [snapshot](AppDelegate& self) {
            self.snapshotOnboarding(snapshot->path, snapshot->page);
        }));
    }
}

void AppDelegate::applicationWillTerminate() {
    if (isTerminated_) {
        return;
    }
    isTerminated_ = true;
    settingsWatcher_.reset();
    toolTipRefresh_.reset();
    programs_.setPatterns({});
    control_.reset();
    removeWorkspaceObservers();
    hotKey_.unregister();
    hideCloseOverlay();
    if (session_) {
        session_->shutdown();
    }
}

void AppDelegate::notify(const std::string& title, const std::string& body) {
    Log::info("notice: " + title + " - " + body);
    Alert alert;
    alert.message = qs(title);
    alert.informativeText = qs(body);
    alert.style = Alert::Style::warning;
    alert.buttons = {QStringLiteral("OK")};
    Alerts::run(alert);
}

void AppDelegate::showRemoteNotice(const RemoteConfig::Notice& notice) {
    const std::string title = notice.clampedTitle();
    Log::info("notice: " + title);
    const auto url = notice.safeURL();
    Alert alert;
    alert.message = qs(title);
    alert.informativeText = qs(notice.clampedBody());
    alert.style = Alert::Style::informational;
    alert.icon = MenuBarIcon::appIcon(64, std::nullopt);
    alert.buttons = {QStringLiteral("OK")};
    if (url) {
        alert.buttons.push_back(QStringLiteral("Read More"));
    }
    if (Alerts::run(alert) == 1 && url) {
        options_.openURL(*url);
    }
}

void AppDelegate::showOutdated(const std::string& minimumVersion) {
    notify("There\u2019s a newer Noctave",
           "This " + os::vocabulary().machine() + " is running " + AppInfo::version() + " and " +
               minimumVersion +
               " is the oldest version still supported. Settings \u2192 About \u2192 Check for "
               "Updates will fetch it.");
}

void AppDelegate::refreshIcon(State state) {
    if (!statusItem_) {
        return;
    }
    const StateTexts texts = textsFor(state);
    std::string toolTip = texts.toolTip;
    if (session_ && session_->deadline()) {
        toolTip += " - " + deadlines::timeLeftText(*session_->deadline(), runtime::clock().wall());
        // The time left counts down in minutes; the refresh runs only while a deadline stands.
        if (!toolTipRefresh_) {
            toolTipRefresh_ = runtime::Timer::repeating(
                runtime::mainQueue(), kToolTipRefreshSeconds, kToolTipRefreshLeeway,
                runtime::bindWeak(weakFactory_.weak(), [](AppDelegate& self) {
                    if (self.session_) {
                        self.refreshIcon(self.session_->state());
                    }
                }));
        }
    } else {
        toolTipRefresh_.reset();
    }
    statusItem_->setImage(MenuBarIcon::image(texts.icon));
    statusItem_->setToolTip(QString::fromUtf8(toolTip));
    statusItem_->setAccessibilityValue(QString::fromUtf8(toolTip));
    statusItem_->menuChanged();
    if (onStatusShown) {
        onStatusShown();
    }
}

void AppDelegate::startControlInterface() {
    if (!session_ || control_) {
        return;
    }
    std::string why;
    control_ = control::ControlService::start(*session_, &why);
    if (!control_) {
        Log::warn("control interface unavailable (" + why + ")");
        return;
    }
    programs_.onChange = runtime::bindWeak(
        weakFactory_.weak(),
        [](AppDelegate& self, bool running) { self.handleProgramRunning(running); });
    control_->onActivate = runtime::bindWeak(
        weakFactory_.weak(),
        [](AppDelegate& self, const std::string& action) { self.activateFromLauncher(action); });
    syncProgramHolds();
}

// Activation through the bus (the launcher, the desktop entry's actions, a second `noctave`):
// a plain one shows what activate() shows; an action opens its window.
void AppDelegate::activateFromLauncher(const std::string& action) {
    Log::info("activated" + (action.empty() ? std::string() : " (" + action + ")"));
    if (action.empty()) {
        activate();
        return;
    }
    openSettings();
    if (action == control::kActionOnboarding) {
        settings_->showOnboarding(0);
    }
}

void AppDelegate::applySettingsFile() {
    watchSettingsFile();
    if (!session_) {
        return;
    }
    Log::setVerbose(Prefs::verboseLogging());
    applyGesturePreference();
    // Only a real change: registering again would log again, and a timed keep-awake stands
    // whatever the file says.
    if (Prefs::armWithShortcut() != hotKey_.isHandlerInstalled()) {
        updateHotKeyRegistration();
    }
    if (!session_->keepAwakeDeadline() && Prefs::keepAwake() != session_->isKeepAwakeActive()) {
        session_->applyKeepAwakePreference();
    }
    if (updates_) {
        updates_->setAutomaticallyChecksForUpdates(Prefs::automaticUpdates());
    }
    syncProgramHolds();
}

// The settings file itself, so that other programs writing into the same folder cost nothing;
// its folder only while it does not exist yet. A replacement (every write is one) drops the
// watch on the old file, so it is set again after each change.
void AppDelegate::watchSettingsFile() {
    if (!settingsWatcher_) {
        return;
    }
    const auto file = UserDefaults::standard().file();
    const QString path = QString::fromStdString(file.string());
    const QString folder = QString::fromStdString(file.parent_path().string());
    if (std::filesystem::exists(file)) {
        if (!settingsWatcher_->files().contains(path)) {
            settingsWatcher_->addPath(path);
        }
        if (settingsWatcher_->directories().contains(folder)) {
            settingsWatcher_->removePath(folder);
        }
    } else if (!settingsWatcher_->directories().contains(folder)) {
        // A folder that is not there yet cannot be watched: made now, as the first write would.
        std::error_code ignored;
        std::filesystem::create_directories(file.parent_path(), ignored);
        settingsWatcher_->addPath(folder);
    }
}

void AppDelegate::syncProgramHolds() {
    if (!control_) {
        return;
    }
    std::vector<ProgramWatch::Pattern> patterns;
    for (auto& text : Prefs::holdWhileRunning()) {
        patterns.push_back({std::move(text), false});
    }
    programs_.setPatterns(std::move(patterns));
}

void AppDelegate::handleProgramRunning(bool running) {
    static constexpr const char* kOwner = "holdWhileRunning";
    auto& model = control_->model();
    if (!running) {
        if (programHold_ != 0) {
            // It may have ended with the session already; then there is nothing to release.
            model.release(programHold_, kOwner, [](const control::Outcome&) {});
            programHold_ = 0;
        }
        return;
    }
    model.hold("while " + programs_.matched() + " runs", kOwner,
               runtime::bindWeak(
                   weakFactory_.weak(), [](AppDelegate& self, const control::Outcome& outcome) {
                       if (outcome.ok()) {
                           self.programHold_ = outcome.id;
                       } else {
                           Log::warn("hold while a program runs refused (" + outcome.message + ")");
                       }
                   }));
}

void AppDelegate::handleStateChange(State state) {
    if (control_) {
        control_->sessionStateChanged();
    }
    refreshIcon(state);
    switch (state) {
        case State::pending:
            break;
        case State::armed:
            if (closeOverlay_) {
                closeOverlay_->seal();
            }
            break;
        case State::disarmed:
        case State::restoreFailed:
            // A live gesture keeps its curtain.
            if (closeOverlay_ && !closeOverlay_->isTrackingGesture()) {
                closeOverlay_->retract();
            }
            break;
    }
}

void AppDelegate::hideCloseOverlay() {
    if (closeOverlay_) {
        closeOverlay_->hide();
    }
}

void AppDelegate::applyGesturePreference() {
    if (!session_) {
        return;
    }
    if (GestureDriver* gesture = session_->gesture()) {
        gesture->setEnabled(Prefs::armWithGesture() && session_->sensor().isAvailable());
    }
    refreshIcon(session_->state());
}

void AppDelegate::updateHotKeyRegistration() {
    if (Prefs::armWithShortcut()) {
        hotKey_.registerHotKey(runtime::bindWeak(weakFactory_.weak(),
                                                 [](AppDelegate& self) { self.handleShortcut(); }));
    } else {
        hotKey_.unregister();
    }
}

void AppDelegate::handleShortcut() {
    if (!Prefs::armWithShortcut() || !session_) {
        return;
    }
    session_->toggle("hotkey");
}

void AppDelegate::openSettings() {
    if (!settings_) {
        const auto weak = weakFactory_.weak();
        SettingsWindowController::Options options;
        options.showsHoverForSnapshot = options_.launch.showsSettingsHover;
        options.mainMenu = mainMenu_.get();
        options.makeOnboarding = [weak]() -> std::unique_ptr<OnboardingPresenter> {
            AppDelegate* self = weak.get();
            if (self == nullptr || !self->session_) {
                return nullptr;
            }
            return std::make_unique<OnboardingWindowController>(*self->session_);
        };
        settings_ = std::make_unique<SettingsWindowController>(
            [weak] {
                AppDelegate* self = weak.get();
                return self != nullptr ? self->session_.get() : nullptr;
            },
            updates_.get(),
            runtime::bindWeak(weak, [](AppDelegate& self) { self.updateHotKeyRegistration(); }),
            std::move(options));
        settings_->onClose =
            runtime::bindWeak(weak, [](AppDelegate& self) { self.discardClosedWindowsLater(); });
    }
    settings_->show();
}

void AppDelegate::snapshotSettings(const std::string& path,
                                   const std::optional<std::string>& pane) {
    openSettings();
    if (pane) {
        settings_->showPane(*pane);
    }
    std::error_code ignored;
    const std::filesystem::path file = std::filesystem::absolute(path, ignored);
    runtime::mainQueue().asyncAfter(
        0.5, runtime::bindWeak(weakFactory_.weak(), [file](AppDelegate& self) {
            std::string error;
            if (self.settings_ && self.settings_->writeSnapshot(file, &error)) {
                std::printf("wrote %s\n", file.c_str());
                std::fflush(stdout);
            } else {
                std::fprintf(stderr, "could not snapshot settings: %s\n", error.c_str());
                // Still an orderly termination, but a script sees that no picture came.
                self.exitStatus_ = 1;
            }
            self.options_.terminate();
        }));
}

void AppDelegate::showFirstRunOnboarding() {
    if (!session_) {
        return;
    }
    if (!onboarding_) {
        onboarding_ = std::make_unique<OnboardingWindowController>(*session_);
        onboarding_->onDismiss = runtime::bindWeak(
            weakFactory_.weak(), [](AppDelegate& self) { self.discardClosedWindowsLater(); });
    }
    onboarding_->show(nullptr, 0);
}

// After the call that reported the close has returned: the window is deleted outside its own
// event handler. A window shown again in between is kept, and so is the settings window while
// its onboarding shows (the onboarding is the settings window's and comes back to it).
void AppDelegate::discardClosedWindowsLater() {
    runtime::mainQueue().async(runtime::bindWeak(weakFactory_.weak(), [](AppDelegate& self) {
        bool discarded = false;
        if (self.settings_ && !self.settings_->window()->isVisible() &&
            !self.settings_->isShowingOnboarding()) {
            self.settings_.reset();
            discarded = true;
        }
        if (self.onboarding_ && !self.onboarding_->window()->isVisible()) {
            self.onboarding_.reset();
            discarded = true;
        }
        if (discarded) {
            WindowMemory::trimAfterClose();
        }
    }));
}

void AppDelegate::snapshotOnboarding(const std::string& path, int page) {
    openSettings();
    settings_->showOnboarding(page);
    std::error_code ignored;
    const std::filesystem::path file = std::filesystem::absolute(path, ignored);
    runtime::mainQueue().asyncAfter(
        0.2, runtime::bindWeak(weakFactory_.weak(), [file, page](AppDelegate& self) {
            std::string error;
            if (self.settings_ && self.settings_->writeOnboardingSnapshot(file, page, &error)) {
                std::printf("wrote %s\n", file.c_str());
                std::fflush(stdout);
            } else {
                std::fprintf(stderr, "could not snapshot onboarding: %s\n", error.c_str());
                self.exitStatus_ = 1;
            }
            self.options_.terminate();
        }));
}

void AppDelegate::installWorkspaceObservers() {
    workspace_ = os::system().workspace;
    if (!workspace_) {
        return;
    }
    using Notification = os::Workspace::Notification;
    const auto weak = weakFactory_.weak();
    auto hide = runtime::bindWeak(weak, [](AppDelegate& self) { self.hideCloseOverlay(); });
    workspaceObservers_.push_back(workspace_->addObserver(Notification::screensDidWake, hide));
    workspaceObservers_.push_back(
        workspace_->addObserver(Notification::sessionDidBecomeActive, hide));
    workspaceObservers_.push_back(workspace_->addObserver(Notification::didWake, hide));
    workspaceObservers_.push_back(workspace_->addObserver(
        Notification::didWake,
        runtime::bindWeak(weak, [](AppDelegate& self) { self.remoteConfig_.refresh(false); })));
}

void AppDelegate::removeWorkspaceObservers() {
    if (workspace_) {
        for (const auto token : workspaceObservers_) {
            workspace_->removeObserver(token);
        }
    }
    workspaceObservers_.clear();
}

void AppDelegate::statusClicked(StatusItem::Click click) {
    if (click == StatusItem::Click::right && Prefs::armWithRightClick()) {
        if (!session_) {
            return;
        }
        session_->toggle("right-click");
        return;
    }
    showMenu();
}

std::vector<MenuEntry> AppDelegate::statusMenuEntries() {
    const auto weak = weakFactory_.weak();
    auto call = [&weak](void (AppDelegate::*method)()) {
        return runtime::bindWeak(weak, [method](AppDelegate& self) { (self.*method)(); });
    };
    const bool isArmed = session_ && session_->state() == State::armed;
    std::vector<MenuEntry> entries;
    entries.push_back(
        MenuEntry{MenuEntry::Kind::action,
                  isArmed ? QStringLiteral("Disarm") : QStringLiteral("Arm for Next Close"),
                  {},
                  false,
                  call(&AppDelegate::toggleFromMenu)});
    if (!isArmed) {
        MenuEntry timed{MenuEntry::Kind::action, QStringLiteral("Arm For"), {}, false, {}};
        const auto now = runtime::clock().wall();
        for (const auto& choice : deadlines::menuChoices(now)) {
            timed.submenu.push_back(
                MenuEntry{MenuEntry::Kind::action,
                          QString::fromUtf8(choice.title),
                          {},
                          false,
                          runtime::bindWeak(weak, [deadline = choice.deadline](AppDelegate& self) {
                              self.armUntilFromMenu(deadline);
                          })});
        }
        entries.push_back(std::move(timed));
    }
    entries.push_back(MenuEntry{MenuEntry::Kind::action,
                                QStringLiteral("Keep Awake (lid open)"),
                                {},
                                Prefs::keepAwake(),
                                call(&AppDelegate::toggleKeepAwake),
                                true});
    entries.push_back(MenuEntry::separator());
    entries.push_back(MenuEntry{MenuEntry::Kind::action, QStringLiteral("Settings..."),
                                QKeySequence(Qt::CTRL | Qt::Key_Comma), false,
                                call(&AppDelegate::openSettings)});
    if (updates_ && updates_->isChecking()) {
        // A check can take up to a minute; the menu tells that it runs until it is answered.
        MenuEntry checking{MenuEntry::Kind::action,
                           QString::fromUtf8("Checking for Updates\u2026"),
                           {},
                           false,
                           {}};
        checking.isEnabled = false;
        entries.push_back(std::move(checking));
    } else if (updates_ && updates_->isConfigured()) {
        entries.push_back(MenuEntry{MenuEntry::Kind::action,
                                    QString::fromUtf8("Check for Updates\u2026"),
                                    {},
                                    false,
                                    call(&AppDelegate::checkForUpdatesFromMenu)});
    }
    entries.push_back(MenuEntry::separator());
    entries.push_back(MenuEntry{MenuEntry::Kind::action, QStringLiteral("Quit Noctave"),
                                QKeySequence(Qt::CTRL | Qt::Key_Q), false,
                                call(&AppDelegate::quit)});
    return entries;
}

void AppDelegate::showMenu() {
    if (statusItem_) {
        statusItem_->popUpMenu(statusMenuEntries());
    }
}

void AppDelegate::toggleFromMenu() {
    if (!session_) {
        return;
    }
    session_->toggle("menu");
}

void AppDelegate::armUntilFromMenu(runtime::WallTime deadline) {
    if (session_) {
        session_->armUntil("menu", deadline);
        refreshIcon(session_->state());
    }
}

void AppDelegate::toggleKeepAwake() {
    Prefs::setKeepAwake(!Prefs::keepAwake());
    if (session_) {
        session_->applyKeepAwakePreference();
    }
    if (statusItem_) {
        statusItem_->menuChanged();
    }
    if (onStatusShown) {
        onStatusShown();
    }
}

void AppDelegate::activate() {
    if (!statusItem_ || !statusItem_->showStandIn()) {
        openSettings();
    }
}

void AppDelegate::checkForUpdatesFromMenu() {
    if (!updates_) {
        return;
    }
    if (!updates_->hasUpdater()) {
        updates_->explainMissingFeed();
    } else {
        updates_->checkForUpdates();
    }
}

void AppDelegate::quit() {
    options_.terminate();
}

}  // namespace noctave::app

#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QString>

#include "app/LaunchOptions.hpp"
#include "app/control/ControlService.hpp"
#include "app/integration/HotKeyController.hpp"
#include "app/integration/UpdateAdapter.hpp"
#include "app/overlay/CloseOverlay.hpp"
#include "app/settings/SettingsWindowController.hpp"
#include "app/tray/MenuBarIcon.hpp"
#include "app/tray/StatusItem.hpp"
#include "core/os/Workspace.hpp"
#include "core/remote/RemoteConfigLoader.hpp"
#include "core/runtime/Timer.hpp"
#include "core/runtime/WeakPtr.hpp"
#include "core/session/ProgramWatch.hpp"
#include "core/session/SessionController.hpp"

class QFileSystemWatcher;

namespace noctave::app {

class MainMenu;
class OnboardingWindowController;

// The application's delegate: wires the program together at launch, reacts to the session,
// shows alerts, and undoes everything at termination. Main thread only.
class AppDelegate {
  public:
    struct Options {
        // The windows the command line asks for at launch.
        LaunchOptions launch;
        // Makes the tray item; the desktop's own when not set.
        std::function<std::unique_ptr<StatusItem>()> makeStatusItem;
        // Makes the update adapter; without one the build cannot update itself.
        std::function<std::unique_ptr<UpdateAdapter>()> makeUpdates;
        // Asks the application to terminate (the termination steps follow from the event loop);
        // QCoreApplication::quit when not set.
        std::function<void()> terminate;
        // Opens a web address with the desktop's default handler; QDesktopServices when not set.
        std::function<void(const std::string&)> openURL;
    };

    explicit AppDelegate(Options options = {});
    ~AppDelegate();
    AppDelegate(const AppDelegate&) = delete;
    AppDelegate& operator=(const AppDelegate&) = delete;

    // Called by the platform once the event loop runs, and as the process ends. The second is
    // safe to call more than once (logout, a signal and the loop's end may all ask for it).
    void applicationDidFinishLaunching();
    void applicationWillTerminate();

    // Operations, also used by the menus.
    void notify(const std::string& title, const std::string& body);
    void refreshIcon(SessionController::State state);
    void applyGesturePreference();
    void updateHotKeyRegistration();
    void openSettings();
    // What a launcher's activation shows: the window standing in for the tray where no tray
    // shows the item, else the settings.
    void activate();
    // The first-run onboarding at page 0, its window made when needed and deleted once left.
    void showFirstRunOnboarding();

    // The status item's click and menu.
    void statusClicked(StatusItem::Click click);
    void showMenu();
    std::vector<MenuEntry> statusMenuEntries();
    void toggleFromMenu();
    // Arms from the menu's duration submenu until `deadline`.
    void armUntilFromMenu(runtime::WallTime deadline);
    void toggleKeepAwake();
    void checkForUpdatesFromMenu();
    void quit();

    // Runs after the item shows a new state or the keep-awake switch changed from the menu.
    std::function<void()> onStatusShown;

    // What launched; empty before launch and after a failed one.
    SessionController* session() { return session_.get(); }

    // Serves the session on the session bus for scripts (`noctave ctl`); after a launch that
    // built the session. Without a session bus, or beside another Noctave, logs why and goes on.
    void startControlInterface();
    control::ControlService* control() { return control_.get(); }
    // Follows the settings' holdWhileRunning list: a hold stands while a listed program runs.
    // Started with the control interface, whose holds it places; re-read when the settings file
    // changes.
    void syncProgramHolds();
    // Brings Noctave forward for a launcher: `action` empty, "settings" or "onboarding".
    void activateFromLauncher(const std::string& action);
    const ProgramWatch& programs() const { return programs_; }
    StatusItem* statusItem() { return statusItem_.get(); }
    UpdateAdapter* updates() { return updates_.get(); }
    MainMenu* mainMenu() { return mainMenu_.get(); }
    HotKeyController& hotKey() { return hotKey_; }

    // Attaches the close overlay, whose curtain follows the lid; until then the session runs
    // without one.
    void attachCloseOverlay(std::unique_ptr<CloseOverlay> overlay) {
        closeOverlay_ = std::move(overlay);
    }
    CloseOverlay* closeOverlay() { return closeOverlay_.get(); }
    RemoteConfigLoader& remoteConfig() { return remoteConfig_; }

    // The settings window while it is open (or hidden behind its onboarding); deleted once
    // the user closes it, made anew by the next openSettings.
    SettingsWindowController* settings() { return settings_.get(); }
    // The first-run onboarding while it shows.
    OnboardingWindowController* onboarding() { return onboarding_.get(); }
    // What the process should exit with: 1 after a launch-time snapshot failed, else 0.
    int exitStatus() const { return exitStatus_; }

  private:
    // The launch's steps, in order.
    void makeMainMenu();
    void loadPreferences();
    // False when the session could not be made: the alert has been shown and the application
    // asked to terminate.
    bool startSession();
    void makeStatusItem();
    void shutDownBeforeUpdates();
    void startRemoteConfiguration();
    void followSession();
    // The launch's steps that wait for the loop's next turn.
    void finishLaunching();
    void openLaunchWindows();

    void handleStateChange(SessionController::State state);
    void showRemoteNotice(const RemoteConfig::Notice& notice);
    void showOutdated(const std::string& minimumVersion);
    void hideCloseOverlay();
    void installWorkspaceObservers();
    void removeWorkspaceObservers();
    void handleShortcut();
    void snapshotSettings(const std::string& path, const std::optional<std::string>& pane);
    void snapshotOnboarding(const std::string& path, int page);
    void handleProgramRunning(bool running);
    void watchSettingsFile();
    // Every preference read once and kept (gesture, shortcut, keep-awake, verbose log,
    // automatic updates, holdWhileRunning) takes the settings file's value again.
    void applySettingsFile();
    void discardClosedWindowsLater();

    Options options_;
    std::unique_ptr<MainMenu> mainMenu_;
    std::unique_ptr<SessionController> session_;
    // Goes before the session it serves.
    std::unique_ptr<control::ControlService> control_;
    // Uses the control interface: goes before it.
    ProgramWatch programs_;
    uint32_t programHold_ = 0;
    std::unique_ptr<QFileSystemWatcher> settingsWatcher_;
    static constexpr double kToolTipRefreshSeconds = 60.0;
    static constexpr double kToolTipRefreshLeeway = 5.0;
    std::unique_ptr<runtime::Timer> toolTipRefresh_;
    std::unique_ptr<StatusItem> statusItem_;
    HotKeyController hotKey_;
    std::unique_ptr<CloseOverlay> closeOverlay_;
    std::vector<os::Workspace::Token> workspaceObservers_;
    std::shared_ptr<os::Workspace> workspace_;
    RemoteConfigLoader remoteConfig_;
    std::unique_ptr<UpdateAdapter> updates_;
    // After the update adapter, which it uses: goes first.
    std::unique_ptr<SettingsWindowController> settings_;
    // Uses the session: goes before it.
    std::unique_ptr<OnboardingWindowController> onboarding_;
    bool isTerminated_ = false;
    int exitStatus_ = 0;
    runtime::WeakFactory<AppDelegate> weakFactory_{this};
};

}  // namespace noctave::app

#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <QPointer>
#include <QSize>
#include <QString>

#include "core/runtime/WeakPtr.hpp"

class QAbstractButton;
class QAction;
class QLabel;
class QPushButton;
class QWidget;

namespace noctave {
class SessionController;
}

namespace noctave::app {

class AboutActionButton;
class CallbackSwitch;
class Column;
class MainMenu;
class OnboardingPresenter;
class PercentSlider;
class UpdateAdapter;

// The settings window: a toolbar of three tabs (Arming, General, About) over one pane of
// switches and buttons per tab, bound to the preferences. The window's height follows the pane
// shown, the last tab is remembered across launches ("lastSettingsTab"), and the General pane
// copies the diagnostic log for support. Made by the application delegate when the window is
// asked for; the delegate deletes it once the user closes the window. Main thread only.
class SettingsWindowController {
  public:
    enum class Tab : int64_t { arming = 0, general = 1, about = 2 };
    static constexpr std::array<Tab, 3> tabs{Tab::arming, Tab::general, Tab::about};

    // The tab with that raw value, or none.
    static std::optional<Tab> tabWithRawValue(int64_t raw);
    static QString title(Tab tab);
    static const char* symbolName(Tab tab);
    // "Noctave.Settings." + the raw value.
    static QString toolbarIdentifier(Tab tab);

    // The content size of a pane laid out as a stack: the fitting heights of its visible
    // children (in order), the stack's spacing and its top and bottom insets. No pane: none.
    struct StackMeasure {
        std::vector<double> fittingHeights;
        double spacing = 0;
        double topInset = 0;
        double bottomInset = 0;
    };
    static QSize contentSize(const std::optional<StackMeasure>& pane);
    static constexpr int kContentWidth = 480;

    // The battery slider's stored value for a position.
    static int64_t roundedPercent(double value);

    // The session controller, or null once it is gone.
    using SessionProvider = std::function<SessionController*()>;

    struct Options {
        // Makes the onboarding window for "Replay Onboarding…"; without it the button stays
        // disabled.
        std::function<std::unique_ptr<OnboardingPresenter>()> makeOnboarding;
        // Draws "Check for Updates…" in its pointer-over look from the start (the hover
        // snapshot).
        bool showsHoverForSnapshot = false;
        // Gives the window the main menu's commands (Close Window, Quit, the edit commands).
        const MainMenu* mainMenu = nullptr;
    };

    // `updates` may be null (a build without an update adapter) and must outlive this.
    SettingsWindowController(SessionProvider session, UpdateAdapter* updates,
                             std::function<void()> onShortcutPreferenceChanged, Options options);
    SettingsWindowController(SessionProvider session, UpdateAdapter* updates,
                             std::function<void()> onShortcutPreferenceChanged);
    ~SettingsWindowController();
    SettingsWindowController(const SettingsWindowController&) = delete;
    SettingsWindowController& operator=(const SettingsWindowController&) = delete;

    // Brings the window forward (centred when it was not on screen). Switches are brought in
    // line with the preferences whenever the window comes back on screen.
    void show();
    // Selects the first tab whose title matches `name` regardless of case; else nothing.
    void showPane(std::string_view name);
    void select(Tab tab);
    Tab current() const { return current_; }

    // Hides this window and shows the onboarding at `page`; its dismissal brings this window
    // back. False (and nothing happens) without an onboarding window.
    bool showOnboarding(int page);
    // From showOnboarding until that onboarding is left.
    bool isShowingOnboarding() const { return isShowingOnboarding_; }

    // Called, on the main thread, when the user has closed the window (not when it hides for
    // the onboarding). The controller may be deleted once the call has returned.
    std::function<void()> onClose;
    void showWelcomeGuide() { showOnboarding(0); }
    void checkForUpdates();
    void copyDiagnostics();
    // What Copy diagnostics puts on the clipboard: the log, then the session history.
    static std::string diagnosticsText();

    // The window's content (the frame is the window manager's) as PNG at device pixel ratio 1.
    // On failure returns false with the reason in `error`.
    bool writeSnapshot(const std::filesystem::path& file, std::string* error);
    bool writeOnboardingSnapshot(const std::filesystem::path& file, int page, std::string* error);

    QWidget* window() const;
    QWidget* pane(Tab tab) const;
    // The size the pane area has now; the window adds the toolbar above it.
    QSize presentContentSize() const;
    // What contentSize() gives for `tab`'s pane as built.
    QSize contentSizeFor(Tab tab) const;

  private:
    struct Binding {
        CallbackSwitch* toggle;
        std::function<bool()> read;
    };

    void buildWindow();
    Column* buildArmingPane();
    Column* buildGeneralPane();
    Column* buildAboutPane();
    QWidget* batterySliderRow();
    // One switch of a pane. Its state is re-read from `read` whenever the window comes back;
    // `onChange` answers false when the change did not take (the switch then goes back).
    struct SwitchRow {
        SwitchRow(const char* key, QString title, std::function<bool()> read,
                  std::function<bool(bool)> onChange, bool isEnabled = true, QString hint = {})
            : key(key),
              title(std::move(title)),
              read(std::move(read)),
              onChange(std::move(onChange)),
              isEnabled(isEnabled),
              hint(std::move(hint)) {}

        const char* key;  // the switch's object name
        QString title;
        std::function<bool()> read;
        std::function<bool(bool)> onChange;
        bool isEnabled;
        QString hint;  // shown on the right, e.g. the shortcut
    };
    // Adds `rows` to `group`, a separator between two.
    void addSwitchRows(QWidget* group, std::vector<SwitchRow> rows);
    void refreshBindings();
    void resizeToContent();
    void centre();
    bool ensureOnboarding();
    SessionController* session() const { return session_ ? session_() : nullptr; }

    SessionProvider session_;
    UpdateAdapter* updates_;
    std::function<void()> onShortcutPreferenceChanged_;
    Options options_;
    std::unique_ptr<QWidget> window_;
    QWidget* toolbar_ = nullptr;
    QWidget* contentContainer_ = nullptr;
    std::vector<std::pair<Tab, Column*>> panes_;
    std::vector<std::pair<Tab, QAction*>> toolbarItems_;
    Tab current_ = Tab::arming;
    QPointer<QLabel> batteryReadout_;
    QPointer<PercentSlider> batterySlider_;
    QPointer<QPushButton> diagnosticsButton_;
    std::vector<Binding> bindings_;
    std::unique_ptr<OnboardingPresenter> onboarding_;
    bool isShowingOnboarding_ = false;
    runtime::WeakFactory<SettingsWindowController> weakFactory_{this};
};

}  // namespace noctave::app

#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include <QWidget>

#include "app/simulator/SimulatedLid.hpp"
#include "core/runtime/Timer.hpp"
#include "core/runtime/WeakPtr.hpp"

class QCheckBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;
class QSlider;
class QSpinBox;

namespace noctave::sim {
class VirtualLaptop;
}

namespace noctave::app {

class AppDelegate;

// The "Virtual laptop" window: shows and changes the virtual hardware the application runs on,
// so a person can live the product's stories without a laptop: the lid and its hinge, Fn and
// the keyboard shortcut, power and displays, what the system does (the lid-close flag, the
// assertions, the lock, the panel, sleep), and the diagnostic log as it grows.
//
// It only works the virtual laptop's knobs, as the hardware would be worked; the application
// never learns whether it is open. It follows the machine through the machine's change
// notification and the log's followers, so it costs nothing while nothing happens.
//
// Its position is kept in the user-defaults store ("simulatorWindowX", "simulatorWindowY").
// Main thread only; the laptop must outlive it.
class SimulatorWindow final : public QWidget {
    Q_OBJECT

  public:
    static constexpr double kSilentReportInterval = 10.0;

    explicit SimulatorWindow(sim::VirtualLaptop& laptop, QWidget* parent = nullptr);
    ~SimulatorWindow() override;

    SimulatedLid& lid() { return lid_; }

    // Shows what Noctave itself is doing beside the machine (read-only): disarmed, pending,
    // armed, and whether keep-awake holds. `delegate` must outlive the window.
    void followApp(AppDelegate& delegate);

    // Renders the window as it stands into a PNG file.
    bool writeSnapshot(const std::filesystem::path& file, std::string* error);

    // Called when the user has closed the window; the window may be deleted once it returns.
    std::function<void()> onClose;

  protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void changeEvent(QEvent* event) override;

  private:
    QWidget* buildLid();
    QWidget* buildKeyboard();
    QWidget* buildPower();
    QWidget* buildSystem();
    QWidget* buildLog();
    void refresh();
    void refreshAppState();
    void appendLogLine(const QString& line);
    void setFunctionHeld(bool held);
    void pressShortcut();
    void applyBattery();
    void syncSilentReports(bool silentOnBattery);
    void restorePosition();
    void savePosition();

    sim::VirtualLaptop& laptop_;
    SimulatedLid lid_;
    std::uint64_t logFollower_ = 0;
    bool fnFromKeyboard_ = false;
    bool wasShown_ = false;
    // While the battery is silent on battery power, the power sources report again now and
    // then, as a real machine's do; otherwise nothing would ever notice the silence twice.
    std::unique_ptr<runtime::Timer> silentReports_;

    QSlider* angle_ = nullptr;
    QLabel* angleValue_ = nullptr;
    QLabel* lidSwitch_ = nullptr;
    QPushButton* closeLid_ = nullptr;
    QPushButton* openLid_ = nullptr;
    QPushButton* fnKey_ = nullptr;
    QLabel* fnState_ = nullptr;
    QRadioButton* mains_ = nullptr;
    QRadioButton* battery_ = nullptr;
    QSlider* batteryPercent_ = nullptr;
    QLabel* batteryValue_ = nullptr;
    QCheckBox* batterySilent_ = nullptr;
    QSpinBox* temperature_ = nullptr;
    QSpinBox* externals_ = nullptr;
    QLabel* flag_ = nullptr;
    QLabel* assertions_ = nullptr;
    QLabel* session_ = nullptr;
    QLabel* panel_ = nullptr;
    QLabel* machine_ = nullptr;
    QLabel* appState_ = nullptr;
    AppDelegate* app_ = nullptr;
    QPushButton* wake_ = nullptr;
    QPushButton* unlock_ = nullptr;
    QPlainTextEdit* log_ = nullptr;

    runtime::WeakFactory<SimulatorWindow> weakFactory_{this};
};

}  // namespace noctave::app

#include "app/simulator/SimulatorWindow.hpp"

#include <algorithm>
#include <cmath>
#include <string_view>
#include <variant>

#include <QButtonGroup>
#include <QCheckBox>
#include <QCloseEvent>
#include <QEvent>
#include <QFontDatabase>
#include <QGridLayout>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QSlider>
#include <QSpinBox>
#include <QStringList>
#include <QVBoxLayout>

#include "app/AppDelegate.hpp"
#include "app/integration/HotKeyController.hpp"
#include "core/runtime/Runtime.hpp"
#include "core/support/Log.hpp"
#include "core/support/UserDefaults.hpp"
#include "platform/sim/SimHinge.hpp"
#include "platform/sim/SimHotKeys.hpp"
#include "platform/sim/SimKeyboard.hpp"
#include "platform/sim/SimPower.hpp"
#include "platform/sim/SimScreen.hpp"
#include "platform/sim/SimThermal.hpp"
#include "platform/sim/VirtualLaptop.hpp"

namespace noctave::app {

namespace {

constexpr const char* kPositionX = "simulatorWindowX";
constexpr const char* kPositionY = "simulatorWindowY";
constexpr int kLogLines = 300;
constexpr int kWidth = 760;  // room for a log line without wrapping, on a normal font
constexpr int kHeight = 600;

template <class W>
W* named(W* widget, const char* objectName, const QString& accessibleName) {
    widget->setObjectName(QString::fromLatin1(objectName));
    widget->setAccessibleName(accessibleName);
    return widget;
}

QLabel* statusLabel(const char* objectName, const QString& accessibleName) {
    auto* label = named(new QLabel, objectName, accessibleName);
    label->setTextInteractionFlags(Qt::TextSelectableByKeyboard | Qt::TextSelectableByMouse);
    return label;
}

bool isSuperKey(int key) {
    return key == Qt::Key_Meta || key == Qt::Key_Super_L || key == Qt::Key_Super_R;
}

}  // namespace

SimulatorWindow::SimulatorWindow(sim::VirtualLaptop& laptop, QWidget* parent)
    : QWidget(parent), laptop_(laptop), lid_(laptop.hinge(), laptop.power()) {
    setObjectName(QStringLiteral("simulatorWindow"));
    setWindowTitle(QStringLiteral("Virtual laptop"));
    setAccessibleName(QStringLiteral("Virtual laptop"));

    auto* grid = new QGridLayout(this);
    grid->addWidget(buildLid(), 0, 0);
    grid->addWidget(buildKeyboard(), 1, 0);
    grid->addWidget(buildPower(), 2, 0);
    grid->addWidget(buildSystem(), 0, 1, 3, 1);
    grid->addWidget(buildLog(), 3, 0, 1, 2);
    grid->setRowStretch(3, 1);
    grid->setColumnStretch(0, 1);
    grid->setColumnStretch(1, 1);

    // Keys reach the window wherever its focus is: Super stands for Fn, and the shortcut's
    // chord is pressed on the virtual keyboard.
    installEventFilter(this);
    for (auto* child : findChildren<QWidget*>()) {
        child->installEventFilter(this);
    }

    lid_.onChange =
        runtime::bindWeak(weakFactory_.weak(), [](SimulatorWindow& self) { self.refresh(); });
    laptop_.setOnChange(
        runtime::bindWeak(weakFactory_.weak(), [](SimulatorWindow& self) { self.refresh(); }));

    // The log so far, then every line as it is written. Lines come from any thread; they are
    // shown from the main queue.
    Log::flush();
    const QStringList earlier =
        QString::fromStdString(Log::snapshot()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (qsizetype i = std::max<qsizetype>(0, earlier.size() - kLogLines); i < earlier.size();
         ++i) {
        log_->appendPlainText(earlier[i]);
    }
    logFollower_ = Log::addFollower([weak = weakFactory_.weak()](std::string_view line) {
        runtime::mainQueue().async(
            [weak, text = QString::fromUtf8(line.data(), static_cast<qsizetype>(line.size()))] {
                if (auto* self = weak.get()) {
                    self->appendLogLine(text);
                }
            });
    });

    refresh();
    resize(sizeHint().expandedTo(QSize(kWidth, kHeight)));
    restorePosition();
}

SimulatorWindow::~SimulatorWindow() {
    Log::removeFollower(logFollower_);
    laptop_.setOnChange({});
    if (fnFromKeyboard_) {
        laptop_.keyboard().setFunctionHeld(false);
    }
    savePosition();
}

// ---- the parts ----

QWidget* SimulatorWindow::buildLid() {
    auto* box = named(new QGroupBox(QStringLiteral("Lid")), "lidGroup", QStringLiteral("Lid"));
    angle_ = named(new QSlider(Qt::Horizontal), "lidAngle", QStringLiteral("Lid angle"));
    angle_->setRange(0, static_cast<int>(SimulatedLid::kMaxAngle));
    angle_->setPageStep(10);
    angleValue_ = statusLabel("lidAngleValue", QStringLiteral("Lid angle in degrees"));
    angleValue_->setMinimumWidth(
        angleValue_->fontMetrics().horizontalAdvance(QStringLiteral("130°")));
    auto* angleLabel = new QLabel(QStringLiteral("&Angle"));
    angleLabel->setBuddy(angle_);
    closeLid_ = named(new QPushButton(QStringLiteral("&Close lid")), "closeLid",
                      QStringLiteral("Close lid"));
    openLid_ =
        named(new QPushButton(QStringLiteral("&Open lid")), "openLid", QStringLiteral("Open lid"));
    lidSwitch_ = statusLabel("lidSwitch", QStringLiteral("Lid switch"));

    connect(angle_, &QSlider::valueChanged, this, [this](int degrees) { lid_.setAngle(degrees); });
    connect(closeLid_, &QPushButton::clicked, this, [this] { lid_.close(); });
    connect(openLid_, &QPushButton::clicked, this, [this] { lid_.open(); });

    auto* row = new QHBoxLayout;
    row->addWidget(angleLabel);
    row->addWidget(angle_, 1);
    row->addWidget(angleValue_);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(closeLid_);
    buttons->addWidget(openLid_);
    buttons->addStretch(1);
    auto* column = new QVBoxLayout(box);
    column->addLayout(row);
    column->addLayout(buttons);
    column->addWidget(lidSwitch_);
    return box;
}

QWidget* SimulatorWindow::buildKeyboard() {
    auto* box = named(new QGroupBox(QStringLiteral("Keyboard")), "keyboardGroup",
                      QStringLiteral("Keyboard"));
    fnKey_ = named(new QPushButton(QStringLiteral("Hold &Fn")), "fnKey",
                   QStringLiteral("Fn key, held while pressed"));
    fnKey_->setToolTip(
        QStringLiteral("Held while pressed; Super does the same while this "
                       "window has the focus."));
    auto* shortcut = named(new QPushButton(QStringLiteral("Ctrl-Alt-Super-&L")), "shortcut",
                           QStringLiteral("Press the keyboard shortcut Control-Alt-Super-L"));
    fnState_ = statusLabel("fnState", QStringLiteral("Fn key state"));

    connect(fnKey_, &QPushButton::pressed, this, [this] { setFunctionHeld(true); });
    connect(fnKey_, &QPushButton::released, this, [this] { setFunctionHeld(false); });
    connect(shortcut, &QPushButton::clicked, this, [this] { pressShortcut(); });

    auto* row = new QHBoxLayout;
    row->addWidget(fnKey_);
    row->addWidget(shortcut);
    row->addStretch(1);
    auto* column = new QVBoxLayout(box);
    column->addLayout(row);
    column->addWidget(fnState_);
    return box;
}

QWidget* SimulatorWindow::buildPower() {
    auto* box =
        named(new QGroupBox(QStringLiteral("Power")), "powerGroup", QStringLiteral("Power"));
    mains_ = named(new QRadioButton(QStringLiteral("&Mains")), "mains",
                   QStringLiteral("Running on mains power"));
    battery_ = named(new QRadioButton(QStringLiteral("&Battery")), "battery",
                     QStringLiteral("Running on battery"));
    auto* source = new QButtonGroup(box);
    source->addButton(mains_);
    source->addButton(battery_);
    batteryPercent_ = named(new QSlider(Qt::Horizontal), "batteryPercent",
                            QStringLiteral("Battery charge in percent"));
    batteryPercent_->setRange(0, 100);
    batteryPercent_->setPageStep(5);
    batteryValue_ = statusLabel("batteryValue", QStringLiteral("Battery charge"));
    batteryValue_->setMinimumWidth(
        batteryValue_->fontMetrics().horizontalAdvance(QStringLiteral("100%")));
    auto* chargeLabel = new QLabel(QStringLiteral("C&harge"));
    chargeLabel->setBuddy(batteryPercent_);
    batterySilent_ = named(new QCheckBox(QStringLiteral("Battery stops &reporting")),
                           "batterySilent", QStringLiteral("Battery stops reporting its charge"));
    externals_ = named(new QSpinBox, "externalDisplays", QStringLiteral("External displays"));
    externals_->setRange(0, 8);
    auto* externalsLabel = new QLabel(QStringLiteral("&External displays"));
    externalsLabel->setBuddy(externals_);
    // The CPU sensor the thermal cut-off reads while a session stands with the lid shut.
    temperature_ = named(new QSpinBox, "temperature", QStringLiteral("CPU temperature"));
    temperature_->setRange(20, 120);
    temperature_->setSuffix(QString::fromUtf8(" \u00B0C"));
    temperature_->setValue(
        static_cast<int>(laptop_.thermal().celsius().value_or(sim::SimThermal::kDefaultCelsius)));
    auto* temperatureLabel = new QLabel(QStringLiteral("CPU &temperature"));
    temperatureLabel->setBuddy(temperature_);

    auto& power = laptop_.power();
    connect(mains_, &QRadioButton::toggled, this, [&power](bool on) {
        if (on) {
            power.setOnBattery(false);
        }
    });
    connect(battery_, &QRadioButton::toggled, this, [&power](bool on) {
        if (on) {
            power.setOnBattery(true);
        }
    });
    connect(batteryPercent_, &QSlider::valueChanged, this, [this] { applyBattery(); });
    connect(batterySilent_, &QCheckBox::toggled, this, [this] { applyBattery(); });
    connect(externals_, &QSpinBox::valueChanged, this,
            [&power](int count) { power.setExternalCount(count); });
    connect(temperature_, &QSpinBox::valueChanged, this,
            [this](int celsius) { laptop_.thermal().setCelsius(celsius); });

    auto* sourceRow = new QHBoxLayout;
    sourceRow->addWidget(mains_);
    sourceRow->addWidget(battery_);
    sourceRow->addStretch(1);
    auto* chargeRow = new QHBoxLayout;
    chargeRow->addWidget(chargeLabel);
    chargeRow->addWidget(batteryPercent_, 1);
    chargeRow->addWidget(batteryValue_);
    auto* displayRow = new QHBoxLayout;
    displayRow->addWidget(externalsLabel);
    displayRow->addWidget(externals_);
    displayRow->addStretch(1);
    displayRow->addWidget(temperatureLabel);
    displayRow->addWidget(temperature_);
    auto* column = new QVBoxLayout(box);
    column->addLayout(sourceRow);
    column->addLayout(chargeRow);
    column->addWidget(batterySilent_);
    column->addLayout(displayRow);
    return box;
}

QWidget* SimulatorWindow::buildSystem() {
    auto* box = named(new QGroupBox(QStringLiteral("What the system does")), "systemGroup",
                      QStringLiteral("What the system does"));
    flag_ = statusLabel("lidCloseFlag", QStringLiteral("Lid-close kernel flag"));
    assertions_ = statusLabel("assertions", QStringLiteral("Power assertions held"));
    assertions_->setWordWrap(true);
    session_ = statusLabel("sessionLock", QStringLiteral("Login session"));
    panel_ = statusLabel("panel", QStringLiteral("Built-in panel"));
    machine_ = statusLabel("machine", QStringLiteral("Machine"));
    machine_->setWordWrap(true);
    appState_ = statusLabel("appState", QStringLiteral("Noctave's own state"));
    wake_ =
        named(new QPushButton(QStringLiteral("&Wake")), "wake", QStringLiteral("Wake the machine"));
    unlock_ = named(new QPushButton(QStringLiteral("&Unlock")), "unlock",
                    QStringLiteral("Unlock the login session"));
    auto* idle = named(new QPushButton(QStringLiteral("Idle &timer runs out")), "idleTimeout",
                       QStringLiteral("Let the idle-sleep timer run out"));

    auto& power = laptop_.power();
    auto& screen = laptop_.screen();
    connect(wake_, &QPushButton::clicked, this, [&power] { power.wake(); });
    connect(unlock_, &QPushButton::clicked, this, [&screen] { screen.unlockSession(); });
    connect(idle, &QPushButton::clicked, this, [&power] { power.idleTimerExpires(); });

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(wake_);
    buttons->addWidget(unlock_);
    buttons->addWidget(idle);
    buttons->addStretch(1);
    auto* column = new QVBoxLayout(box);
    for (QLabel* label : {appState_, flag_, assertions_, session_, panel_, machine_}) {
        column->addWidget(label);
    }
    column->addStretch(1);
    column->addLayout(buttons);
    return box;
}

QWidget* SimulatorWindow::buildLog() {
    auto* box = named(new QGroupBox(QStringLiteral("Diagnostic log")), "logGroup",
                      QStringLiteral("Diagnostic log"));
    log_ = named(new QPlainTextEdit, "logTail", QStringLiteral("Diagnostic log, newest last"));
    log_->setReadOnly(true);
    log_->setMaximumBlockCount(kLogLines);
    log_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    log_->setMinimumHeight(log_->fontMetrics().lineSpacing() * 8);
    auto* column = new QVBoxLayout(box);
    column->addWidget(log_);
    return box;
}

// ---- following the machine ----

void SimulatorWindow::followApp(AppDelegate& delegate) {
    app_ = &delegate;
    delegate.onStatusShown = runtime::bindWeak(
        weakFactory_.weak(), [](SimulatorWindow& self) { self.refreshAppState(); });
    refreshAppState();
}

void SimulatorWindow::refreshAppState() {
    const SessionController* session = app_ != nullptr ? app_->session() : nullptr;
    appState_->setVisible(session != nullptr);
    if (session == nullptr) {
        return;
    }
    using State = SessionController::State;
    const State state = session->state();
    const QString said = state == State::armed      ? QStringLiteral("armed")
                         : state == State::pending  ? QStringLiteral("pending")
                         : state == State::disarmed ? QStringLiteral("disarmed")
                                                    : QStringLiteral("could not restore lid sleep");
    appState_->setText(QStringLiteral("Noctave: %1, keep-awake %2")
                           .arg(said, session->isKeepAwakeActive() ? QStringLiteral("on")
                                                                   : QStringLiteral("off")));
}

void SimulatorWindow::refresh() {
    refreshAppState();
    auto& power = laptop_.power();

    const double degrees = lid_.angle();
    {
        const QSignalBlocker blocker(angle_);
        angle_->setValue(static_cast<int>(std::lround(degrees)));
    }
    angleValue_->setText(QStringLiteral("%1°").arg(std::lround(degrees)));
    const auto lid = power.lid();
    const bool hasLid = lid != sim::SimPower::Lid::absent;
    lidSwitch_->setText(lid == sim::SimPower::Lid::open     ? QStringLiteral("Lid switch: open")
                        : lid == sim::SimPower::Lid::closed ? QStringLiteral("Lid switch: shut")
                        : lid == sim::SimPower::Lid::unknown
                            ? QStringLiteral("Lid switch: unreadable")
                            : QStringLiteral("No lid (a desktop)"));
    for (QWidget* control : {static_cast<QWidget*>(angle_), static_cast<QWidget*>(closeLid_),
                             static_cast<QWidget*>(openLid_)}) {
        control->setEnabled(hasLid);
    }

    fnState_->setText(laptop_.keyboard().isFunctionHeld() ? QStringLiteral("Fn: held")
                                                          : QStringLiteral("Fn: up"));

    {
        const QSignalBlocker blockMains(mains_);
        const QSignalBlocker blockBattery(battery_);
        (power.isOnBattery() ? battery_ : mains_)->setChecked(true);
    }
    const auto percent = power.batteryPercent();
    {
        const QSignalBlocker blockSlider(batteryPercent_);
        const QSignalBlocker blockSilent(batterySilent_);
        if (percent) {
            batteryPercent_->setValue(*percent);
        }
        batterySilent_->setChecked(!percent);
    }
    batteryPercent_->setEnabled(percent.has_value());
    syncSilentReports(!percent && power.isOnBattery());
    batteryValue_->setText(percent ? QStringLiteral("%1%").arg(*percent) : QStringLiteral("—"));
    {
        const QSignalBlocker blocker(externals_);
        externals_->setValue(power.externalCount());
    }

    flag_->setText(power.kernelFlag() ? QStringLiteral("Lid-close flag: set")
                                      : QStringLiteral("Lid-close flag: clear"));
    QStringList held;
    for (const auto& assertion : power.assertions()) {
        held << QStringLiteral("%1 (%2)").arg(QString::fromStdString(assertion.name),
                                              QString::fromStdString(assertion.type));
    }
    assertions_->setText(held.isEmpty()
                             ? QStringLiteral("Assertions: none")
                             : QStringLiteral("Assertions:\n") + held.join(QLatin1Char('\n')));
    const auto& screen = laptop_.screen();
    const bool locked = screen.isSessionLocked();
    session_->setText(locked ? QStringLiteral("Session: locked")
                             : QStringLiteral("Session: unlocked"));
    unlock_->setEnabled(locked);
    panel_->setText(screen.isPanelBlank() ? QStringLiteral("Panel: blank")
                                          : QStringLiteral("Panel: lit"));
    const bool asleep = power.isAsleep();
    if (asleep) {
        const auto sleeps = power.sleepEvents();
        const QString reason =
            sleeps.empty() ? QString() : QString::fromStdString(sleeps.back().reason);
        machine_->setText(QStringLiteral("Machine: asleep (%1)").arg(reason));
    } else {
        machine_->setText(QStringLiteral("Machine: awake"));
    }
    wake_->setEnabled(asleep);
}

void SimulatorWindow::appendLogLine(const QString& line) {
    QScrollBar* bar = log_->verticalScrollBar();
    const bool atEnd = bar->value() == bar->maximum();
    log_->appendPlainText(line);
    if (atEnd) {
        bar->setValue(bar->maximum());
    }
}

// ---- the keyboard ----

void SimulatorWindow::setFunctionHeld(bool held) {
    laptop_.keyboard().setFunctionHeld(held);
    refresh();
}

void SimulatorWindow::pressShortcut() {
    // As a real press would: it reaches whoever registered the combination, or no one.
    laptop_.hotKeys().press(HotKeyController::kKeyCode, HotKeyController::kModifiers);
}

bool SimulatorWindow::eventFilter(QObject* watched, QEvent* event) {
    const auto type = event->type();
    if (type != QEvent::KeyPress && type != QEvent::KeyRelease) {
        return QWidget::eventFilter(watched, event);
    }
    const auto* key = static_cast<QKeyEvent*>(event);
    const Qt::KeyboardModifiers others =
        key->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::ShiftModifier);
    if (isSuperKey(key->key())) {
        if (!key->isAutoRepeat()) {
            // Super alone is Fn; as part of a chord it is only a modifier.
            const bool held = type == QEvent::KeyPress && others == Qt::NoModifier;
            if (held || fnFromKeyboard_) {
                fnFromKeyboard_ = held;
                setFunctionHeld(held);
            }
        }
        return true;
    }
    if (type == QEvent::KeyPress && fnFromKeyboard_ && others != Qt::NoModifier) {
        fnFromKeyboard_ = false;
        setFunctionHeld(false);
    }
    const Qt::KeyboardModifiers chord = Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier;
    if (type == QEvent::KeyPress && key->key() == Qt::Key_L &&
        (key->modifiers() & (chord | Qt::ShiftModifier)) == chord) {
        if (!key->isAutoRepeat()) {
            pressShortcut();
        }
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

void SimulatorWindow::changeEvent(QEvent* event) {
    // A key released in another window never reaches this one: Fn must not stay down.
    if (event->type() == QEvent::ActivationChange && !isActiveWindow() && fnFromKeyboard_) {
        fnFromKeyboard_ = false;
        setFunctionHeld(false);
    }
    QWidget::changeEvent(event);
}

// ---- battery ----

void SimulatorWindow::applyBattery() {
    auto& power = laptop_.power();
    if (batterySilent_->isChecked()) {
        power.setBatteryPercent(std::nullopt);
    } else {
        power.setBatteryPercent(batteryPercent_->value());
    }
}

void SimulatorWindow::syncSilentReports(bool silentOnBattery) {
    if (!silentOnBattery) {
        silentReports_.reset();
        return;
    }
    if (!silentReports_) {
        silentReports_ = runtime::Timer::repeating(
            runtime::mainQueue(), kSilentReportInterval, 1.0,
            runtime::bindWeak(weakFactory_.weak(), [](SimulatorWindow& self) {
                self.laptop_.power().notifyPowerSources();
            }));
    }
}

// ---- position and snapshot ----

void SimulatorWindow::restorePosition() {
    auto& defaults = UserDefaults::standard();
    const auto x = defaults.object(kPositionX);
    const auto y = defaults.object(kPositionY);
    if (!x || !y || !std::holds_alternative<int64_t>(*x) || !std::holds_alternative<int64_t>(*y)) {
        return;
    }
    const QPoint origin(static_cast<int>(std::get<int64_t>(*x)),
                        static_cast<int>(std::get<int64_t>(*y)));
    // A screen unplugged since then must not leave the window out of reach.
    for (const QScreen* screen : QGuiApplication::screens()) {
        if (screen->availableGeometry().contains(origin)) {
            move(origin);
            return;
        }
    }
}

void SimulatorWindow::savePosition() {
    if (!wasShown_ && !testAttribute(Qt::WA_Moved)) {
        return;  // never placed: nothing worth remembering
    }
    auto& defaults = UserDefaults::standard();
    const QPoint origin = pos();
    if (defaults.object(kPositionX) != UserDefaults::Value{int64_t{origin.x()}}) {
        defaults.set(kPositionX, int64_t{origin.x()});
    }
    if (defaults.object(kPositionY) != UserDefaults::Value{int64_t{origin.y()}}) {
        defaults.set(kPositionY, int64_t{origin.y()});
    }
}

void SimulatorWindow::showEvent(QShowEvent* event) {
    wasShown_ = true;
    QWidget::showEvent(event);
}

void SimulatorWindow::closeEvent(QCloseEvent* event) {
    QWidget::closeEvent(event);
    if (event->isAccepted() && onClose) {
        auto handler = onClose;
        handler();
    }
}

void SimulatorWindow::hideEvent(QHideEvent* event) {
    savePosition();
    QWidget::hideEvent(event);
}

bool SimulatorWindow::writeSnapshot(const std::filesystem::path& file, std::string* error) {
    const QImage image = grab().toImage();
    if (image.isNull() || !image.save(QString::fromStdString(file.string()), "PNG")) {
        if (error != nullptr) {
            *error = "cannot write " + file.string();
        }
        return false;
    }
    return true;
}

}  // namespace noctave::app

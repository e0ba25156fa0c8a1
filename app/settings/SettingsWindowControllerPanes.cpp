// The three panes of the settings window and their bindings to the preferences.
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>

#include "app/integration/LoginItem.hpp"
#include "app/integration/UpdateAdapter.hpp"
#include "app/settings/AboutActionButton.hpp"
#include "app/settings/CallbackSwitch.hpp"
#include "app/settings/SettingsAccessibility.hpp"
#include "app/settings/SettingsSymbols.hpp"
#include "app/settings/SettingsUI.hpp"
#include "app/settings/SettingsWindowController.hpp"
#include "app/tray/MenuBarIcon.hpp"
#include "core/os/HotKeys.hpp"
#include "core/os/System.hpp"
#include "core/os/Vocabulary.hpp"
#include "core/session/SessionController.hpp"
#include "core/support/AppInfo.hpp"
#include "core/support/Prefs.hpp"

namespace noctave::app {

namespace {

// Qt hands clicked() and triggered() a Boolean the actions do not take.
template <class F>
auto slot(F action) {
    return [action = std::move(action)] { action(); };
}

QString percentText(int64_t percent) {
    return QString::number(percent) + QStringLiteral("%");
}

QString percentDescription(int64_t percent) {
    return QString::number(percent) + QStringLiteral(" percent");
}

GroupBox* group() {
    return new GroupBox;
}

void addTo(GroupBox* box, QWidget* row) {
    box->stack()->addWidget(row);
}

// A switch that only stores its preference.
std::function<bool(bool)> stores(void (*set)(bool)) {
    return [set](bool isOn) {
        set(isOn);
        return true;
    };
}

}  // namespace

Column* SettingsWindowController::buildArmingPane() {
    auto* column = new Column(8);
    column->add(UI::header(QStringLiteral("Arm with")));

    SessionController* controller = session();
    const bool hasSensor = controller != nullptr && controller->sensor().isAvailable();
    auto* box = group();
    auto weak = weakFactory_.weak();
    const auto setGesture = [weak](bool isOn) {
        Prefs::setArmWithGesture(isOn);
        if (SettingsWindowController* self = weak.get()) {
            if (SessionController* controller = self->session()) {
                if (GestureDriver* gesture = controller->gesture()) {
                    gesture->setEnabled(isOn);
                }
            }
        }
        return true;
    };
    const auto setShortcut = [weak](bool isOn) {
        Prefs::setArmWithShortcut(isOn);
        if (SettingsWindowController* self = weak.get();
            self != nullptr && self->onShortcutPreferenceChanged_) {
            self->onShortcutPreferenceChanged_();
        }
        return true;
    };
    // A chord the desktop would never deliver is not shown as if it worked.
    const auto& hotKeys = os::system().hotKeys;
    const bool hasShortcut = hotKeys && hotKeys->isServed();
    addSwitchRows(
        box,
        {
            {"armWithGesture",
             hasSensor ? QStringLiteral("Fn + close lid")
                       : QString::fromStdString("Fn + close lid  (not supported on this " +
                                                os::vocabulary().machine() + ")"),
             [hasSensor] { return hasSensor && Prefs::armWithGesture(); }, setGesture, hasSensor},
            {"armWithRightClick",
             QString::fromStdString("Right-click " + os::vocabulary().tray() + " icon"),
             Prefs::armWithRightClick, stores(Prefs::setArmWithRightClick)},
            hasShortcut
                ? SwitchRow{"armWithShortcut", QStringLiteral("Keyboard shortcut"),
                            Prefs::armWithShortcut, setShortcut, true,
                            QString::fromStdString(os::vocabulary().chord())}
                : SwitchRow{"armWithShortcut",
                            QStringLiteral("Keyboard shortcut  (this desktop offers no global "
                                           "shortcut)"),
                            [] { return false; }, setShortcut, false},
        });
    column->add(box);

    if (!hasSensor) {
        auto* note = UI::caption(QString::fromStdString(os::vocabulary().hingeSensorNote()));
        note->setObjectName(QStringLiteral("sensorCaption"));
        column->add(note);
    }
    return column;
}

QWidget* SettingsWindowController::batterySliderRow() {
    auto* row = new QWidget;
    row->setFixedHeight(34);
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(12);

    auto* slider = new PercentSlider;
    slider->setObjectName(QStringLiteral("lowBatteryDisarmPercent"));
    slider->setPercentRange(5, 50);
    // Ten marks from 5 to 50; positions between them are allowed.
    slider->setTickPosition(QSlider::TicksBelow);
    slider->setTickInterval(50);
    slider->setAccessibleName(QStringLiteral("Low battery disarm level"));
    const int64_t stored = Prefs::lowBatteryPercent();
    slider->setPercent(static_cast<double>(stored));
    slider->setValueDescription(percentDescription(stored));

    auto* readout = new TextLabel(percentText(stored), TextLabel::Tone::primary);
    readout->setObjectName(QStringLiteral("lowBatteryReadout"));
    readout->setFont(UI::font(13, QFont::Medium));
    readout->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    readout->setFixedWidth(44);

    QObject::connect(slider, &QSlider::valueChanged, slider, [slider, readout](int) {
        const int64_t percent = roundedPercent(slider->percent());
        Prefs::setLowBatteryPercent(percent);
        readout->setText(percentText(percent));
        slider->setValueDescription(percentDescription(percent));
    });
    layout->addWidget(slider, 1);
    layout->addWidget(readout);
    batterySlider_ = slider;
    batteryReadout_ = readout;
    return row;
}

Column* SettingsWindowController::buildGeneralPane() {
    auto* column = new Column(8);
    auto weak = weakFactory_.weak();

    column->add(UI::header(QStringLiteral("Startup")));
    auto* startup = group();
    // Shows whether the desktop will start the program, not what was last asked for; a
    // registration that did not take puts the switch back.
    addSwitchRows(startup, {{"openAtLogin", QStringLiteral("Open at login"), LoginItem::isEnabled,
                             [](bool isOn) {
                                 Prefs::setOpenAtLogin(isOn);
                                 LoginItem::setEnabled(isOn);
                                 const bool registered = LoginItem::isEnabled();
                                 if (registered != isOn) {
                                     Prefs::setOpenAtLogin(registered);
                                 }
                                 return registered == isOn;
                             }}});
    column->add(startup);

    column->add(UI::spacer());
    column->add(UI::header(QStringLiteral("Behavior")));
    auto* behavior = group();
    addSwitchRows(behavior,
                  {
                      {"stayOnAfterOpeningLid", QStringLiteral("Stay armed after opening the lid"),
                       Prefs::stayOnAfterOpeningLid, stores(Prefs::setStayOnAfterOpeningLid)},
                      {"disarmOnLowBattery", QStringLiteral("Disarm on low battery"),
                       Prefs::disarmOnLowBattery, stores(Prefs::setDisarmOnLowBattery)},
                  });
    addTo(behavior, batterySliderRow());
    column->add(behavior);
    column->add(UI::caption(QStringLiteral(
        "Keeps manual arming active for later closes. Fn + close remains one-shot.")));

    column->add(UI::spacer());
    column->add(UI::header(QStringLiteral("Keep awake")));
    auto* keepAwake = group();
    // Refused when the session is gone, and when the session could not take the keep-awake
    // assertion (it then writes the preference back to off).
    addSwitchRows(keepAwake,
                  {{"keepAwakeWithLidOpen", QStringLiteral("Keep awake with the lid open"),
                    Prefs::keepAwake, [weak](bool isOn) {
                        SettingsWindowController* self = weak.get();
                        SessionController* controller = self != nullptr ? self->session() : nullptr;
                        if (controller == nullptr) {
                            return false;
                        }
                        Prefs::setKeepAwake(isOn);
                        controller->applyKeepAwakePreference();
                        return Prefs::keepAwake() == isOn;
                    }}});
    column->add(keepAwake);

    column->add(UI::spacer());
    column->add(UI::header(QStringLiteral("Support")));
    auto* support = new QWidget;
    auto* supportLayout = new QHBoxLayout(support);
    supportLayout->setContentsMargins(0, 0, 0, 0);
    auto* copy = new QPushButton(QStringLiteral("Copy diagnostics for support"));
    copy->setObjectName(QStringLiteral("copyDiagnostics"));
    copy->setFont(UI::font(11));
    copy->setAccessibleDescription(QStringLiteral("Copies local Noctave logs to the clipboard."));
    QObject::connect(copy, &QPushButton::clicked, copy,
                     slot(runtime::bindWeak(
                         weak, [](SettingsWindowController& self) { self.copyDiagnostics(); })));
    supportLayout->addWidget(copy);
    supportLayout->addStretch(1);
    diagnosticsButton_ = copy;
    column->add(support);
    return column;
}

Column* SettingsWindowController::buildAboutPane() {
    auto* column = new Column(11, true);
    auto weak = weakFactory_.weak();

    const double ratio = qGuiApp != nullptr ? qGuiApp->devicePixelRatio() : 1.0;
    auto* icon = new DecorativeImage(
        MenuBarIcon::renderAppIcon(static_cast<int>(96 * ratio), std::nullopt), 96);
    column->add(icon, 11);

    auto* name = new TextLabel(QStringLiteral("Noctave"), TextLabel::Tone::primary);
    name->setFont(UI::font(26, QFont::DemiBold));
    name->setAlignment(Qt::AlignHCenter);
    column->add(name, 5);

    auto* tagline = new TextLabel(QStringLiteral("Keep running, even with the lid closed."),
                                  TextLabel::Tone::primary);
    tagline->setFont(UI::font(13));
    tagline->setAlignment(Qt::AlignHCenter);
    column->add(tagline, 16);

    auto* actions = group();
    actions->setFixedWidth(304);
    actions->stack()->setContentsMargins(8, 4, 8, 4);
    actions->stack()->setSpacing(0);
    auto* check = new AboutActionButton(SettingsSymbols::symbol("arrow.triangle.2.circlepath"),
                                        QString::fromUtf8("Check for Updates\u2026"));
    check->setObjectName(QStringLiteral("checkForUpdates"));
    check->setEnabled(updates_ != nullptr);
    QObject::connect(check, &QAbstractButton::clicked, check,
                     slot(runtime::bindWeak(
                         weak, [](SettingsWindowController& self) { self.checkForUpdates(); })));
    if (options_.showsHoverForSnapshot) {
        check->showPointerInside();
    }
    auto* replay = new AboutActionButton(SettingsSymbols::symbol("rectangle.stack"),
                                         QString::fromUtf8("Replay Onboarding\u2026"));
    replay->setObjectName(QStringLiteral("replayOnboarding"));
    // Without an onboarding window the button offers nothing rather than pretending.
    replay->setEnabled(static_cast<bool>(options_.makeOnboarding));
    QObject::connect(replay, &QAbstractButton::clicked, replay,
                     slot(runtime::bindWeak(
                         weak, [](SettingsWindowController& self) { self.showWelcomeGuide(); })));
    addTo(actions, check);
    addTo(actions, UI::separator());
    addTo(actions, replay);
    column->add(actions, 9);

    auto* updates = group();
    updates->setFixedWidth(304);
    UpdateAdapter* adapter = updates_;
    const bool isConfigured = adapter != nullptr && adapter->isConfigured();
    addSwitchRows(updates, {{"automaticUpdates", QStringLiteral("Update automatically"),
                             Prefs::automaticUpdates,
                             [adapter](bool isOn) {
                                 Prefs::setAutomaticUpdates(isOn);
                                 if (adapter != nullptr && adapter->hasUpdater()) {
                                     adapter->setAutomaticallyChecksForUpdates(isOn);
                                 }
                                 return true;
                             },
                             isConfigured}});
    column->add(updates, 11);

    auto* version =
        UI::caption(QStringLiteral("Version ") + QString::fromStdString(AppInfo::version()) +
                    QString::fromUtf8("  \u00B7  \u00A9 2026 Quillor"));
    version->setObjectName(QStringLiteral("versionCaption"));
    version->setWordWrap(false);
    version->setAlignment(Qt::AlignHCenter);
    column->add(version);
    return column;
}

}  // namespace noctave::app

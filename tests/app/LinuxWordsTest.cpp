// On a Linux laptop no text a person can read or copy names the Mac: the session's notices and
// log lines, the tray's tool tips and alerts, the settings window, the introduction, the
// updates alert and the command-line checks, each rendered with the Linux words on the virtual
// laptop (which fails on demand where a real machine cannot be made to) and searched.
#include <gmock/gmock.h>

#include <memory>
#include <regex>
#include <string>
#include <vector>

#include <QAbstractButton>
#include <QLabel>
#include <QWidget>

#include "app/AppDelegate.hpp"
#include "app/diagnostics/Diagnose.hpp"
#include "app/diagnostics/SelfTestCommand.hpp"
#include "app/integration/UpdateController.hpp"
#include "app/onboarding/OnboardingWindowController.hpp"
#include "app/settings/SettingsWindowController.hpp"
#include "app/tray/Alerts.hpp"
#include "core/session/SessionController.hpp"
#include "platform/linux/LinuxDisplayIdle.hpp"
#include "platform/linux/LinuxVocabulary.hpp"
#include "platform/sim/SimHinge.hpp"
#include "platform/sim/SimHotKeys.hpp"
#include "platform/sim/SimPower.hpp"
#include "platform/sim/SimScreen.hpp"
#include "tests/app/ShellTest.hpp"
#include "tests/diagnostics/DiagnosticRuns.hpp"
#include "tests/support/DelegateTest.hpp"
#include "tests/support/SimTest.hpp"

namespace noctave::test {
namespace {

using Library = sim::SimScreen::Library;

// The words that would be false on Linux: the machine, its system and frameworks, its tools,
// its key symbols and where its status icons live.
const std::regex kMacWords(
    R"(\bMac\b|MacBook|macOS|IOPM|IOKit|IOService|SkyLight|SLSDisplay|login framework|selector|)"
    R"(PreventUserIdleSystemSleep|PreventSystemSleep|)"
    R"(Lock Screen|caffeinate|pmset|Sparkle|menu bar|\xE2\x8C\x98|\xE2\x8C\xA5|\xE2\x8C\x83)");

// The virtual laptop's instant display sleep, with the fallback command the Linux backend runs.
class LinuxFallback final : public os::DisplayIdle {
  public:
    explicit LinuxFallback(std::shared_ptr<os::DisplayIdle> sim) : sim_(std::move(sim)) {}
    LibraryHandle openLibrary(const std::string& path, int mode) override {
        return sim_->openLibrary(path, mode);
    }
    IdleFunction lookup(LibraryHandle library, const std::string& symbol) override {
        return sim_->lookup(library, symbol);
    }
    Command fallbackCommand() const override { return linux_.fallbackCommand(); }

  private:
    std::shared_ptr<os::DisplayIdle> sim_;
    linuxos::LinuxDisplayIdle linux_{nullptr};
};

class LinuxWordsTest : public DelegateTest {
  protected:
    LinuxWordsTest() {
        laptop.system().vocabulary = std::make_shared<linuxos::LinuxVocabulary>();
        laptop.system().displayIdle = std::make_shared<LinuxFallback>(laptop.system().displayIdle);
    }

    void keep(const app::Alert& alert) {
        texts.push_back(alert.message.toStdString());
        texts.push_back(alert.informativeText.toStdString());
        for (const QString& button : alert.buttons) {
            texts.push_back(button.toStdString());
        }
    }
    // Every text a window shows: labels, buttons, tool tips and accessible names.
    void keepWidgets(const QWidget& window) {
        for (const QWidget* widget : window.findChildren<QWidget*>()) {
            if (const auto* label = qobject_cast<const QLabel*>(widget)) {
                texts.push_back(label->text().toStdString());
            }
            if (const auto* button = qobject_cast<const QAbstractButton*>(widget)) {
                texts.push_back(button->text().toStdString());
            }
            texts.push_back(widget->toolTip().toStdString());
            texts.push_back(widget->accessibleName().toStdString());
            texts.push_back(widget->accessibleDescription().toStdString());
        }
        texts.push_back(window.windowTitle().toStdString());
    }
    SessionController& startSession() {
        session = std::make_unique<SessionController>();
        session->onNotice = [this](const std::string& title, const std::string& body) {
            texts.push_back(title);
            texts.push_back(body);
        };
        runUntilIdle();
        return *session;
    }
    void closeLid() {
        laptop.power().closeLid();
        runUntilIdle();
    }
    void openLid() {
        laptop.power().openLid();
        runUntilIdle();
    }

    // The alerts raised so far, and what the tray showed, among the texts.
    void keepShown() {
        for (const app::Alert& alert : alerts) {
            keep(alert);
        }
        alerts.clear();
        if (tray != nullptr) {
            texts.insert(texts.end(), tray->texts.begin(), tray->texts.end());
            tray->texts.clear();
        }
    }

    // Nothing kept, nor anything logged, names the Mac.
    void expectLinuxWordsOnly() {
        keepShown();
        std::vector<std::string> all = texts;
        for (const std::string& line : log.messages()) {
            all.push_back(line);
        }
        for (const auto& power : laptop.power().assertions()) {
            all.push_back(power.name);
        }
        for (const std::string& text : all) {
            EXPECT_FALSE(std::regex_search(text, kMacWords)) << text;
        }
    }

    std::vector<std::string> texts;
    std::unique_ptr<SessionController> session;
};

TEST_F(LinuxWordsTest, SessionNoticesLogLinesAndInhibitorReasonsSpeakOfTheLaptop) {
    laptop.hinge().setSensor(sim::SimHinge::Sensor::absent);
    laptop.power().setExternalCount(1);
    auto& controller = startSession();

    // Armed and shut on mains with a monitor: the inhibitors, the lid-shut guard, the displays
    // slept and the session locked, each named by what acted.
    ASSERT_TRUE(controller.arm("menu"));
    closeLid();
    EXPECT_TRUE(log.contains("session locked via logind's LockSession"));
    EXPECT_TRUE(log.contains(
        "lid-shut guard held (blocks the lid-close sleep Linux requests when an external display "
        "disappears; AC only)"));
    EXPECT_TRUE(laptop.power().isAsserted(os::kPreventUserIdleSystemSleep));
    expectLinuxWordsOnly();
    openLid();

    // The instant path refuses and the lock is missing: the fallbacks and failures.
    laptop.screen().setDisplayIdleStatus(5);
    laptop.screen().setSessionLockLibrary(Library::symbolMissing);
    ASSERT_TRUE(controller.arm("menu"));
    closeLid();
    openLid();
    laptop.screen().setSessionLockLibrary(Library::missing);
    ASSERT_TRUE(controller.arm("menu"));
    closeLid();
    openLid();

    // Battery telemetry lost, then the battery floor.
    laptop.power().setOnBattery(true);
    runUntilIdle();
    ASSERT_TRUE(controller.arm("menu"));
    closeLid();
    laptop.power().setBatteryPercent(std::nullopt);
    runUntilIdle();
    laptop.power().setBatteryPercent(std::nullopt);
    runUntilIdle();
    openLid();
    laptop.power().setBatteryPercent(3);
    ASSERT_TRUE(controller.arm("menu"));
    closeLid();
    laptop.power().setBatteryPercent(2);
    runUntilIdle();
    openLid();

    // The kernel refuses the flag, and then refuses to clear it.
    laptop.power().setRefuseFlag(true);
    controller.arm("menu");
    laptop.power().setRefuseFlag(false);
    controller.arm("menu");
    laptop.power().setRefuseFlag(true);
    controller.disarm("menu");
    laptop.power().setRefuseFlag(false);
    advance(60);
    laptop.power().setAssertionPolicy(sim::SimPower::AssertionPolicy::refuseAll);
    controller.arm("menu");

    EXPECT_GE(texts.size(), 10U);
    EXPECT_THAT(texts, ::testing::Contains(::testing::HasSubstr("Your laptop can sleep")));
    expectLinuxWordsOnly();
}

TEST_F(LinuxWordsTest, TrayWindowsAndAlertsSpeakOfTheLaptopAndTheTray) {
    laptop.hinge().setSensor(sim::SimHinge::Sensor::absent);
    launch();
    for (const Click which : {Click::left, Click::right, Click::left}) {
        click(which);
    }
    keepShown();
    EXPECT_THAT(
        texts, ::testing::Contains("Noctave - active; the next lid close keeps this laptop awake"));
    EXPECT_TRUE(log.contains("hotkey registered (Ctrl+Alt+Super+L)"));
    delegate->applicationWillTerminate();
    delegate.reset();
    tray = nullptr;

    SessionController controller;
    app::SettingsWindowController settings([&controller] { return &controller; }, nullptr, [] {});
    for (const char* pane : {"arming", "general", "about"}) {
        settings.showPane(pane);
        keepWidgets(*settings.window());
    }
    EXPECT_THAT(texts, ::testing::Contains("Right-click tray icon"));

    app::OnboardingWindowController onboarding(controller);
    for (int page = 0; page < 4; ++page) {
        onboarding.show(nullptr, page);
        keepWidgets(*onboarding.window());
    }
    EXPECT_THAT(texts, ::testing::Contains(::testing::HasSubstr(
                           "Quick Settings can hold Noctave:\ngnome-extensions enable "
                           "noctave@quillor.com")));

    app::UpdateController updates([] { return std::nullopt; }, nullptr,
                                  [this](const app::Alert& alert) {
                                      keep(alert);
                                      return 0;
                                  });
    updates.explainMissingFeed();

    laptop.hotKeys().setRegistrationRefusal(-9878);
    laptop.power().setRootDomainPresent(false);
    launch();
    keepShown();
    EXPECT_THAT(texts, ::testing::Contains(::testing::StartsWith(
                           "Could not open a connection to systemd-logind.")));

    // The service is there but will not open.
    laptop.power().setRootDomainPresent(true);
    laptop.power().setOpenFailure(os::IoReturn{0x2c2});
    launch();
    EXPECT_TRUE(log.contains("launch failed: logind's Inhibit failed (0x2c2)"));
    expectLinuxWordsOnly();
}

TEST_F(LinuxWordsTest, CommandLineChecksNameLogindAndTheLaptop) {
    laptop.hinge().setSensor(sim::SimHinge::Sensor::absent);
    std::string out = captureStandardOutput([] { app::SelfTest::run(); }, temp.path());
    out += captureStandardOutput([] { app::Diagnose::run(); }, temp.path());
    laptop.power().setRootDomainPresent(false);
    out += captureStandardOutput([] { app::SelfTest::run(); }, temp.path());
    out += captureStandardOutput([] { app::Diagnose::run(); }, temp.path());
    EXPECT_THAT(out, ::testing::HasSubstr("opened logind's handle-lid-switch lock"));
    EXPECT_THAT(out, ::testing::HasSubstr("could not open systemd-logind"));
    texts.push_back(out);
    expectLinuxWordsOnly();
}

}  // namespace
}  // namespace noctave::test

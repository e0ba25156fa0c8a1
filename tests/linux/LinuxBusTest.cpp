// The Linux backend, and the real session controller over it, against a private system bus with
// mocked logind and UPower.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <utility>

#include "core/os/System.hpp"
#include "core/power/LidSleepPolicy.hpp"
#include "core/runtime/ThreadedRuntime.hpp"
#include "core/session/SessionController.hpp"
#include "core/support/Prefs.hpp"
#include "platform/linux/LinuxDisplayIdle.hpp"
#include "platform/linux/LinuxDisplays.hpp"
#include "platform/linux/LinuxHidManager.hpp"
#include "platform/linux/LinuxKeyboardState.hpp"
#include "platform/linux/LinuxPowerManagement.hpp"
#include "platform/linux/LinuxPowerSources.hpp"
#include "platform/linux/LinuxProcesses.hpp"
#include "platform/linux/LinuxSessionLock.hpp"
#include "platform/linux/LinuxVocabulary.hpp"
#include "platform/sim/VirtualLaptop.hpp"
#include "tests/support/ChildProcess.hpp"
#include "tests/support/LogCapture.hpp"
#include "tests/support/PrivateBus.hpp"
#include "tests/support/TempDir.hpp"

namespace noctave::test {
namespace {

using linuxos::LinuxPowerManagement;
using State = SessionController::State;

constexpr const char* kUPowerPath = "/org/freedesktop/UPower";
constexpr const char* kDisplayDevice = "/org/freedesktop/UPower/devices/DisplayDevice";
constexpr const char* kDevice = "org.freedesktop.UPower.Device";
constexpr uint32_t kSelector = os::kLidSleepPolicySelector;
const std::string kLidLock = "handle-lid-switch:block:Noctave";

std::size_t count(const std::vector<std::string>& list, const std::string& entry) {
    return static_cast<std::size_t>(std::count(list.begin(), list.end(), entry));
}

class LinuxBus : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!bus.unavailable().empty()) {
            GTEST_SKIP() << "no private system bus: " << bus.unavailable();
        }
        ASSERT_TRUE(bus.startTemplate("logind", kLogin));
    }
    bool lidLockGone() {
        return bus.waitForInhibitors([](const auto& list) { return count(list, kLidLock) == 0; });
    }

    PrivateBus bus;
    TempDir temp;
    linuxos::MachineRoots roots{temp.path() / "sys", temp.path() / "dev", temp.path() / "proc"};
    std::shared_ptr<linuxos::DBusConnection> systemBus =
        std::make_shared<linuxos::DBusConnection>(linuxos::BusKind::system);
    LogCapture log;
};

class LogindBackend : public LinuxBus {
  protected:
    // A connection to the root domain of the backend, which is made once logind runs.
    os::IoConnection open() {
        if (!power) {
            power = std::make_unique<LinuxPowerManagement>(roots, systemBus, nullptr);
        }
        os::IoConnection connection = 0;
        EXPECT_EQ(power->openService(power->matchingService(os::kRootDomainClass), 0, &connection),
                  0);
        return connection;
    }

    std::unique_ptr<LinuxPowerManagement> power;
};

TEST_F(LogindBackend, LidFlagIsOneInhibitorThatAnyConnectionOrTheCrashHandlerClears) {
    auto connection = open();
    ASSERT_EQ(power->callScalarMethod(connection, kSelector, 1), 0);
    ASSERT_EQ(power->callScalarMethod(connection, kSelector, 1), 0);
    EXPECT_EQ(count(bus.inhibitors(), kLidLock), 1u) << "setting twice keeps one lock";
    // Like the kernel bit it stands for, any connection clears it.
    EXPECT_EQ(power->callScalarMethod(open(), kSelector, 0), 0);
    EXPECT_TRUE(lidLockGone());

    // The crash handler's clear closes the lock without a bus call, and can never take one.
    ASSERT_EQ(power->callScalarMethod(connection, kSelector, 1), 0);
    auto clear = power->signalSafeScalarMethod();
    EXPECT_EQ(clear(connection, kSelector, 0), 0);
    EXPECT_FALSE(LinuxPowerManagement::isLidInhibitorHeld());
    EXPECT_TRUE(lidLockGone());
    EXPECT_NE(clear(connection, kSelector, 1), 0);
}

TEST_F(LogindBackend, HelpersStartedWhileTheLockIsHeldDoNotKeepIt) {
    auto connection = open();
    ASSERT_EQ(power->callScalarMethod(connection, kSelector, 1), 0);
    // A helper outliving us (a display-sleep command, say) must not hold the lid lock open.
    ChildProcess helper("/bin/sleep", {"30"},
                        {.standardOutput = "/dev/null", .standardError = "/dev/null"});
    ASSERT_EQ(helper.failure(), "");
    EXPECT_EQ(power->callScalarMethod(connection, kSelector, 0), 0);
    EXPECT_TRUE(lidLockGone());
}

TEST_F(LogindBackend, VanishedLogindFailsReapplyAndAReturningOneGrantsAFreshLock) {
    auto connection = open();
    ASSERT_EQ(power->callScalarMethod(connection, kSelector, 1), 0);
    ASSERT_TRUE(bus.stopTemplate(kLogin));
    for (int retry = 0; retry < 3; ++retry) {
        EXPECT_NE(power->callScalarMethod(connection, kSelector, 1), 0) << "the lock went too";
    }
    EXPECT_EQ(log.count("logind refused the lid-switch inhibitor "
                        "(org.freedesktop.DBus.Error.ServiceUnknown: The name "
                        "org.freedesktop.login1 was not provided by any .service files)"),
              1u)
        << "a heartbeat's retries repeat no line: " << ::testing::PrintToString(log.lines());

    ASSERT_TRUE(bus.startTemplate("logind", kLogin));
    EXPECT_EQ(power->callScalarMethod(connection, kSelector, 1), 0);
    EXPECT_EQ(count(bus.inhibitors(), kLidLock), 1u);
}

// Without logind the root domain cannot be found; the backend names the cause, once in the log,
// and the open error hands it on for the launch alert.
TEST_F(LogindBackend, WithoutLogindTheOpenErrorCarriesTheCause) {
    ASSERT_TRUE(bus.stopTemplate(kLogin));
    auto shared = std::make_shared<LinuxPowerManagement>(roots, systemBus, nullptr);
    const std::string noOwner =
        "systemd-logind is not on the system bus (org.freedesktop.login1 has no owner)";
    os::System system;
    system.paths = std::make_shared<sim::SimPaths>(temp.path());
    system.powerManagement = shared;
    {
        os::SystemInstaller installer{system};
        for (int attempt = 0; attempt < 2; ++attempt) {
            try {
                LidSleepPolicy policy;
                ADD_FAILURE() << "opened without logind";
            } catch (const LidSleepPolicy::OpenError& error) {
                EXPECT_EQ(error.kind(), LidSleepPolicy::OpenError::Kind::serviceNotFound);
                EXPECT_EQ(error.cause(), noOwner);
            }
        }
    }
    EXPECT_EQ(log.count(noOwner), 1u);

    ASSERT_TRUE(bus.startTemplate("logind", kLogin));
    EXPECT_NE(shared->matchingService(os::kRootDomainClass), 0u);
    EXPECT_EQ(shared->rootDomainFailure(), "") << "a success forgets the cause";
}

// The real controller and real threads over the whole backend.
class LinuxSession : public LinuxBus {
  protected:
    void SetUp() override {
        LinuxBus::SetUp();
        if (IsSkipped() || HasFatalFailure()) {
            return;
        }
        ASSERT_TRUE(bus.startTemplate("upower", kUPower));
        // No desktop here: blanking goes to the fallback command, which a stand-in answers.
        unsetenv("DISPLAY");
        unsetenv("WAYLAND_DISPLAY");
        auto bin = temp.path() / "bin";
        std::filesystem::create_directories(bin);
        std::ofstream(bin / "xset") << "#!/bin/sh\nexit 0\n";
        chmod((bin / "xset").c_str(), 0755);
        setenv("PATH", (bin.string() + ":" + savedPath_).c_str(), 1);

        system.paths = std::make_shared<sim::SimPaths>(temp.path());
        Prefs::registerDefaults();
        system.processes = std::make_shared<linuxos::LinuxProcesses>(roots.proc);
        system.powerManagement = std::make_shared<LinuxPowerManagement>(roots, systemBus, nullptr);
        system.powerSources = std::make_shared<linuxos::LinuxPowerSources>(roots, systemBus);
        system.displays = std::make_shared<linuxos::LinuxDisplays>(roots);
        system.displayIdle = std::make_shared<linuxos::LinuxDisplayIdle>(nullptr);
        system.sessionLock = std::make_shared<linuxos::LinuxSessionLock>(systemBus);
        system.hidManager = std::make_shared<linuxos::LinuxHidManager>(roots);
        system.keyboardState = std::make_shared<linuxos::LinuxKeyboardState>(roots);
        system.vocabulary = std::make_shared<linuxos::LinuxVocabulary>();
    }
    ~LinuxSession() override {
        controller.reset();
        setenv("PATH", savedPath_.c_str(), 1);
    }

    template <typename T>
    void upower(const char* path, const char* interface, const char* name, T value) {
        ASSERT_TRUE(bus.setProperty(kUPower, path, interface, name, value)) << name;
    }
    void battery(double energy) {
        upower(kDisplayDevice, kDevice, "Type", uint32_t{2});
        upower(kDisplayDevice, kDevice, "IsPresent", true);
        upower(kDisplayDevice, kDevice, "EnergyFull", 100.0);
        upower(kDisplayDevice, kDevice, "Energy", energy);
    }
    void arm() {
        controller = std::make_unique<SessionController>();
        controller->onNotice = [this](const std::string& title, const std::string& body) {
            notices.push_back(title + " / " + body);
        };
        ASSERT_TRUE(controller->arm("menu"));
    }
    bool runUntil(const std::function<bool()>& done) { return runtime.runUntil(done, 15.0); }
    // A discharging battery at 15% in the kernel's power_supply tree.
    void kernelBattery() {
        const auto supply = roots.sys / "class" / "power_supply" / "BAT0";
        std::filesystem::create_directories(supply);
        for (const auto& [name, value] : {std::pair{"type", "Battery"},
                                          {"present", "1"},
                                          {"status", "Discharging"},
                                          {"energy_now", "9000000"},
                                          {"energy_full", "60000000"}}) {
            std::ofstream(supply / name) << value << "\n";
        }
    }

    std::string savedPath_ = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "";
    runtime::ThreadedRuntime runtime;
    runtime::RuntimeInstaller runtimeInstaller{runtime};
    os::System system;
    os::SystemInstaller systemInstaller{system};
    std::unique_ptr<SessionController> controller;
    std::vector<std::string> notices;
};

TEST_F(LinuxSession, ArmedLidCloseLocksTheSessionKeepsTheLockAcrossALogindRestartAndOpeningEndsIt) {
    arm();
    EXPECT_EQ(count(bus.inhibitors(), kLidLock), 1u);
    EXPECT_EQ(count(bus.inhibitors(), "idle:block:Noctave"), 1u);

    upower(kUPowerPath, kUPower, "LidIsClosed", true);
    ASSERT_TRUE(runUntil([&] { return log.contains("lid shut; arm stands"); }))
        << ::testing::PrintToString(log.lines());
    EXPECT_EQ(bus.logindCalls("LockSession"), std::vector<std::string>{"auto"});
    EXPECT_TRUE(log.contains("display slept via xset dpms force off"));
    EXPECT_TRUE(log.contains("session locked via logind's LockSession"));
    EXPECT_TRUE(notices.empty()) << ::testing::PrintToString(notices);

    // Only logind can drop our lock, by going away: no timer re-applies it, logind's return does.
    EXPECT_TRUE(log.contains(
        "flag heartbeat on (when lost) - nothing else writes the lid-close flag here"));
    ASSERT_TRUE(bus.stopTemplate(kLogin));
    ASSERT_TRUE(bus.startTemplate("logind", kLogin));
    EXPECT_TRUE(runUntil([&] { return count(bus.inhibitors(), kLidLock) == 1; }))
        << ::testing::PrintToString(log.lines());
    EXPECT_EQ(controller->state(), State::armed);

    upower(kUPowerPath, kUPower, "LidIsClosed", false);
    ASSERT_TRUE(runUntil([&] { return controller->state() == State::disarmed; }));
    EXPECT_TRUE(lidLockGone());
}

// UPower announces every change while it runs: the kernel's figures are then not re-read on a
// timer, which would wake an idle laptop for nothing. Once it leaves, the re-read takes over.
TEST_F(LinuxSession, TheKernelsFiguresAreReadOnATimerOnlyWhileUPowerIsAway) {
    kernelBattery();
    constexpr double kPeriod = 0.05;
    linuxos::LinuxPowerSources sources(roots, systemBus, kPeriod);
    int reports = 0;
    const auto handle = sources.createNotificationSource([&reports] { ++reports; });
    sources.addToMainQueue(handle);
    // Ten periods of nothing happening.
    EXPECT_FALSE(runtime.runUntil([&reports] { return reports > 0; }, 10 * kPeriod));

    ASSERT_TRUE(bus.stopTemplate(kUPower));
    // Its leaving is one report; the timer's follow.
    EXPECT_TRUE(runUntil([&reports] { return reports >= 4; }));
    sources.removeNotificationSource(handle);
}

TEST_F(LinuxSession, VanishedLogindMakesReapplyFailAndDisarms) {
    battery(80);
    arm();
    ASSERT_TRUE(bus.stopTemplate(kLogin));

    upower(kUPowerPath, kUPower, "OnBattery", true);
    ASSERT_TRUE(runUntil([&] { return !notices.empty(); }))
        << ::testing::PrintToString(log.lines());
    EXPECT_EQ(notices.front(),
              "Noctave disarmed / The laptop's sleep setting could not be maintained.");
    EXPECT_EQ(controller->state(), State::disarmed);
    EXPECT_TRUE(log.contains(
        "re-apply FAILED while armed (power-source change); disarming to avoid a false armed "
        "state"));
    EXPECT_FALSE(LinuxPowerManagement::isLidInhibitorHeld());
}

}  // namespace
}  // namespace noctave::test

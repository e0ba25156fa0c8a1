// Session stories on the Linux backend: the real controller, real threads, a private system
// bus with mocked logind and UPower.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>

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
#include "platform/sim/VirtualLaptop.hpp"
#include "tests/linux/PrivateBus.hpp"
#include "tests/support/LogCapture.hpp"

namespace noctave::test {
namespace {

using State = SessionController::State;

constexpr const char* kLogin = "org.freedesktop.login1";
constexpr const char* kLoginPath = "/org/freedesktop/login1";
constexpr const char* kUPower = "org.freedesktop.UPower";
constexpr const char* kUPowerPath = "/org/freedesktop/UPower";
constexpr const char* kDisplayDevice = "/org/freedesktop/UPower/devices/DisplayDevice";
constexpr const char* kDevice = "org.freedesktop.UPower.Device";

class LinuxSession : public ::testing::Test {
  protected:
    LinuxSession() {
        system.paths = std::make_shared<sim::SimPaths>(temp.path());
        Prefs::registerDefaults();
        // No desktop here: blanking goes to the fallback command, which a stand-in answers.
        unsetenv("DISPLAY");
        unsetenv("WAYLAND_DISPLAY");
        auto bin = temp.path() / "bin";
        std::filesystem::create_directories(bin);
        std::ofstream(bin / "xset") << "#!/bin/sh\nexit 0\n";
        chmod((bin / "xset").c_str(), 0755);
        const char* path = std::getenv("PATH");
        savedPath_ = path != nullptr ? path : "";
        setenv("PATH", (bin.string() + ":" + savedPath_).c_str(), 1);
    }
    ~LinuxSession() override {
        controller.reset();
        setenv("PATH", savedPath_.c_str(), 1);
    }

    void SetUp() override {
        if (!bus.unavailable().empty()) {
            GTEST_SKIP() << "no private system bus: " << bus.unavailable();
        }
        ASSERT_TRUE(bus.startTemplate("logind", kLogin));
        ASSERT_TRUE(bus.startTemplate("upower", kUPower));
        auto connection = std::make_shared<linuxos::DBusConnection>(linuxos::BusKind::system);
        system.processes = std::make_shared<linuxos::LinuxProcesses>(roots.proc);
        system.powerManagement =
            std::make_shared<linuxos::LinuxPowerManagement>(roots, connection, nullptr);
        system.powerSources = std::make_shared<linuxos::LinuxPowerSources>(roots, connection);
        system.displays = std::make_shared<linuxos::LinuxDisplays>(roots);
        system.displayIdle = std::make_shared<linuxos::LinuxDisplayIdle>(nullptr);
        system.sessionLock = std::make_shared<linuxos::LinuxSessionLock>(connection);
        system.hidManager = std::make_shared<linuxos::LinuxHidManager>(roots);
        system.keyboardState = std::make_shared<linuxos::LinuxKeyboardState>(roots);
    }

    void battery(const std::string& energy) {
        ASSERT_TRUE(bus.setProperty(kUPower, kDisplayDevice, kDevice, "Type", 'u', "2"));
        ASSERT_TRUE(bus.setProperty(kUPower, kDisplayDevice, kDevice, "IsPresent", 'b', "true"));
        ASSERT_TRUE(bus.setProperty(kUPower, kDisplayDevice, kDevice, "EnergyFull", 'd', "100"));
        ASSERT_TRUE(bus.setProperty(kUPower, kDisplayDevice, kDevice, "Energy", 'd', energy));
    }

    void start() {
        controller = std::make_unique<SessionController>();
        controller->onNotice = [this](const std::string& title, const std::string& body) {
            notices.push_back(title + " / " + body);
        };
        controller->onStateChange = [this](State state) { states.push_back(state); };
    }

    bool runUntil(const std::function<bool()>& done) { return runtime.runUntil(done, 15.0); }

    bool holds(const std::string& what) {
        auto list = bus.inhibitors();
        return std::count(list.begin(), list.end(), what + ":block:Noctave") > 0;
    }

    PrivateBus bus;
    TempDir temp;
    linuxos::MachineRoots roots{temp.path() / "sys", temp.path() / "dev", temp.path() / "proc"};
    runtime::ThreadedRuntime runtime;
    runtime::RuntimeInstaller runtimeInstaller{runtime};
    os::System system;
    os::SystemInstaller systemInstaller{system};
    LogCapture log;
    std::unique_ptr<SessionController> controller;
    std::vector<std::string> notices;
    std::vector<State> states;

  private:
    std::string savedPath_;
};

TEST_F(LinuxSession, ArmedLidCloseLocksTheSessionAndOpeningEndsIt) {
    start();
    ASSERT_TRUE(controller->arm("menu"));
    EXPECT_TRUE(holds("handle-lid-switch"));
    EXPECT_TRUE(holds("idle"));

    ASSERT_TRUE(bus.setProperty(kUPower, kUPowerPath, kUPower, "LidIsClosed", 'b', "true"));
    ASSERT_TRUE(runUntil([&] { return log.contains("lid shut; arm stands"); }))
        << ::testing::PrintToString(log.lines());
    EXPECT_EQ(bus.methodCalls(kLogin, kLoginPath, "LockSession"), std::vector<std::string>{"auto"});
    EXPECT_TRUE(log.contains("display slept via pmset displaysleepnow"));
    EXPECT_TRUE(notices.empty()) << ::testing::PrintToString(notices);

    ASSERT_TRUE(bus.setProperty(kUPower, kUPowerPath, kUPower, "LidIsClosed", 'b', "false"));
    ASSERT_TRUE(runUntil([&] { return controller->state() == State::disarmed; }));
    EXPECT_TRUE(bus.waitForInhibitors([](const auto& list) {
        return std::none_of(list.begin(), list.end(), [](const std::string& entry) {
            return entry.rfind("handle-lid-switch", 0) == 0;
        });
    }));
}

TEST_F(LinuxSession, BatteryReportsReachTheGuard) {
    battery("50");
    start();
    ASSERT_TRUE(controller->arm("menu"));
    ASSERT_TRUE(bus.setProperty(kUPower, kUPowerPath, kUPower, "OnBattery", 'b', "true"));
    ASSERT_TRUE(runUntil([&] { return log.contains("power source changed: battery"); }));
    EXPECT_EQ(controller->state(), State::armed);

    ASSERT_TRUE(bus.setProperty(kUPower, kDisplayDevice, kDevice, "Energy", 'd', "15"));
    ASSERT_TRUE(runUntil([&] { return !notices.empty(); }));
    EXPECT_EQ(notices.front(),
              "Noctave disarmed / Battery dropped to 15%. Your Mac can sleep instead of running "
              "flat.");
    EXPECT_EQ(controller->state(), State::disarmed);
    EXPECT_TRUE(log.contains("disarmed (low-battery)")) << ::testing::PrintToString(log.lines());
}

TEST_F(LinuxSession, VanishedLogindMakesReapplyFailAndDisarms) {
    battery("80");
    start();
    ASSERT_TRUE(controller->arm("menu"));
    ASSERT_TRUE(bus.stopTemplate(kLogin));

    ASSERT_TRUE(bus.setProperty(kUPower, kUPowerPath, kUPower, "OnBattery", 'b', "true"));
    ASSERT_TRUE(runUntil([&] { return !notices.empty(); }))
        << ::testing::PrintToString(log.lines());
    EXPECT_EQ(notices.front(),
              "Noctave disarmed / The Mac's sleep setting could not be maintained.");
    EXPECT_EQ(controller->state(), State::disarmed);
    EXPECT_TRUE(log.contains(
        "re-apply FAILED while armed (power-source change); disarming to avoid a false armed "
        "state"));
    EXPECT_FALSE(linuxos::LinuxPowerManagement::isLidInhibitorHeld());
}

}  // namespace
}  // namespace noctave::test

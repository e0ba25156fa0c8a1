// The Linux backend against a private system bus with mocked logind and UPower.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>

#include "core/runtime/SerialQueue.hpp"
#include "core/runtime/ThreadedRuntime.hpp"
#include "platform/linux/LinuxDisplayIdle.hpp"
#include "platform/linux/LinuxPowerManagement.hpp"
#include "platform/linux/LinuxPowerSources.hpp"
#include "platform/linux/LinuxSessionLock.hpp"
#include "platform/linux/LinuxWorkspace.hpp"
#include "tests/linux/PrivateBus.hpp"
#include "tests/support/LogCapture.hpp"

namespace noctave::test {
namespace {

using linuxos::LinuxPowerManagement;

constexpr const char* kLogin = "org.freedesktop.login1";
constexpr const char* kLoginPath = "/org/freedesktop/login1";
constexpr const char* kManager = "org.freedesktop.login1.Manager";
constexpr const char* kUPower = "org.freedesktop.UPower";
constexpr const char* kUPowerPath = "/org/freedesktop/UPower";
constexpr const char* kDisplayDevice = "/org/freedesktop/UPower/devices/DisplayDevice";
constexpr uint32_t kSelector = LinuxPowerManagement::kLidSleepPolicySelector;

bool has(const std::vector<std::string>& list, const std::string& entry) {
    return std::count(list.begin(), list.end(), entry) > 0;
}

class LogindBackend : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!bus.unavailable().empty()) {
            GTEST_SKIP() << "no private system bus: " << bus.unavailable();
        }
        ASSERT_TRUE(bus.startTemplate("logind", kLogin));
    }

    // The backend under test, on its own connection, over an empty machine tree.
    LinuxPowerManagement& power() {
        if (!power_) {
            power_ = std::make_unique<LinuxPowerManagement>(roots, system, nullptr);
        }
        return *power_;
    }
    os::IoConnection open() {
        os::IoObject service = power().matchingService("IOPMrootDomain");
        EXPECT_EQ(service, LinuxPowerManagement::kRootDomain);
        os::IoConnection connection = 0;
        EXPECT_EQ(power().openService(service, 0, &connection), 0);
        return connection;
    }
    bool lidInhibitorGone() {
        return bus.waitForInhibitors(
            [](const auto& list) { return !has(list, "handle-lid-switch:block:Noctave"); });
    }

    PrivateBus bus;
    TempDir temp;
    linuxos::MachineRoots roots{temp.path() / "sys", temp.path() / "dev", temp.path() / "proc"};
    std::shared_ptr<linuxos::DBusConnection> system =
        std::make_shared<linuxos::DBusConnection>(linuxos::BusKind::system);
    LogCapture log;
    std::unique_ptr<LinuxPowerManagement> power_;
};

TEST_F(LogindBackend, LidFlagIsOneHandleLidSwitchInhibitorUntilCleared) {
    auto connection = open();
    ASSERT_EQ(power().callScalarMethod(connection, kSelector, 1), 0);
    ASSERT_EQ(power().callScalarMethod(connection, kSelector, 1), 0);
    auto list = bus.inhibitors();
    EXPECT_EQ(std::count(list.begin(), list.end(), "handle-lid-switch:block:Noctave"), 1)
        << "setting twice keeps one lock";
    EXPECT_TRUE(LinuxPowerManagement::isLidInhibitorHeld());

    // Like the kernel bit it stands for, any connection clears it.
    os::IoConnection second = open();
    EXPECT_EQ(power().callScalarMethod(second, kSelector, 0), 0);
    EXPECT_TRUE(lidInhibitorGone());
    EXPECT_EQ(power().closeService(second), 0);
    EXPECT_NE(power().callScalarMethod(second, kSelector, 1), 0) << "a closed connection";
    EXPECT_NE(power().callScalarMethod(connection, 7, 1), 0) << "an unknown selector";
}

TEST_F(LogindBackend, SignalSafeClearClosesTheInhibitorAndCannotTakeOne) {
    auto connection = open();
    ASSERT_EQ(power().callScalarMethod(connection, kSelector, 1), 0);
    auto clear = power().signalSafeScalarMethod();
    EXPECT_EQ(clear(connection, kSelector, 0), 0);
    EXPECT_FALSE(LinuxPowerManagement::isLidInhibitorHeld());
    EXPECT_TRUE(lidInhibitorGone());
    EXPECT_EQ(clear(connection, kSelector, 0), 0) << "clearing a clear flag succeeds";
    EXPECT_NE(clear(connection, kSelector, 1), 0);
}

TEST_F(LogindBackend, KillingTheProcessReleasesItsInhibitor) {
    int out[2];
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    pid_t holder = spawnProcess({NOCTAVE_INHIBITOR_HOLDER}, out[1]);
    close(out[1]);
    ASSERT_GT(holder, 0);
    char said[8] = {};
    pollfd fd{out[0], POLLIN, 0};
    ASSERT_GT(poll(&fd, 1, 15000), 0);
    ASSERT_GT(read(out[0], said, sizeof said - 1), 0);
    close(out[0]);
    ASSERT_STREQ(said, "held\n");
    EXPECT_TRUE(has(bus.inhibitors(), "handle-lid-switch:block:Noctave"));

    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    EXPECT_TRUE(lidInhibitorGone());
}

TEST_F(LogindBackend, HelpersStartedWhileTheLockIsHeldDoNotKeepIt) {
    auto connection = open();
    ASSERT_EQ(power().callScalarMethod(connection, kSelector, 1), 0);
    // A helper outliving us (a display-sleep command, say) must not hold the lid lock open.
    pid_t helper = spawnProcess({"/bin/sleep", "30"});
    ASSERT_GT(helper, 0);
    EXPECT_EQ(power().callScalarMethod(connection, kSelector, 0), 0);
    EXPECT_TRUE(lidInhibitorGone());
    kill(helper, SIGKILL);
    waitpid(helper, nullptr, 0);
}

TEST_F(LogindBackend, VanishedLogindIsAMissingRootDomainAndFailsReapply) {
    auto connection = open();
    ASSERT_EQ(power().callScalarMethod(connection, kSelector, 1), 0);
    ASSERT_TRUE(bus.stopTemplate(kLogin));

    EXPECT_NE(power().callScalarMethod(connection, kSelector, 1), 0)
        << "the lock went with logind; re-applying must say so";
    EXPECT_NE(power().callScalarMethod(connection, kSelector, 1), 0);
    EXPECT_EQ(log.count("logind refused the lid-switch inhibitor "
                        "(org.freedesktop.DBus.Error.ServiceUnknown: The name "
                        "org.freedesktop.login1 was not provided by any .service files)"),
              1u)
        << "a heartbeat's retries repeat no line: " << ::testing::PrintToString(log.lines());
    EXPECT_EQ(power().callScalarMethod(connection, kSelector, 0), 0);

    EXPECT_EQ(power().matchingService("IOPMrootDomain"), 0u);
    EXPECT_EQ(power().matchingService("IOPMrootDomain"), 0u);
    const std::string cause =
        "ERR systemd-logind is not on the system bus (org.freedesktop.login1 has no owner)";
    auto lines = log.lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), cause), 1) << "the cause is logged once";

    // A logind that comes back grants a fresh lock.
    ASSERT_TRUE(bus.startTemplate("logind", kLogin));
    EXPECT_EQ(power().callScalarMethod(connection, kSelector, 1), 0);
    EXPECT_TRUE(has(bus.inhibitors(), "handle-lid-switch:block:Noctave"));
}

TEST_F(LogindBackend, CallsFailWithinTheirTimeoutWhenLogindHangsOrTheBusDies) {
    ASSERT_TRUE(bus.callMock(kLogin, kLoginPath, "AddMethod", "sssss",
                             {kManager, "Stall", "", "", "import time; time.sleep(5)"}));
    linuxos::MethodRef stall{kLogin, kLoginPath, kManager, "Stall"};
    auto started = std::chrono::steady_clock::now();
    auto status = system->call(stall, {}, {}, 0.3);
    double waited =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    EXPECT_FALSE(status.ok());
    EXPECT_LT(waited, 2.0);

    bus.killDaemon();
    started = std::chrono::steady_clock::now();
    linuxos::MethodRef ping{kLogin, kLoginPath, "org.freedesktop.DBus.Peer", "Ping"};
    EXPECT_FALSE(system->call(ping, {}, {}, 3.0).ok());
    EXPECT_EQ(power().matchingService("IOPMrootDomain"), 0u);
    waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    EXPECT_LT(waited, 4.0);
}

TEST_F(LogindBackend, AssertionsAreSleepAndIdleInhibitors) {
    os::AssertionId sleep = 0;
    os::AssertionId idle = 0;
    ASSERT_EQ(power().createAssertion("PreventSystemSleep", 255, "Noctave: lid shut", &sleep), 0);
    ASSERT_EQ(power().createAssertion("PreventUserIdleSystemSleep", 255, "Noctave: awake", &idle),
              0);
    EXPECT_NE(sleep, idle);
    auto list = bus.inhibitors();
    EXPECT_TRUE(has(list, "sleep:block:Noctave"));
    EXPECT_TRUE(has(list, "idle:block:Noctave"));

    EXPECT_EQ(power().releaseAssertion(sleep), 0);
    EXPECT_TRUE(bus.waitForInhibitors([](const auto& l) {
        return !has(l, "sleep:block:Noctave") && has(l, "idle:block:Noctave");
    }));
    EXPECT_NE(power().releaseAssertion(sleep), 0) << "released once";

    os::AssertionId other = 0;
    EXPECT_NE(power().createAssertion("PreventDiskIdle", 255, "x", &other), 0);
    EXPECT_EQ(other, 0u);
}

TEST_F(LogindBackend, IdleAssertionAlsoHoldsTheDesktopsSuspendInhibition) {
    PrivateBus desktop(linuxos::BusKind::session);
    if (!desktop.unavailable().empty()) {
        GTEST_SKIP() << "no private session bus: " << desktop.unavailable();
    }
    const std::string gnome = "org.gnome.SessionManager";
    const std::string path = "/org/gnome/SessionManager";
    ASSERT_TRUE(desktop.startObject(gnome, path, gnome));
    ASSERT_TRUE(desktop.callMock(gnome, path, "AddMethod", "sssss",
                                 {gnome, "Inhibit", "susu", "u", "ret = 42"}));
    ASSERT_TRUE(
        desktop.callMock(gnome, path, "AddMethod", "sssss", {gnome, "Uninhibit", "u", "", ""}));
    auto session = std::make_shared<linuxos::DBusConnection>(linuxos::BusKind::session);
    LinuxPowerManagement withDesktop(roots, system, session);

    os::AssertionId sleep = 0;
    ASSERT_EQ(withDesktop.createAssertion("PreventSystemSleep", 255, "Noctave: lid shut", &sleep),
              0);
    EXPECT_TRUE(desktop.methodCalls(gnome, path, "Inhibit").empty())
        << "only idle sleep is the desktop's business";

    os::AssertionId idle = 0;
    ASSERT_EQ(
        withDesktop.createAssertion("PreventUserIdleSystemSleep", 255, "Noctave: awake", &idle), 0);
    EXPECT_EQ(desktop.methodCalls(gnome, path, "Inhibit"), std::vector<std::string>{"noctave"});
    EXPECT_TRUE(has(bus.inhibitors(), "idle:block:Noctave"));

    EXPECT_EQ(withDesktop.releaseAssertion(idle), 0);
    EXPECT_EQ(desktop.methodCalls(gnome, path, "Uninhibit").size(), 1u);
    EXPECT_EQ(withDesktop.releaseAssertion(sleep), 0);
}

TEST_F(LogindBackend, MutterIsTheInstantDisplaySleepWhereItRuns) {
    PrivateBus desktop(linuxos::BusKind::session);
    if (!desktop.unavailable().empty()) {
        GTEST_SKIP() << "no private session bus: " << desktop.unavailable();
    }
    auto session = std::make_shared<linuxos::DBusConnection>(linuxos::BusKind::session);
    linuxos::LinuxDisplayIdle idle(session);
    unsetenv("DISPLAY");
    EXPECT_EQ(idle.openLibrary("any", 1), 0u) << "neither Mutter nor an X server";

    const std::string mutter = "org.gnome.Mutter.DisplayConfig";
    const std::string path = "/org/gnome/Mutter/DisplayConfig";
    ASSERT_TRUE(desktop.startObject(mutter, path, mutter));
    ASSERT_TRUE(desktop.addProperty(mutter, path, mutter, "PowerSaveMode", 'i', "0"));
    auto library = idle.openLibrary("any", 1);
    ASSERT_EQ(library, linuxos::LinuxDisplayIdle::kMutter);
    auto sleepNow = idle.lookup(library, "any");
    ASSERT_TRUE(sleepNow);
    EXPECT_EQ(sleepNow(), 0);
    int32_t mode = -1;
    ASSERT_TRUE(desktop.control()
                    .getProperty(
                        mutter, path, mutter, "PowerSaveMode", "i",
                        [&](sd_bus_message* m) { return sd_bus_message_read(m, "i", &mode); }, 5.0)
                    .ok());
    EXPECT_EQ(mode, 3) << "3 is DPMS off";

    ASSERT_TRUE(desktop.stopTemplate(mutter));
    EXPECT_NE(sleepNow(), 0) << "a vanished Mutter is a failed instant path, not a success";
}

TEST_F(LogindBackend, LidActionFollowsLogindsSettingsAndAnyLidInhibitor) {
    for (auto [name, value] :
         {std::pair{"HandleLidSwitch", "suspend"}, std::pair{"HandleLidSwitchExternalPower", ""},
          std::pair{"HandleLidSwitchDocked", "ignore"}}) {
        ASSERT_TRUE(bus.addProperty(kLogin, kLoginPath, kManager, name, 's', value));
    }
    ASSERT_TRUE(bus.addProperty(kLogin, kLoginPath, kManager, "Docked", 'b', "false"));
    // On mains (no UPower, no batteries in the tree) the empty external-power action falls
    // back to the general one.
    EXPECT_EQ(power().lidActionStopsMachine(), true);
    auto causes =
        power().registryProperty(LinuxPowerManagement::kRootDomain, "AppleClamshellCausesSleep");
    ASSERT_TRUE(causes.has_value());
    EXPECT_EQ(causes->number, 1);

    auto connection = open();
    ASSERT_EQ(power().callScalarMethod(connection, kSelector, 1), 0);
    EXPECT_EQ(power().lidActionStopsMachine(), false) << "our inhibitor stops logind acting";
    ASSERT_EQ(power().callScalarMethod(connection, kSelector, 0), 0);
    ASSERT_TRUE(lidInhibitorGone());

    ASSERT_TRUE(bus.setProperty(kLogin, kLoginPath, kManager, "Docked", 'b', "true"));
    EXPECT_EQ(power().lidActionStopsMachine(), false);
    ASSERT_TRUE(
        bus.setProperty(kLogin, kLoginPath, kManager, "HandleLidSwitchDocked", 's', "poweroff"));
    EXPECT_EQ(power().lidActionStopsMachine(), true);
}

TEST_F(LogindBackend, ClamshellStateAndItsNotificationsComeFromUPower) {
    ASSERT_TRUE(bus.startTemplate("upower", kUPower));
    auto service = power().matchingService("IOPMrootDomain");
    auto state = [&] {
        auto value = power().registryProperty(service, "AppleClamshellState");
        return value ? value->number : std::nullopt;
    };
    EXPECT_EQ(state(), 0);

    std::mutex mutex;
    std::condition_variable cv;
    std::vector<std::optional<int64_t>> reports;
    auto queue = std::make_shared<runtime::SerialQueue>("noctave.lid-state");
    auto port = power().createNotificationPort();
    ASSERT_NE(port, 0u);
    power().setNotificationPortQueue(port, queue);
    os::IoObject registration = 0;
    ASSERT_EQ(power().addInterestNotification(
                  port, service, "IOGeneralInterest",
                  [&](os::IoObject, uint32_t, uint64_t) {
                      EXPECT_TRUE(queue->isCurrent());
                      auto now = state();
                      std::lock_guard lock(mutex);
                      reports.push_back(now);
                      cv.notify_all();
                  },
                  &registration),
              0);
    ASSERT_TRUE(bus.setProperty(kUPower, kUPowerPath, kUPower, "LidIsClosed", 'b', "true"));
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(10), [&] { return !reports.empty(); }));
        EXPECT_EQ(reports.back(), 1);
    }
    // Other messages of the power manager are reported too; the reader drops repeats.
    ASSERT_TRUE(bus.emitSignal(kLogin, kLoginPath, kManager, "PrepareForSleep", 'b', "false"));
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(
            cv.wait_for(lock, std::chrono::seconds(10), [&] { return reports.size() >= 2; }));
        EXPECT_EQ(reports.back(), 1);
    }
    EXPECT_EQ(power().releaseObject(registration), 0);
    power().destroyNotificationPort(port);
}

TEST_F(LogindBackend, NoLidAnywhereIsUnknown) {
    ASSERT_TRUE(bus.startTemplate("upower", kUPower, "{'LidIsPresent': False}"));
    EXPECT_FALSE(
        power().registryProperty(LinuxPowerManagement::kRootDomain, "AppleClamshellState"));
    EXPECT_EQ(power().lidSwitch().source(), linuxos::LidSwitch::Source::none);
}

TEST_F(LogindBackend, SessionLockAsksLogindForTheCallersSession) {
    linuxos::LinuxSessionLock lock(system);
    auto library = lock.openLibrary("any", 5);
    ASSERT_NE(library, 0u);
    auto lockNow = lock.lookup(library, "any");
    ASSERT_TRUE(lockNow);
    lockNow();
    EXPECT_EQ(bus.methodCalls(kLogin, kLoginPath, "LockSession"), std::vector<std::string>{"auto"});

    ASSERT_TRUE(bus.stopTemplate(kLogin));
    EXPECT_EQ(lock.openLibrary("any", 5), 0u) << "no logind: no way to lock";
}

class LinuxEvents : public LogindBackend {
  protected:
    runtime::ThreadedRuntime runtime;
    runtime::RuntimeInstaller installer{runtime};
};

TEST_F(LinuxEvents, PowerSourcesFollowUPowerAndAnnounceOnTheMainQueue) {
    ASSERT_TRUE(bus.startTemplate("upower", kUPower));
    linuxos::LinuxPowerSources sources(roots, system);
    EXPECT_EQ(sources.providingPowerSourceType(), "AC Power");
    EXPECT_EQ(sources.powerSources()->size(), 0u) << "UPower shows no battery";

    ASSERT_TRUE(bus.setProperty(kUPower, kDisplayDevice, "org.freedesktop.UPower.Device", "Type",
                                'u', "2"));
    ASSERT_TRUE(bus.setProperty(kUPower, kDisplayDevice, "org.freedesktop.UPower.Device",
                                "IsPresent", 'b', "true"));
    ASSERT_TRUE(bus.setProperty(kUPower, kDisplayDevice, "org.freedesktop.UPower.Device",
                                "EnergyFull", 'd', "50.5"));
    ASSERT_TRUE(bus.setProperty(kUPower, kDisplayDevice, "org.freedesktop.UPower.Device", "Energy",
                                'd', "40.25"));
    auto list = sources.powerSources();
    ASSERT_EQ(list->size(), 1u);
    EXPECT_EQ((*list)[0]->currentCapacity, 40250);
    EXPECT_EQ((*list)[0]->maxCapacity, 50500);

    int calls = 0;
    auto handle = sources.createNotificationSource([&] {
        EXPECT_TRUE(runtime.mainQueue().isCurrent());
        ++calls;
    });
    sources.addToMainQueue(handle);
    ASSERT_TRUE(bus.setProperty(kUPower, kUPowerPath, kUPower, "OnBattery", 'b', "true"));
    EXPECT_TRUE(runtime.runUntil([&] { return calls > 0; }, 10.0));
    EXPECT_EQ(sources.providingPowerSourceType(), "Battery Power");

    int before = calls;
    ASSERT_TRUE(bus.setProperty(kUPower, kDisplayDevice, "org.freedesktop.UPower.Device", "Energy",
                                'd', "10"));
    EXPECT_TRUE(runtime.runUntil([&] { return calls > before; }, 10.0));
    sources.removeNotificationSource(handle);
}

TEST_F(LinuxEvents, WorkspaceReportsWakeAndTheSessionBecomingActive) {
    unsetenv("XDG_SESSION_ID");
    linuxos::LinuxWorkspace workspace(system, nullptr, nullptr);
    int woke = 0;
    int active = 0;
    auto wakeToken = workspace.addObserver(os::Workspace::Notification::didWake, [&] { ++woke; });
    workspace.addObserver(os::Workspace::Notification::sessionDidBecomeActive, [&] { ++active; });

    ASSERT_TRUE(bus.emitSignal(kLogin, kLoginPath, kManager, "PrepareForSleep", 'b', "true"));
    ASSERT_TRUE(bus.emitSignal(kLogin, kLoginPath, kManager, "PrepareForSleep", 'b', "false"));
    EXPECT_TRUE(runtime.runUntil([&] { return woke > 0; }, 10.0));
    EXPECT_EQ(woke, 1) << "going to sleep is not waking";

    ASSERT_TRUE(bus.callMock(kLogin, kLoginPath, "AddSession", "ssusb",
                             {"c1", "seat0", "1000", "user", "false"}));
    ASSERT_TRUE(bus.setProperty(kLogin, "/org/freedesktop/login1/session/c1",
                                "org.freedesktop.login1.Session", "Active", 'b', "true"));
    EXPECT_TRUE(runtime.runUntil([&] { return active > 0; }, 10.0));

    workspace.removeObserver(wakeToken);
    ASSERT_TRUE(bus.emitSignal(kLogin, kLoginPath, kManager, "PrepareForSleep", 'b', "false"));
    ASSERT_TRUE(bus.setProperty(kLogin, "/org/freedesktop/login1/session/c1",
                                "org.freedesktop.login1.Session", "Active", 'b', "true"));
    EXPECT_TRUE(runtime.runUntil([&] { return active > 1; }, 10.0));
    EXPECT_EQ(woke, 1) << "a removed observer hears nothing more";
}

}  // namespace
}  // namespace noctave::test

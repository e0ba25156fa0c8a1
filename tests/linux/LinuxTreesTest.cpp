// The Linux backend's readers and decisions over fake sysfs/devfs/procfs trees.
#include <gtest/gtest.h>

#include <linux/input.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "platform/linux/DrmConnectors.hpp"
#include "platform/linux/HingeSensorNodes.hpp"
#include "platform/linux/InputDevices.hpp"
#include "platform/linux/LidSwitch.hpp"
#include "platform/linux/LinuxDisplays.hpp"
#include "platform/linux/LinuxHidManager.hpp"
#include "platform/linux/LinuxKeyboardState.hpp"
#include "platform/linux/LinuxPowerSources.hpp"
#include "platform/linux/LinuxProcesses.hpp"
#include "platform/linux/LinuxThermal.hpp"
#include "platform/linux/PowerSupplyTree.hpp"
#include "tests/support/ChildProcess.hpp"
#include "tests/support/LogCapture.hpp"
#include "tests/support/TempDir.hpp"

namespace noctave::test {
namespace {

namespace fs = std::filesystem;

class FakeTree : public ::testing::Test {
  protected:
    linuxos::MachineRoots roots() const {
        return {temp.path() / "sys", temp.path() / "dev", temp.path() / "proc"};
    }
    void write(const fs::path& relative, const std::string& content) {
        fs::path file = temp.path() / relative;
        fs::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary) << content;
    }
    // A power_supply folder from "key=value" pairs separated by spaces.
    void supply(const std::string& name, const std::string& attributes) {
        std::istringstream pairs(attributes);
        for (std::string pair; pairs >> pair;) {
            auto eq = pair.find('=');
            write("sys/class/power_supply/" + name + "/" + pair.substr(0, eq),
                  pair.substr(eq + 1) + "\n");
        }
    }
    bool onBattery() {
        return linuxos::runsOnBattery(
            linuxos::readPowerSupplies(temp.path() / "sys/class/power_supply"));
    }

    TempDir temp;
};

TEST_F(FakeTree, PowerSuppliesUnitsPeripheralsAndMissingFiles) {
    supply("AC", "type=Mains online=0");
    // µWh pair (a stray charge file does not mix in), µAh pair, percent only, half a pair.
    supply("BAT0",
           "type=Battery status=Discharging energy_now=40000000 energy_full=50000000 charge_now=1");
    supply("BAT1", "type=Battery charge_now=2000000 charge_full=3000000");
    supply("BAT2", "type=Battery capacity=77");
    supply("BAT3", "type=Battery energy_now=10 present=0");
    supply("hidpp_battery_0", "type=Battery scope=Device capacity=5");

    auto text = [](std::optional<long long> v) { return v ? std::to_string(*v) : "-"; };
    std::vector<std::string> seen;
    for (const auto& s : linuxos::readPowerSupplies(temp.path() / "sys/class/power_supply")) {
        seen.push_back(s.name + " " + text(s.currentCapacity) + "/" + text(s.maxCapacity));
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"AC -/-", "BAT0 40000000/50000000",
                                              "BAT1 2000000/3000000", "BAT2 77/100", "BAT3 -/-"}))
        << "a mouse's battery is never the laptop's";

    // Without UPower (no bus at all) the tree is the source: every present battery.
    linuxos::LinuxPowerSources sources(roots(), nullptr);
    EXPECT_EQ(sources.providingPowerSourceType(), "Battery Power");
    auto reported = sources.powerSources();
    ASSERT_TRUE(reported.has_value());
    ASSERT_EQ(reported->size(), 3u) << "an absent battery is no source";
    EXPECT_EQ((*reported)[1]->currentCapacity, 2000000);
}

TEST_F(FakeTree, OnBatteryNeedsABatteryAndNoOnlineLinePower) {
    EXPECT_FALSE(onBattery()) << "no tree";
    supply("hidpp_battery_0", "type=Battery scope=Device status=Discharging");
    EXPECT_FALSE(onBattery()) << "a desktop with a wireless mouse is not on battery";
    supply("BAT0", "type=Battery status=Full");
    EXPECT_FALSE(onBattery()) << "no line-power node: only a discharging battery says so";
    supply("ADP1", "type=Mains online=1");
    supply("ucsi-source-psy-USBC000:001", "type=USB online=0");
    EXPECT_FALSE(onBattery());
    supply("ADP1", "online=0");
    EXPECT_TRUE(onBattery());
    supply("ucsi-source-psy-USBC000:001", "online=1");
    EXPECT_FALSE(onBattery()) << "charging over USB-C is mains power";
}

TEST_F(FakeTree, DrmConnectorsCountActiveExternalsByTheBuiltinRule) {
    const std::pair<const char*, const char*> types[] = {{"card0-HDMI-A-1", "HDMI-A"},
                                                         {"card12-eDP-1", "eDP"},
                                                         {"card0", ""},
                                                         {"renderD128", ""},
                                                         {"card0-DP-x", ""}};
    for (auto [name, type] : types) {
        EXPECT_EQ(linuxos::drmConnectorType(name), type) << name;
    }

    const std::tuple<const char*, const char*, const char*> connectors[] = {
        {"card0-eDP-1", "connected", "enabled"},       {"card0-LVDS-1", "connected", "enabled"},
        {"card0-Writeback-1", "connected", "enabled"}, {"card1-HDMI-A-1", "connected", "enabled"},
        {"card1-DP-2", "connected", "disabled"},       {"card1-DP-3", "disconnected", "disabled"},
        {"card1-DVI-I-1", "connected", nullptr}};  // drivers without the attribute
    write("sys/class/drm/version", "drm 1.1.0 20060810\n");
    for (auto [name, status, enabled] : connectors) {
        write("sys/class/drm/" + std::string(name) + "/status", std::string(status) + "\n");
        if (enabled != nullptr) {
            write("sys/class/drm/" + std::string(name) + "/enabled", std::string(enabled) + "\n");
        }
    }
    auto list = linuxos::readDrmConnectors(temp.path() / "sys/class/drm");
    EXPECT_EQ(list.size(), 7u);
    EXPECT_EQ(linuxos::countActiveExternal(list), 2);
}

TEST_F(FakeTree, DisplaysReportEachChangedConnectorWillThenDid) {
    auto connector = [&](const std::string& name, bool on) {
        write("sys/class/drm/" + name + "/status", on ? "connected\n" : "disconnected\n");
        write("sys/class/drm/" + name + "/enabled", on ? "enabled\n" : "disabled\n");
    };
    connector("card0-eDP-1", true);
    connector("card0-DP-1", false);
    connector("card0-DP-2", false);
    linuxos::LinuxDisplays displays(roots());
    std::vector<uint32_t> flags;
    os::Displays::Registration registration = 0;
    ASSERT_EQ(displays.registerReconfigurationCallback(
                  [&](os::Displays::DisplayId, uint32_t f) { flags.push_back(f); }, &registration),
              0);

    connector("card0-DP-1", true);
    connector("card0-DP-2", true);
    displays.rescan();
    const uint32_t begin = os::Displays::kBeginConfigurationFlag;
    EXPECT_EQ(flags, (std::vector<uint32_t>{begin, begin, 0, 0}));
    std::array<os::Displays::DisplayId, 4> ids{};
    uint32_t count = 0;
    displays.activeDisplayList(ids, &count);
    EXPECT_EQ(count, 3u);

    // A dock unplugged takes its connectors with it.
    fs::remove_all(temp.path() / "sys/class/drm/card0-DP-2");
    displays.rescan();
    EXPECT_EQ(flags.size(), 6u);
    displays.removeReconfigurationCallback(registration);
    connector("card0-DP-1", false);
    displays.rescan();
    EXPECT_EQ(flags.size(), 6u) << "a removed callback hears nothing more";
}

// Usage Page (Sensor), Usage (0x8A), Collection (Application) ... as a hinge sensor declares.
const std::vector<uint8_t> kHingeDescriptor = {0x05, 0x20, 0x09, 0x8A, 0xA1, 0x01, 0x85, 0x01,
                                               0x75, 0x10, 0x95, 0x01, 0xB1, 0x02, 0xC0};

TEST_F(FakeTree, HidDescriptorPrimaryUsageIsTheFirstTopLevelCollection) {
    const std::vector<uint8_t> keyboard = {0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0xC0};
    const linuxos::HidPrimaryUsage keyboardUsage{0x01, 0x06};
    std::vector<uint8_t> hingeSecond = keyboard;
    hingeSecond.insert(hingeSecond.end(), kHingeDescriptor.begin(), kHingeDescriptor.end());
    const std::pair<std::vector<uint8_t>, std::optional<linuxos::HidPrimaryUsage>> cases[] = {
        {kHingeDescriptor, linuxos::kHingeSensorUsage},
        {keyboard, keyboardUsage},
        // Extended (4-byte) usage carrying its own page, after a skipped long item.
        {{0xFE, 0x01, 0x10, 0xAA, 0x0B, 0x8A, 0x00, 0x20, 0x00, 0xA1, 0x01, 0xC0},
         linuxos::kHingeSensorUsage},
        {hingeSecond, keyboardUsage},
        {{0x05, 0x20, 0x0A, 0x8A}, std::nullopt},  // truncated in the middle of an item
        {{0x05, 0x20, 0x09, 0x8A}, std::nullopt},  // no collection
        {{}, std::nullopt}};
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(linuxos::primaryUsage(cases[i].first), cases[i].second) << "case " << i;
    }
}

TEST_F(FakeTree, HingeDevicesFromHidrawDescriptorsAndIio) {
    write("sys/class/hidraw/hidraw0/device/report_descriptor",
          std::string("\x05\x01\x09\x06\xA1\x01\xC0", 7));
    write("sys/class/hidraw/hidraw3/device/report_descriptor",
          std::string(kHingeDescriptor.begin(), kHingeDescriptor.end()));
    auto nodes = linuxos::findHidraw(roots(), linuxos::kHingeSensorUsage);
    ASSERT_EQ(nodes.size(), 1u);
    EXPECT_EQ(nodes[0], temp.path() / "dev/hidraw3");

    // IIO: scale and offset in radians; 90 degrees = pi/2.
    const std::string iio = "sys/bus/iio/devices/iio:device1/";
    write("sys/bus/iio/devices/iio:device0/name", "accel_3d\n");
    write(iio + "name", "hinge\n");
    write(iio + "in_angl0_raw", "1570\n");
    write(iio + "in_angl_scale", "0.001\n");
    write(iio + "in_angl_offset", "0.79\n");

    // Through the HID port, the IIO channel answers the sensor's feature report, read afresh
    // each time. The hidraw node is listed too but does not exist in the fake /dev.
    linuxos::LinuxHidManager manager(roots());
    auto devices = manager.create({0x20, 0x8A})->copyDevices();
    ASSERT_TRUE(devices.has_value());
    ASSERT_EQ(devices->size(), 2u);
    EXPECT_NE((*devices)[0]->open(), 0);
    auto& channel = *(*devices)[1];
    ASSERT_EQ(channel.open(), 0);
    uint8_t buffer[8] = {};
    std::size_t length = 0;
    for (auto [raw, degrees] : {std::pair{"1570\n", 90}, std::pair{"3141\n", 180}}) {
        write(iio + "in_angl0_raw", raw);
        ASSERT_EQ(channel.getReport(os::HidReportType::feature, 1, buffer, sizeof buffer, length),
                  0);
        EXPECT_EQ(length, 3u);
        EXPECT_EQ(buffer[0], 1);
        EXPECT_EQ(buffer[1] | (buffer[2] << 8), degrees);
    }
    EXPECT_EQ(manager.create({0x01, 0x06})->copyDevices()->size(), 1u)
        << "only the hinge usage adds the IIO channel";
}

TEST_F(FakeTree, LidAndFnInputsFromCapabilitiesAndAcpi) {
    const std::tuple<const char*, unsigned, bool> masks[] = {
        {"1", SW_LID, true},
        {"2", SW_LID, false},
        {"", SW_LID, false},
        // KEY_FN = 464 = word 7, bit 16: eight words, the last listed is word 0.
        {"10000 0 0 0 0 0 0 0", KEY_FN, true},
        {"10000 0 0 0 0 0 0", KEY_FN, false}};
    for (auto [mask, code, has] : masks) {
        EXPECT_EQ(linuxos::capabilityHasBit(mask, code), has) << mask << " / " << code;
    }
    write("sys/class/input/input3/capabilities/sw", "1\n");
    write("sys/class/input/input5/capabilities/sw", "0\n");
    auto lids = linuxos::findSwitchCapableInputs(roots(), SW_LID);
    ASSERT_EQ(lids.size(), 1u);
    EXPECT_EQ(lids[0].filename(), "input3");

    // No readable lid event node here: ACPI's state file is the last resort, else unknown.
    EXPECT_FALSE(linuxos::LidSwitch(roots(), nullptr).isClosed().has_value());
    write("proc/acpi/button/lid/LID0/state", "state:      closed\n");
    linuxos::LidSwitch acpi(roots(), nullptr);
    EXPECT_EQ(acpi.source(), linuxos::LidSwitch::Source::acpi);
    EXPECT_EQ(acpi.isClosed(), true);
    write("proc/acpi/button/lid/LID0/state", "state:      open\n");
    EXPECT_EQ(acpi.isClosed(), false);
}

TEST_F(FakeTree, FnIsNeverHeldWhenNoKeyboardCanReportItAndTheLogSaysWhy) {
    LogCapture log;
    for (auto why : {"no input event devices", "no keyboard reports an fn key"}) {
        log.clear();
        linuxos::LinuxKeyboardState keyboard(roots());
        EXPECT_FALSE(keyboard.isFunctionHeld());
        EXPECT_EQ(log.lines(), std::vector<std::string>{"INF fn key unreadable (" +
                                                        std::string(why) + "); fn is never held"});
        // A key that never changes is announced by silence: the gesture must not poll for it.
        const auto observer =
            keyboard.addFunctionObserver([] { ADD_FAILURE() << "no Fn to announce"; });
        EXPECT_NE(observer, 0u);
        keyboard.removeFunctionObserver(observer);
        write("dev/input/event0", "");  // a node that answers no evdev ioctl
    }
}

TEST_F(FakeTree, ProcessesBootTimeLivenessAndSpawnWithoutAShell) {
    write("proc/stat", "cpu  1 2 3\nintr 5\nbtime 1765000000\nprocesses 9\n");
    linuxos::LinuxProcesses processes(temp.path() / "proc");
    EXPECT_EQ(processes.bootTime(), 1765000000);
    write("proc/stat", "cpu  1 2 3\n");
    EXPECT_EQ(processes.bootTime(), 0);

    EXPECT_TRUE(processes.isAlive(processes.currentPid()));
    EXPECT_FALSE(processes.isAlive(0)) << "pid 0 is the process group, not a process";
    EXPECT_FALSE(processes.isAlive(-1));

    // Shell metacharacters reach the program as they are: test(1) compares them verbatim.
    auto same = processes.spawnAndWait("test", {"a b;$(false)", "=", "a b;$(false)"});
    EXPECT_TRUE(same.launched);
    EXPECT_EQ(same.exitStatus, 0);
    EXPECT_EQ(processes.spawnAndWait("/usr/bin/test", {"a", "=", "b"}).exitStatus, 1);
    auto missing = processes.spawnAndWait("/nonexistent/noctave-helper", {});
    EXPECT_FALSE(missing.launched);
    EXPECT_FALSE(missing.error.empty());
}

// A process folder as the kernel writes it; "stat" with the start time in its 22nd field.
class FakeProcesses : public FakeTree {
  protected:
    void process(const std::string& folder, const std::string& comm, const std::string& cmdline,
                 uint64_t startTime) {
        write(folder + "/comm", comm + "\n");
        write(folder + "/cmdline", cmdline);
        write(folder + "/stat", "4242 (" + comm + ") S 1 4242 4242 0 -1 4194304 90 0 0 0 1 0 0 0 " +
                                    "20 0 1 0 " + std::to_string(startTime) + " 9 1 ...\n");
    }
    static std::string pids(const std::vector<os::Processes::ProcessInfo>& list) {
        std::string text;
        for (const auto& process : list) {
            text += std::to_string(process.pid) + ":" + process.name + " ";
        }
        return text;
    }
};

TEST_F(FakeProcesses, NamedByArgvZeroWithTheKernelsShortNameBesideAndThisOneLeftOut) {
    using namespace std::string_literals;
    process("proc/4242", "transmission-gt", "/usr/bin/transmission-gtk\0--minimized\0"s, 100);
    // A script: argv[0] is its interpreter, and only the short name names the script.
    process("proc/4243", "backup.sh", "/bin/sh\0./backup.sh\0"s, 101);
    process("proc/4244", "bash", "-bash\0"s, 102);  // exec -a, as a login shell starts
    process("proc/77", "kworker/0:1", "", 5);
    process("proc/" + std::to_string(::getpid()), "noctave", "noctave\0"s, 9);
    write("proc/stat", "btime 1\n");
    write("proc/gone/comm", "x\n");
    linuxos::LinuxProcesses processes(temp.path() / "proc");
    auto list = processes.trackUserProcesses()->update().started;
    std::sort(list.begin(), list.end(), [](auto& a, auto& b) { return a.pid < b.pid; });
    ASSERT_EQ(list.size(), 4u);
    EXPECT_EQ(list[0].name, "kworker/0:1");
    EXPECT_EQ(list[0].commandLine, "");
    EXPECT_EQ(list[1].pid, 4242);
    EXPECT_EQ(list[1].name, "transmission-gtk");
    EXPECT_EQ(list[1].shortName, "transmission-gt");
    EXPECT_EQ(list[1].commandLine, "/usr/bin/transmission-gtk --minimized");
    EXPECT_EQ(list[1].startTime, 100u);
    EXPECT_EQ(list[2].name, "sh");
    EXPECT_EQ(list[2].shortName, "backup.sh");
    EXPECT_EQ(list[3].name, "-bash");
}

// Pids above the kernel's highest possible one, so that no real process answers for them. The
// tree has no loadavg: every look lists the folders.
TEST_F(FakeProcesses, ALaterLookReadsOnlyNewProcessesTellsAReusedPidByItsStartTimeAndAnExec) {
    using namespace std::string_literals;
    process("proc/5000001", "make", "make\0"s, 100);
    process("proc/5000002", "rsync", "rsync\0"s, 101);
    process("proc/5000003", "sleep", "sleep\0"s, 102);
    linuxos::LinuxProcesses processes(temp.path() / "proc");
    auto tracker = processes.trackUserProcesses();
    ASSERT_EQ(tracker->update().started.size(), 3u);
    tracker->follow(5000002);
    tracker->follow(5000003);

    // A process seen before is not read again: with its files gone it still stands.
    fs::remove(temp.path() / "proc/5000001/stat");
    fs::remove(temp.path() / "proc/5000001/comm");
    process("proc/5000004", "cc1plus", "/usr/lib/gcc/cc1plus\0-O2\0"s, 103);
    auto changes = tracker->update();
    EXPECT_EQ(pids(changes.started), "5000004:cc1plus ");
    EXPECT_TRUE(changes.ended.empty());

    // 5000002 ends; 5000003's pid goes to a new process (its folder is new, its start time
    // later); 5000004's folder is built anew for the same process. Each new folder stands beside
    // the old one for a moment, so it cannot take the old one's inode number.
    fs::remove_all(temp.path() / "proc/5000002");
    process("proc/new-5000003", "python3", "python3\0train.py\0"s, 110);
    process("proc/new-5000004", "cc1plus", "/usr/lib/gcc/cc1plus\0-O2\0"s, 103);
    for (const std::string pid : {"5000003", "5000004"}) {
        fs::remove_all(temp.path() / "proc" / pid);
        fs::rename(temp.path() / "proc" / ("new-" + pid), temp.path() / "proc" / pid);
    }
    changes = tracker->update();
    EXPECT_EQ(pids(changes.started), "5000003:python3 ");
    std::sort(changes.ended.begin(), changes.ended.end());
    EXPECT_EQ(changes.ended, (std::vector<int>{5000002, 5000003}));

    // A process a moment old is read once more at the next look: it may have been a launcher
    // about to exec its program.
    timespec now{};
    ::clock_gettime(CLOCK_BOOTTIME, &now);
    const auto ticks = static_cast<uint64_t>(now.tv_sec * ::sysconf(_SC_CLK_TCK));
    process("proc/5000005", "nohup", "nohup\0rsync\0-a\0"s, ticks);
    EXPECT_EQ(pids(tracker->update().started), "5000005:nohup ");
    write("proc/5000005/cmdline", "rsync\0-a\0"s);
    EXPECT_EQ(pids(tracker->update().started), "5000005:rsync ");

    changes = tracker->update();
    EXPECT_TRUE(changes.started.empty());
    EXPECT_TRUE(changes.ended.empty());
}

// The kernel's own /proc: a program started after the first look is found by probing the pids
// handed out since, and its end is its pidfd's.
TEST(RealProcesses, AProgramStartedLaterIsFoundAndItsEndReported) {
    const linuxos::LinuxProcesses processes;
    auto tracker = processes.trackUserProcesses();
    const auto first = tracker->update().started;
    ASSERT_FALSE(first.empty());
    EXPECT_TRUE(std::none_of(first.begin(), first.end(),
                             [](const auto& p) { return p.pid == ::getpid(); }));

    // Looked at once it has said so, so that it is past its exec (mid-exec, its arguments are
    // not there yet: the look after would read it again).
    const std::string script = "echo ready; sleep 60; : noctave-tracker-test";
    ChildProcess child("sh", {"-c", script}, {.ownProcessGroup = true});
    ASSERT_TRUE(child.waitForLine(Stream::output, "ready"));
    const auto started = tracker->update().started;
    const auto found = std::find_if(started.begin(), started.end(),
                                    [&](const auto& p) { return p.pid == child.pid(); });
    ASSERT_NE(found, started.end());
    EXPECT_EQ(found->name, "sh");
    EXPECT_EQ(found->commandLine, "sh -c " + script);
    tracker->follow(child.pid());

    child.signalGroup(SIGTERM);
    child.wait();
    const auto ended = tracker->update().ended;
    EXPECT_EQ(ended, (std::vector<int>{child.pid()}));
}

TEST_F(FakeTree, ThermalPrefersTheHottestCpuSensorWithItsOwnTripPoint) {
    linuxos::LinuxThermal thermal(roots().sys);
    EXPECT_FALSE(thermal.hasSensor());
    EXPECT_FALSE(thermal.read().celsius.has_value());

    // A board sensor alone counts, with its hot trip point when it has no critical one.
    write("sys/class/thermal/thermal_zone0/type", "acpitz\n");
    write("sys/class/thermal/thermal_zone0/temp", "51000\n");
    write("sys/class/thermal/thermal_zone0/trip_point_0_type", "hot\n");
    write("sys/class/thermal/thermal_zone0/trip_point_0_temp", "98000\n");
    EXPECT_TRUE(thermal.hasSensor());
    auto reading = thermal.read();
    EXPECT_EQ(reading.celsius, 51.0);
    EXPECT_EQ(reading.criticalCelsius, 98.0);
    EXPECT_EQ(reading.sensor, "acpitz");

    // Once a CPU sensor exists, the cooler-looking board zone no longer counts even when hotter.
    write("sys/class/thermal/thermal_zone0/temp", "88000\n");
    write("sys/class/thermal/thermal_zone1/type", "x86_pkg_temp\n");
    write("sys/class/thermal/thermal_zone1/temp", "70500\n");
    write("sys/class/thermal/thermal_zone1/trip_point_0_type", "passive\n");
    write("sys/class/thermal/thermal_zone1/trip_point_0_temp", "80000\n");
    write("sys/class/thermal/thermal_zone1/trip_point_1_type", "critical\n");
    write("sys/class/thermal/thermal_zone1/trip_point_1_temp", "105000\n");
    write("sys/class/hwmon/hwmon3/name", "coretemp\n");
    write("sys/class/hwmon/hwmon3/temp2_input", "74000\n");
    write("sys/class/hwmon/hwmon3/temp2_crit", "100000\n");
    write("sys/class/hwmon/hwmon3/temp3_input", "-273200\n");  // not wired
    reading = thermal.read();
    EXPECT_EQ(reading.celsius, 74.0);
    EXPECT_EQ(reading.criticalCelsius, 100.0);
    EXPECT_EQ(reading.sensor, "coretemp temp2");

    write("sys/class/hwmon/hwmon3/temp2_input", "60000\n");
    reading = thermal.read();
    EXPECT_EQ(reading.sensor, "x86_pkg_temp");
    EXPECT_EQ(reading.celsius, 70.5);
    EXPECT_EQ(reading.criticalCelsius, 105.0);

    // Sensors that cannot be read: present, but no temperature, and which one is named.
    fs::remove(temp.path() / "sys/class/thermal/thermal_zone1/temp");
    fs::remove(temp.path() / "sys/class/hwmon/hwmon3/temp2_input");
    reading = thermal.read();
    EXPECT_FALSE(reading.celsius.has_value());
    EXPECT_FALSE(reading.sensor.empty());
}

}  // namespace
}  // namespace noctave::test

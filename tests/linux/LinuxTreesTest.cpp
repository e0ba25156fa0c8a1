// The Linux backend's readers and decisions over fake sysfs/devfs/procfs trees.
#include <gtest/gtest.h>

#include <linux/input.h>

#include <array>
#include <filesystem>
#include <fstream>

#include "platform/linux/DrmConnectors.hpp"
#include "platform/linux/HingeSensorNodes.hpp"
#include "platform/linux/InputDevices.hpp"
#include "platform/linux/LidSwitch.hpp"
#include "platform/linux/LinuxDisplays.hpp"
#include "platform/linux/LinuxHidManager.hpp"
#include "platform/linux/LinuxKeyboardState.hpp"
#include "platform/linux/LinuxPowerSources.hpp"
#include "platform/linux/LinuxProcesses.hpp"
#include "platform/linux/PowerSupplyTree.hpp"
#include "tests/support/LogCapture.hpp"
#include "tests/support/TempDir.hpp"

namespace noctave::test {
namespace {

using linuxos::MachineRoots;
namespace fs = std::filesystem;

class FakeTree : public ::testing::Test {
  protected:
    MachineRoots roots() const {
        return MachineRoots{temp.path() / "sys", temp.path() / "dev", temp.path() / "proc"};
    }
    void write(const fs::path& relative, const std::string& content) {
        fs::path file = temp.path() / relative;
        fs::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary) << content;
    }
    void supply(const std::string& name, std::map<std::string, std::string> attributes) {
        for (const auto& [key, value] : attributes) {
            write("sys/class/power_supply/" + name + "/" + key, value + "\n");
        }
    }
    fs::path supplies() const { return temp.path() / "sys/class/power_supply"; }

    TempDir temp;
};

TEST_F(FakeTree, PowerSupplyUnitsPeripheralsAndMissingFiles) {
    supply("AC", {{"type", "Mains"}, {"online", "0"}});
    // Energy pair (µWh) on one battery, charge pair (µAh) on the other.
    supply("BAT0", {{"type", "Battery"},
                    {"status", "Discharging"},
                    {"energy_now", "40000000"},
                    {"energy_full", "50000000"},
                    {"charge_now", "1"}});
    supply("BAT1", {{"type", "Battery"},
                    {"status", "Discharging"},
                    {"charge_now", "2000000"},
                    {"charge_full", "3000000"}});
    // A mouse: never the laptop's battery.
    supply("hidpp_battery_0", {{"type", "Battery"}, {"scope", "Device"}, {"capacity", "5"}});
    // Only a capacity percentage, and one with nothing usable.
    supply("BAT2", {{"type", "Battery"}, {"capacity", "77"}});
    supply("BAT3", {{"type", "Battery"}, {"energy_now", "10"}});

    auto list = linuxos::readPowerSupplies(supplies());
    ASSERT_EQ(list.size(), 5u);
    EXPECT_EQ(list[0].name, "AC");
    EXPECT_EQ(list[1].currentCapacity, 40000000);
    EXPECT_EQ(list[1].maxCapacity, 50000000);
    EXPECT_EQ(list[2].currentCapacity, 2000000);
    EXPECT_EQ(list[2].maxCapacity, 3000000);
    EXPECT_EQ(list[3].currentCapacity, 77);
    EXPECT_EQ(list[3].maxCapacity, 100);
    EXPECT_FALSE(list[4].currentCapacity.has_value());
    for (const auto& s : list) {
        EXPECT_NE(s.name, "hidpp_battery_0");
    }
    EXPECT_TRUE(linuxos::runsOnBattery(list));
}

TEST_F(FakeTree, OnBatteryNeedsABatteryAndNoOnlineLinePower) {
    EXPECT_FALSE(linuxos::runsOnBattery(linuxos::readPowerSupplies(supplies())));  // no tree

    supply("hidpp_battery_0",
           {{"type", "Battery"}, {"scope", "Device"}, {"status", "Discharging"}});
    EXPECT_FALSE(linuxos::runsOnBattery(linuxos::readPowerSupplies(supplies())))
        << "a desktop with a wireless mouse is not on battery";

    supply("BAT0", {{"type", "Battery"}, {"status", "Full"}});
    EXPECT_FALSE(linuxos::runsOnBattery(linuxos::readPowerSupplies(supplies())))
        << "no line-power node: only a discharging battery says so";

    supply("ADP1", {{"type", "Mains"}, {"online", "1"}});
    supply("ucsi-source-psy-USBC000:001", {{"type", "USB"}, {"online", "0"}});
    EXPECT_FALSE(linuxos::runsOnBattery(linuxos::readPowerSupplies(supplies())));

    supply("ADP1", {{"type", "Mains"}, {"online", "0"}});
    EXPECT_TRUE(linuxos::runsOnBattery(linuxos::readPowerSupplies(supplies())));

    supply("ucsi-source-psy-USBC000:001", {{"type", "USB"}, {"online", "1"}});
    EXPECT_FALSE(linuxos::runsOnBattery(linuxos::readPowerSupplies(supplies())))
        << "charging over USB-C is mains power";
}

TEST_F(FakeTree, SysfsPowerSourcesReportEveryBatteryWithoutUPower) {
    supply("AC", {{"type", "Mains"}, {"online", "0"}});
    supply("BAT0", {{"type", "Battery"},
                    {"status", "Discharging"},
                    {"energy_now", "2"},
                    {"energy_full", "3"}});
    supply("BAT1", {{"type", "Battery"}, {"present", "0"}});
    // No bus connection at all: the fallback is the only source.
    linuxos::LinuxPowerSources sources(roots(), nullptr);
    EXPECT_EQ(sources.providingPowerSourceType(), "Battery Power");
    auto list = sources.powerSources();
    ASSERT_TRUE(list.has_value());
    ASSERT_EQ(list->size(), 1u) << "an absent battery is no source";
    EXPECT_EQ((*list)[0]->currentCapacity, 2);
    EXPECT_EQ((*list)[0]->maxCapacity, 3);
}

TEST_F(FakeTree, DrmConnectorsCountActiveExternalsByTheBuiltinRule) {
    EXPECT_EQ(linuxos::drmConnectorType("card0-HDMI-A-1"), "HDMI-A");
    EXPECT_EQ(linuxos::drmConnectorType("card12-eDP-1"), "eDP");
    EXPECT_EQ(linuxos::drmConnectorType("card0"), "");
    EXPECT_EQ(linuxos::drmConnectorType("renderD128"), "");
    EXPECT_EQ(linuxos::drmConnectorType("card0-DP-x"), "");

    auto connector = [&](const std::string& name, const char* status, const char* enabled) {
        write("sys/class/drm/" + name + "/status", std::string(status) + "\n");
        if (enabled != nullptr) {
            write("sys/class/drm/" + name + "/enabled", std::string(enabled) + "\n");
        }
    };
    write("sys/class/drm/version", "drm 1.1.0 20060810\n");
    connector("card0-eDP-1", "connected", "enabled");
    connector("card0-LVDS-1", "connected", "enabled");
    connector("card0-Writeback-1", "connected", "enabled");
    connector("card1-HDMI-A-1", "connected", "enabled");
    connector("card1-DP-2", "connected", "disabled");
    connector("card1-DP-3", "disconnected", "disabled");
    connector("card1-DVI-I-1", "connected", nullptr);  // drivers without the attribute

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

    uint32_t count = 0;
    ASSERT_EQ(displays.activeDisplayList({}, &count), 0);
    ASSERT_EQ(count, 1u);
    std::array<os::Displays::DisplayId, 4> ids{};
    displays.activeDisplayList(ids, &count);
    EXPECT_TRUE(displays.isBuiltin(ids[0]));

    std::vector<std::pair<os::Displays::DisplayId, uint32_t>> calls;
    os::Displays::Registration registration = 0;
    ASSERT_EQ(
        displays.registerReconfigurationCallback(
            [&](os::Displays::DisplayId id, uint32_t flags) { calls.emplace_back(id, flags); },
            &registration),
        0);

    displays.rescan();
    EXPECT_TRUE(calls.empty()) << "nothing changed";

    connector("card0-DP-1", true);
    connector("card0-DP-2", true);
    displays.rescan();
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[0].second, os::Displays::kBeginConfigurationFlag);
    EXPECT_EQ(calls[1].second, os::Displays::kBeginConfigurationFlag);
    EXPECT_EQ(calls[2].second, 0u);
    EXPECT_EQ(calls[3].second, 0u);
    EXPECT_NE(calls[0].first, calls[1].first);

    displays.activeDisplayList(ids, &count);
    EXPECT_EQ(count, 3u);
    int external = 0;
    for (uint32_t i = 0; i < count; ++i) {
        external += displays.isBuiltin(ids[i]) ? 0 : 1;
    }
    EXPECT_EQ(external, 2);

    // A dock unplugged takes its connectors with it.
    calls.clear();
    fs::remove_all(temp.path() / "sys/class/drm/card0-DP-2");
    displays.rescan();
    EXPECT_EQ(calls.size(), 2u);

    displays.removeReconfigurationCallback(registration);
    connector("card0-DP-1", false);
    calls.clear();
    displays.rescan();
    EXPECT_TRUE(calls.empty());
}

// Usage Page (Sensor), Usage (0x8A), Collection (Application) ... as a hinge sensor declares.
const std::vector<uint8_t> kHingeDescriptor = {0x05, 0x20, 0x09, 0x8A, 0xA1, 0x01, 0x85, 0x01,
                                               0x75, 0x10, 0x95, 0x01, 0xB1, 0x02, 0xC0};

TEST_F(FakeTree, HidDescriptorPrimaryUsageIsTheFirstTopLevelCollection) {
    using linuxos::HidPrimaryUsage;
    EXPECT_EQ(linuxos::primaryUsage(kHingeDescriptor), linuxos::kHingeSensorUsage);
    // A keyboard: Generic Desktop / Keyboard.
    const std::vector<uint8_t> keyboard = {0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0xC0};
    EXPECT_EQ(linuxos::primaryUsage(keyboard), (HidPrimaryUsage{0x01, 0x06}));
    // Extended (4-byte) usage carrying its own page; a long item before it is skipped.
    const std::vector<uint8_t> extended = {0xFE, 0x01, 0x10, 0xAA, 0x0B, 0x8A,
                                           0x00, 0x20, 0x00, 0xA1, 0x01, 0xC0};
    EXPECT_EQ(linuxos::primaryUsage(extended), linuxos::kHingeSensorUsage);
    // The hinge as a second collection is not the device's primary usage.
    std::vector<uint8_t> second = keyboard;
    second.insert(second.end(), kHingeDescriptor.begin(), kHingeDescriptor.end());
    EXPECT_EQ(linuxos::primaryUsage(second), (HidPrimaryUsage{0x01, 0x06}));
    // Truncated in the middle of an item, or without any collection.
    EXPECT_FALSE(linuxos::primaryUsage(std::vector<uint8_t>{0x05, 0x20, 0x0A, 0x8A}));
    EXPECT_FALSE(linuxos::primaryUsage(std::vector<uint8_t>{0x05, 0x20, 0x09, 0x8A}));
    EXPECT_FALSE(linuxos::primaryUsage(std::vector<uint8_t>{}));
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
    write("sys/bus/iio/devices/iio:device0/name", "accel_3d\n");
    write("sys/bus/iio/devices/iio:device1/name", "hinge\n");
    write("sys/bus/iio/devices/iio:device1/in_angl0_raw", "1570\n");
    write("sys/bus/iio/devices/iio:device1/in_angl_scale", "0.001\n");
    write("sys/bus/iio/devices/iio:device1/in_angl_offset", "0.79\n");
    auto hinge = linuxos::findIioHinge(roots());
    ASSERT_TRUE(hinge.has_value());
    auto degrees = linuxos::readIioHingeDegrees(*hinge);
    ASSERT_TRUE(degrees.has_value());
    EXPECT_NEAR(*degrees, 90.0, 0.1);

    // Through the HID port, the IIO channel answers the sensor's feature report. The hidraw
    // node is listed too but does not exist in the fake /dev.
    linuxos::LinuxHidManager manager(roots());
    auto session = manager.create({0x20, 0x8A});
    auto devices = session->copyDevices();
    ASSERT_TRUE(devices.has_value());
    ASSERT_EQ(devices->size(), 2u);
    EXPECT_NE((*devices)[0]->open(), 0);
    auto& iio = *(*devices)[1];
    ASSERT_EQ(iio.open(), 0);
    uint8_t buffer[8] = {};
    std::size_t length = 0;
    ASSERT_EQ(iio.getReport(os::HidReportType::feature, 1, buffer, sizeof buffer, length), 0);
    EXPECT_EQ(length, 3u);
    EXPECT_EQ(buffer[0], 1);
    EXPECT_EQ(buffer[1] | (buffer[2] << 8), 90);
    // The value is read afresh on every report.
    write("sys/bus/iio/devices/iio:device1/in_angl0_raw", "3141\n");
    ASSERT_EQ(iio.getReport(os::HidReportType::feature, 1, buffer, sizeof buffer, length), 0);
    EXPECT_EQ(buffer[1] | (buffer[2] << 8), 180);
    EXPECT_EQ(iio.close(), 0);

    EXPECT_TRUE(manager.create({0x01, 0x06})->copyDevices()->size() == 1u)
        << "only the hinge usage adds the IIO channel";
}

TEST_F(FakeTree, InputCapabilityMasksAreReadMostSignificantWordFirst) {
    EXPECT_TRUE(linuxos::capabilityHasBit("1", SW_LID));
    EXPECT_FALSE(linuxos::capabilityHasBit("2", SW_LID));
    EXPECT_FALSE(linuxos::capabilityHasBit("", SW_LID));
    // KEY_FN = 464 = word 7, bit 16: eight words, the last listed is word 0.
    EXPECT_TRUE(linuxos::capabilityHasBit("10000 0 0 0 0 0 0 0", KEY_FN));
    EXPECT_FALSE(linuxos::capabilityHasBit("10000 0 0 0 0 0 0", KEY_FN));

    write("sys/class/input/input3/capabilities/sw", "1\n");
    write("sys/class/input/input5/capabilities/sw", "0\n");
    auto lids = linuxos::findSwitchCapableInputs(roots(), SW_LID);
    ASSERT_EQ(lids.size(), 1u);
    EXPECT_EQ(lids[0].filename(), "input3");
}

TEST_F(FakeTree, LidFromAcpiWhenNothingBetterAndUnknownWithoutALid) {
    {
        linuxos::LidSwitch none(roots(), nullptr);
        EXPECT_EQ(none.source(), linuxos::LidSwitch::Source::none);
        EXPECT_FALSE(none.isClosed().has_value());
    }
    write("proc/acpi/button/lid/LID0/state", "state:      closed\n");
    linuxos::LidSwitch acpi(roots(), nullptr);
    EXPECT_EQ(acpi.source(), linuxos::LidSwitch::Source::acpi);
    EXPECT_EQ(acpi.isClosed(), true);
    write("proc/acpi/button/lid/LID0/state", "state:      open\n");
    EXPECT_EQ(acpi.isClosed(), false);
}

TEST_F(FakeTree, FnIsNeverHeldWhenNoKeyboardCanReportItAndTheLogSaysWhy) {
    LogCapture log;
    {
        linuxos::LinuxKeyboardState keyboard(roots());
        EXPECT_FALSE(keyboard.isFunctionHeld());
        EXPECT_EQ(log.lines(),
                  std::vector<std::string>{
                      "INF fn key unreadable (no input event devices); fn is never held"});
    }
    log.clear();
    write("dev/input/event0", "");  // a node that answers no evdev ioctl
    linuxos::LinuxKeyboardState keyboard(roots());
    EXPECT_FALSE(keyboard.isReadable());
    EXPECT_FALSE(keyboard.isFunctionHeld());
    EXPECT_EQ(log.lines(),
              std::vector<std::string>{
                  "INF fn key unreadable (no keyboard reports an fn key); fn is never held"});
}

TEST_F(FakeTree, ProcessesBootTimeLivenessAndSpawnWithoutAShell) {
    write("proc/stat", "cpu  1 2 3\nintr 5\nbtime 1765000000\nprocesses 9\n");
    linuxos::LinuxProcesses processes(temp.path() / "proc");
    EXPECT_EQ(processes.bootTime(), 1765000000);
    write("proc/stat", "cpu  1 2 3\n");
    EXPECT_EQ(processes.bootTime(), 0);
    EXPECT_EQ(linuxos::LinuxProcesses(temp.path() / "none").bootTime(), 0);

    EXPECT_TRUE(processes.isAlive(processes.currentPid()));
    EXPECT_FALSE(processes.isAlive(0)) << "pid 0 is the process group, not a process";
    EXPECT_FALSE(processes.isAlive(-1));

    // Shell metacharacters reach the program as they are: test(1) compares them verbatim.
    auto same = processes.spawnAndWait("test", {"a b;$(false)", "=", "a b;$(false)"});
    EXPECT_TRUE(same.launched);
    EXPECT_EQ(same.exitStatus, 0);
    auto differ = processes.spawnAndWait("/usr/bin/test", {"a", "=", "b"});
    EXPECT_EQ(differ.exitStatus, 1);
    auto missing = processes.spawnAndWait("/nonexistent/noctave-helper", {});
    EXPECT_FALSE(missing.launched);
    EXPECT_FALSE(missing.error.empty());
}

}  // namespace
}  // namespace noctave::test

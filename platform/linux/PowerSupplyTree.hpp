#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace noctave::linuxos {

// One entry of /sys/class/power_supply, as far as the power-source facts need it.
struct PowerSupply {
    std::string name;
    std::string type;    // "Battery", "Mains", "USB", "UPS", ...
    std::string scope;   // "Device" for peripherals (mice, headsets); empty or "System" otherwise
    std::string status;  // batteries: "Charging", "Discharging", "Full", "Not charging", ...
    std::optional<bool> online;  // line-power supplies
    std::optional<bool> present;
    // Current and full capacity in the supply's own unit (µWh from energy_*, µAh from
    // charge_*, or percent from `capacity` when neither pair exists).
    std::optional<long long> currentCapacity;
    std::optional<long long> maxCapacity;

    bool isBattery() const { return type == "Battery"; }
    bool isPeripheral() const { return scope == "Device"; }
    bool isLinePower() const { return type == "Mains" || type == "USB" || type == "UPS"; }
};

// Reads every supply under `classDir` (normally /sys/class/power_supply), sorted by name.
// Peripheral supplies are left out: a mouse's battery must not decide whether the laptop
// runs on battery.
std::vector<PowerSupply> readPowerSupplies(const std::filesystem::path& classDir);

// Whether the machine draws from its battery: a system battery is present and no line-power
// supply is online; with no line-power node at all, a discharging battery decides.
bool runsOnBattery(const std::vector<PowerSupply>& supplies);

}  // namespace noctave::linuxos

#include "platform/linux/PowerSupplyTree.hpp"

#include <algorithm>
#include <system_error>

#include "platform/linux/MachineRoots.hpp"

namespace noctave::linuxos {

namespace {

std::optional<bool> readFlag(const std::filesystem::path& file) {
    auto value = readInteger(file);
    if (!value) {
        return std::nullopt;
    }
    return *value != 0;
}

// energy_* and charge_* are each a consistent pair; mixing energy_now with charge_full would
// give a meaningless ratio, so a pair is used only when both halves exist.
void readCapacity(const std::filesystem::path& dir, PowerSupply& supply) {
    for (const char* unit : {"energy", "charge"}) {
        auto now = readInteger(dir / (std::string(unit) + "_now"));
        auto full = readInteger(dir / (std::string(unit) + "_full"));
        if (now && full) {
            supply.currentCapacity = now;
            supply.maxCapacity = full;
            return;
        }
    }
    if (auto percent = readInteger(dir / "capacity")) {
        supply.currentCapacity = percent;
        supply.maxCapacity = 100;
    }
}

}  // namespace

std::vector<PowerSupply> readPowerSupplies(const std::filesystem::path& classDir) {
    std::vector<PowerSupply> supplies;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(classDir, ec)) {
        const auto& dir = entry.path();
        PowerSupply supply;
        supply.name = dir.filename().string();
        supply.type = readFirstLine(dir / "type").value_or("");
        supply.scope = readFirstLine(dir / "scope").value_or("");
        if (supply.isPeripheral()) {
            continue;
        }
        supply.status = readFirstLine(dir / "status").value_or("");
        supply.online = readFlag(dir / "online");
        supply.present = readFlag(dir / "present");
        if (supply.isBattery()) {
            readCapacity(dir, supply);
        }
        supplies.push_back(std::move(supply));
    }
    std::sort(supplies.begin(), supplies.end(),
              [](const PowerSupply& a, const PowerSupply& b) { return a.name < b.name; });
    return supplies;
}

bool runsOnBattery(const std::vector<PowerSupply>& supplies) {
    bool hasBattery = false;
    bool hasLinePower = false;
    bool discharging = false;
    for (const auto& supply : supplies) {
        if (supply.isBattery()) {
            if (supply.present == false) {
                continue;
            }
            hasBattery = true;
            discharging = discharging || supply.status == "Discharging";
        } else if (supply.isLinePower()) {
            hasLinePower = true;
            if (supply.online == true) {
                return false;
            }
        }
    }
    if (!hasBattery) {
        return false;
    }
    return hasLinePower || discharging;
}

}  // namespace noctave::linuxos

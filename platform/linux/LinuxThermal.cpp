#include "platform/linux/LinuxThermal.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/linux/MachineRoots.hpp"

namespace noctave::linuxos {

namespace fs = std::filesystem;

namespace {

struct Sensor {
    std::string name;
    fs::path input;
    std::optional<double> trip;
    bool isCpu = false;
};

constexpr std::array<std::string_view, 8> kCpuWords = {"cpu",     "soc",      "x86_pkg", "coretemp",
                                                       "k10temp", "zenpower", "package", "tcpu"};

bool isCpuName(std::string name) {
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return std::any_of(kCpuWords.begin(), kCpuWords.end(), [&name](std::string_view word) {
        return name.find(word) != std::string::npos;
    });
}

std::optional<double> celsiusAt(const fs::path& file) {
    const auto milli = readInteger(file);
    // Drivers report -273200 or 0 for a sensor that is not wired; neither is a temperature.
    if (!milli || *milli <= 0) {
        return std::nullopt;
    }
    return static_cast<double>(*milli) / 1000.0;
}

std::vector<fs::path> entriesStartingWith(const fs::path& folder, std::string_view prefix) {
    std::vector<fs::path> found;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error)) {
        if (entry.path().filename().string().rfind(prefix, 0) == 0) {
            found.push_back(entry.path());
        }
    }
    std::sort(found.begin(), found.end());
    return found;
}

std::optional<double> zoneTrip(const fs::path& zone) {
    std::optional<double> hot;
    for (const auto& typeFile : entriesStartingWith(zone, "trip_point_")) {
        const std::string name = typeFile.filename().string();
        constexpr std::string_view kSuffix = "_type";
        if (name.size() < kSuffix.size() || name.substr(name.size() - kSuffix.size()) != kSuffix) {
            continue;
        }
        const auto type = readFirstLine(typeFile);
        const auto temp =
            celsiusAt(zone / (name.substr(0, name.size() - kSuffix.size()) + "_temp"));
        if (type == "critical" && temp) {
            return temp;
        }
        if (type == "hot" && temp && !hot) {
            hot = temp;
        }
    }
    return hot;
}

std::vector<Sensor> findSensors(const fs::path& sys) {
    std::vector<Sensor> sensors;
    for (const auto& zone : entriesStartingWith(sys / "class/thermal", "thermal_zone")) {
        const auto type = readFirstLine(zone / "type").value_or(zone.filename().string());
        sensors.push_back({type, zone / "temp", zoneTrip(zone), isCpuName(type)});
    }
    for (const auto& hwmon : entriesStartingWith(sys / "class/hwmon", "hwmon")) {
        const auto chip = readFirstLine(hwmon / "name").value_or(hwmon.filename().string());
        for (const auto& input : entriesStartingWith(hwmon, "temp")) {
            const std::string file = input.filename().string();
            constexpr std::string_view kInput = "_input";
            if (file.size() < kInput.size() || file.substr(file.size() - kInput.size()) != kInput) {
                continue;
            }
            const std::string stem = file.substr(0, file.size() - kInput.size());
            sensors.push_back(
                {chip + " " + stem, input, celsiusAt(hwmon / (stem + "_crit")), isCpuName(chip)});
        }
    }
    // CPU and SoC sensors are what heat up in a bag; the rest only count without any of them.
    if (std::any_of(sensors.begin(), sensors.end(), [](const Sensor& s) { return s.isCpu; })) {
        std::erase_if(sensors, [](const Sensor& s) { return !s.isCpu; });
    }
    return sensors;
}

}  // namespace

bool LinuxThermal::hasSensor() const {
    return !findSensors(sys_).empty();
}

os::Thermal::Reading LinuxThermal::read() const {
    const auto sensors = findSensors(sys_);
    Reading hottest;
    for (const auto& sensor : sensors) {
        const auto celsius = celsiusAt(sensor.input);
        if (celsius && (!hottest.celsius || *celsius > *hottest.celsius)) {
            hottest = Reading{celsius, sensor.trip, sensor.name};
        }
    }
    if (!hottest.celsius && !sensors.empty()) {
        hottest.sensor = sensors.front().name;
    }
    return hottest;
}

}  // namespace noctave::linuxos

#pragma once

#include <filesystem>

#include "core/os/Thermal.hpp"

namespace noctave::linuxos {

// Temperature on Linux, from sysfs: every thermal zone (/sys/class/thermal/thermal_zone*: "type",
// "temp" in millidegrees, "trip_point_N_type"/"trip_point_N_temp") and every hwmon sensor
// (/sys/class/hwmon/hwmon*: "name", "tempN_input", "tempN_crit"). Sensors of the CPU or SoC
// (x86_pkg_temp, coretemp, k10temp, cpu*/soc* zones, ...) are preferred; only without any, every
// sensor counts. The reading is the hottest of them with its own critical trip point, else its
// hot one. Each read looks at the trees afresh (zones come and go with drivers).
class LinuxThermal final : public os::Thermal {
  public:
    explicit LinuxThermal(std::filesystem::path sysRoot = "/sys") : sys_(std::move(sysRoot)) {}

    bool hasSensor() const override;
    Reading read() const override;

  private:
    std::filesystem::path sys_;
};

}  // namespace noctave::linuxos

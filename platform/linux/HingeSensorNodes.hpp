#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/linux/MachineRoots.hpp"

namespace noctave::linuxos {

// The usage of a HID device's first top-level collection: what the device is.
struct HidPrimaryUsage {
    uint32_t page = 0;
    uint32_t usage = 0;
    bool operator==(const HidPrimaryUsage&) const = default;
};

// The hinge sensor: sensor page, "device orientation" usage.
inline constexpr HidPrimaryUsage kHingeSensorUsage{0x20, 0x8A};

// Walks a HID report descriptor and returns the usage of its first top-level collection;
// absent when the descriptor has none or is malformed before it.
std::optional<HidPrimaryUsage> primaryUsage(std::span<const uint8_t> descriptor);

// /dev/hidrawN nodes whose report descriptor (from sysfs) has this primary usage, in name
// order.
std::vector<std::filesystem::path> findHidraw(const MachineRoots& roots, HidPrimaryUsage usage);

// An IIO angle channel of a device named "hinge".
struct IioHinge {
    std::filesystem::path rawFile;  // in_angl0_raw or in_angl_raw
    double scale = 1.0;
    double offset = 0.0;
};

std::optional<IioHinge> findIioHinge(const MachineRoots& roots);

// The hinge angle in degrees: the IIO angle unit is the radian once scale and offset apply.
double iioHingeDegrees(const IioHinge& hinge, double raw);
std::optional<double> readIioHingeDegrees(const IioHinge& hinge);

}  // namespace noctave::linuxos

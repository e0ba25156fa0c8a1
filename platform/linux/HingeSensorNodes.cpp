#include "platform/linux/HingeSensorNodes.hpp"

#include <algorithm>
#include <charconv>
#include <fstream>
#include <iterator>
#include <numbers>
#include <system_error>

namespace noctave::linuxos {

std::optional<HidPrimaryUsage> primaryUsage(std::span<const uint8_t> descriptor) {
    uint32_t usagePage = 0;
    std::vector<uint32_t> usages;  // local usages since the last main item
    std::size_t i = 0;
    while (i < descriptor.size()) {
        const uint8_t prefix = descriptor[i];
        if (prefix == 0xFE) {  // long item: size, tag, data; carries nothing we need
            if (i + 1 >= descriptor.size()) {
                return std::nullopt;
            }
            i += 3 + descriptor[i + 1];
            continue;
        }
        const std::size_t size = (prefix & 0x03) == 3 ? 4 : (prefix & 0x03);
        const uint8_t type = (prefix >> 2) & 0x03;
        const uint8_t tag = prefix >> 4;
        if (i + 1 + size > descriptor.size()) {
            return std::nullopt;
        }
        uint32_t data = 0;
        for (std::size_t b = 0; b < size; ++b) {
            data |= static_cast<uint32_t>(descriptor[i + 1 + b]) << (8 * b);
        }
        i += 1 + size;

        if (type == 1 && tag == 0x0) {  // Usage Page
            usagePage = data;
        } else if (type == 2 && tag == 0x0) {  // Usage
            usages.push_back(data);
        } else if (type == 0) {
            // The first Collection is the top-level one; what it is named is the device.
            if (tag == 0xA) {
                if (usages.empty()) {
                    return std::nullopt;
                }
                uint32_t usage = usages.front();
                // A four-byte usage carries its own page in the upper half.
                if (usage > 0xFFFF) {
                    return HidPrimaryUsage{usage >> 16, usage & 0xFFFF};
                }
                return HidPrimaryUsage{usagePage, usage};
            }
            usages.clear();
        }
    }
    return std::nullopt;
}

std::vector<std::filesystem::path> findHidraw(const MachineRoots& roots, HidPrimaryUsage usage) {
    std::vector<std::filesystem::path> found;
    std::error_code ec;
    for (const auto& entry :
         std::filesystem::directory_iterator(roots.sys / "class" / "hidraw", ec)) {
        std::ifstream in(entry.path() / "device" / "report_descriptor", std::ios::binary);
        if (!in) {
            continue;
        }
        std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                   std::istreambuf_iterator<char>());
        if (primaryUsage(bytes) == usage) {
            found.push_back(roots.dev / entry.path().filename());
        }
    }
    std::sort(found.begin(), found.end());
    return found;
}

namespace {

std::optional<double> readDouble(const std::filesystem::path& file) {
    auto line = readFirstLine(file);
    if (!line || line->empty()) {
        return std::nullopt;
    }
    const std::string& text = *line;
    double value = 0;
    auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc{}) {
        return std::nullopt;
    }
    return value;
}

}  // namespace

std::optional<IioHinge> findIioHinge(const MachineRoots& roots) {
    std::vector<std::filesystem::path> devices;
    std::error_code ec;
    for (const auto& entry :
         std::filesystem::directory_iterator(roots.sys / "bus" / "iio" / "devices", ec)) {
        if (readFirstLine(entry.path() / "name") == "hinge") {
            devices.push_back(entry.path());
        }
    }
    std::sort(devices.begin(), devices.end());
    for (const auto& dir : devices) {
        for (const char* channel : {"in_angl0", "in_angl"}) {
            auto raw = dir / (std::string(channel) + "_raw");
            if (!std::filesystem::exists(raw, ec)) {
                continue;
            }
            IioHinge hinge;
            hinge.rawFile = raw;
            // The per-channel attribute wins over the shared one.
            hinge.scale = readDouble(dir / (std::string(channel) + "_scale"))
                              .value_or(readDouble(dir / "in_angl_scale").value_or(1.0));
            hinge.offset = readDouble(dir / (std::string(channel) + "_offset"))
                               .value_or(readDouble(dir / "in_angl_offset").value_or(0.0));
            return hinge;
        }
    }
    return std::nullopt;
}

double iioHingeDegrees(const IioHinge& hinge, double raw) {
    return (raw + hinge.offset) * hinge.scale * 180.0 / std::numbers::pi;
}

std::optional<double> readIioHingeDegrees(const IioHinge& hinge) {
    auto raw = readDouble(hinge.rawFile);
    if (!raw) {
        return std::nullopt;
    }
    return iioHingeDegrees(hinge, *raw);
}

}  // namespace noctave::linuxos

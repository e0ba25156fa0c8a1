#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace noctave::linuxos {

// One connector of /sys/class/drm ("card0-eDP-1", "card1-HDMI-A-2").
struct DrmConnector {
    std::string name;  // the sysfs entry's name
    std::string type;  // "eDP", "HDMI-A", "DP", "Writeback", ...
    bool isConnected = false;
    bool isEnabled = false;

    // The laptop's own panel: eDP, LVDS, DSI or DPI connectors.
    bool isBuiltin() const;
    // Connectors that are never a display the user sees.
    bool isVirtual() const;
    bool isActiveExternal() const {
        return isConnected && isEnabled && !isBuiltin() && !isVirtual();
    }
};

// Reads the connectors under `classDir` (normally /sys/class/drm), sorted by name; entries
// that are not connectors (card0, renderD128, version) are left out.
std::vector<DrmConnector> readDrmConnectors(const std::filesystem::path& classDir);

// The connector type within a name such as "card0-HDMI-A-1" ("HDMI-A"); empty when the name
// is not a connector's.
std::string drmConnectorType(const std::string& name);

int countActiveExternal(const std::vector<DrmConnector>& connectors);

}  // namespace noctave::linuxos

#include "platform/linux/DrmConnectors.hpp"

#include <algorithm>
#include <cctype>
#include <system_error>

#include "platform/linux/MachineRoots.hpp"

namespace noctave::linuxos {

bool DrmConnector::isBuiltin() const {
    return type == "eDP" || type == "LVDS" || type == "DSI" || type == "DPI";
}

bool DrmConnector::isVirtual() const {
    return type == "Writeback" || type == "Virtual";
}

std::string drmConnectorType(const std::string& name) {
    // card<digits>-<type>-<index>; the type itself may contain dashes ("HDMI-A", "DVI-I").
    if (name.rfind("card", 0) != 0) {
        return {};
    }
    std::size_t pos = 4;
    while (pos < name.size() && std::isdigit(static_cast<unsigned char>(name[pos])) != 0) {
        ++pos;
    }
    if (pos == 4 || pos >= name.size() || name[pos] != '-') {
        return {};
    }
    std::size_t typeStart = pos + 1;
    std::size_t lastDash = name.rfind('-');
    if (lastDash == std::string::npos || lastDash <= typeStart || lastDash + 1 >= name.size()) {
        return {};
    }
    for (std::size_t i = lastDash + 1; i < name.size(); ++i) {
        if (std::isdigit(static_cast<unsigned char>(name[i])) == 0) {
            return {};
        }
    }
    return name.substr(typeStart, lastDash - typeStart);
}

std::vector<DrmConnector> readDrmConnectors(const std::filesystem::path& classDir) {
    std::vector<DrmConnector> connectors;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(classDir, ec)) {
        DrmConnector connector;
        connector.name = entry.path().filename().string();
        connector.type = drmConnectorType(connector.name);
        if (connector.type.empty()) {
            continue;
        }
        connector.isConnected = readFirstLine(entry.path() / "status") == "connected";
        // Some drivers lack the attribute; a connected output then counts as in use.
        auto enabled = readFirstLine(entry.path() / "enabled");
        connector.isEnabled = enabled ? *enabled == "enabled" : connector.isConnected;
        connectors.push_back(std::move(connector));
    }
    std::sort(connectors.begin(), connectors.end(),
              [](const DrmConnector& a, const DrmConnector& b) { return a.name < b.name; });
    return connectors;
}

int countActiveExternal(const std::vector<DrmConnector>& connectors) {
    return static_cast<int>(std::count_if(connectors.begin(), connectors.end(),
                                          [](const auto& c) { return c.isActiveExternal(); }));
}

}  // namespace noctave::linuxos

#include "app/diagnostics/TrayHost.hpp"

#include <utility>

#include "app/diagnostics/DiagnosticSupport.hpp"
#include "platform/linux/GnomeShellExtension.hpp"
#include "platform/linux/bus/DBusConnection.hpp"

namespace noctave::app::TrayHost {

namespace {

constexpr double kAskSeconds = 2.0;

}  // namespace

std::vector<std::string> report(std::optional<bool> watcherRuns,
                                std::optional<bool> extensionRuns) {
    if (!watcherRuns || !extensionRuns) {
        return {"\n--- tray host ---", "  cannot tell: the session bus does not answer"};
    }
    const std::string enable =
        std::string("gnome-extensions enable ") + linuxos::kGnomeExtensionUuid;
    std::vector<std::string> lines = {"\n--- tray host ---"};
    if (*watcherRuns) {
        lines.emplace_back(
            "  a StatusNotifierWatcher runs: the panel shows Noctave's item and its menu");
    } else if (*extensionRuns) {
        lines.emplace_back(
            "  none runs (no StatusNotifierWatcher on the session bus): no panel shows Noctave's "
            "item; Quick Settings offers its menu instead");
    } else {
        lines.emplace_back(
            "  none runs (no StatusNotifierWatcher on the session bus): no panel shows Noctave's "
            "item, and launching Noctave opens a window with the menu's entries instead");
        lines.emplace_back("  to get one: on GNOME, turn on Noctave's own extension (" + enable +
                           ") or install and enable the AppIndicator extension (package "
                           "gnome-shell-extension-appindicator, then log out and in); elsewhere, "
                           "add the panel's system tray or status notifier applet");
    }
    lines.emplace_back("\n--- GNOME Shell extension ---");
    lines.emplace_back(*extensionRuns
                           ? std::string("  ") + linuxos::kGnomeExtensionUuid +
                                 " runs: Quick Settings offers Noctave's toggle and its menu"
                           : std::string("  not running (on GNOME: ") + enable +
                                 "; a shell that has not seen it yet needs a new login)");
    std::string surfaces;
    for (const auto& [runs, name] :
         {std::pair{*watcherRuns, "tray host"}, std::pair{*extensionRuns, "GNOME extension"}}) {
        if (runs) {
            surfaces += (surfaces.empty() ? "" : ", ") + std::string(name);
        }
    }
    lines.emplace_back("\n--- surfaces serving the user ---");
    lines.emplace_back("  " + (surfaces.empty() ? std::string("none") : surfaces));
    return lines;
}

void print() {
    auto bus = linuxos::sessionBus();
    const auto watcherRuns = bus->nameHasOwner("org.kde.StatusNotifierWatcher", kAskSeconds);
    const auto extensionRuns = watcherRuns
                                   ? bus->nameHasOwner(linuxos::kGnomeExtensionBusName, kAskSeconds)
                                   : std::nullopt;
    for (const auto& line : report(watcherRuns, extensionRuns)) {
        diagnostics::printLine(line);
    }
}

}  // namespace noctave::app::TrayHost

#include "app/diagnostics/TrayHost.hpp"

#include "app/diagnostics/DiagnosticSupport.hpp"
#include "platform/linux/bus/DBusConnection.hpp"

namespace noctave::app::TrayHost {

namespace {

constexpr double kAskSeconds = 2.0;

}  // namespace

std::vector<std::string> report(std::optional<bool> watcherRuns) {
    if (!watcherRuns) {
        return {"\n--- tray host ---", "  cannot tell: the session bus does not answer"};
    }
    if (*watcherRuns) {
        return {"\n--- tray host ---",
                "  a StatusNotifierWatcher runs: the panel shows Noctave's item and its menu"};
    }
    return {"\n--- tray host ---",
            "  none runs (no StatusNotifierWatcher on the session bus): no panel shows Noctave's "
            "item, and launching Noctave opens a window with the menu's entries instead",
            "  to get one: on GNOME, install and enable the AppIndicator extension (package "
            "gnome-shell-extension-appindicator, then log out and in); elsewhere, add the "
            "panel's system tray or status notifier applet"};
}

void print() {
    auto bus = linuxos::sessionBus();
    for (const auto& line :
         report(bus->nameHasOwner("org.kde.StatusNotifierWatcher", kAskSeconds))) {
        diagnostics::printLine(line);
    }
}

}  // namespace noctave::app::TrayHost

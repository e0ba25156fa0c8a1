#pragma once

#include <optional>
#include <string>
#include <vector>

// Which surfaces serve the user: a tray host (a StatusNotifierWatcher on the session bus) that
// shows Noctave's item, Noctave's GNOME Shell extension in Quick Settings, or none, and how to
// get one where none runs.
namespace noctave::app::TrayHost {

// The lines --diagnose prints for `watcherRuns` and `extensionRuns`: true, false, or nothing
// when the session bus could not be asked.
std::vector<std::string> report(std::optional<bool> watcherRuns, std::optional<bool> extensionRuns);

// Asks the session bus and prints report()'s lines.
void print();

}  // namespace noctave::app::TrayHost

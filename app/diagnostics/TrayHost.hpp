#pragma once

#include <optional>
#include <string>
#include <vector>

// Whether a tray host (a StatusNotifierWatcher on the session bus) can show Noctave's item, and
// how to get one where none runs.
namespace noctave::app::TrayHost {

// The lines --diagnose prints for `watcherRuns`: true, false, or nothing when the session bus
// could not be asked.
std::vector<std::string> report(std::optional<bool> watcherRuns);

// Asks the session bus and prints report()'s lines.
void print();

}  // namespace noctave::app::TrayHost

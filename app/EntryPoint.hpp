#pragma once

#include <optional>
#include <string>
#include <vector>

#include "app/LaunchOptions.hpp"

namespace noctave::app {

// The image exports ("--preview-anim", "--preview-menu-icon <png>", "--export-app-icon-set
// <dir> <source-png>"), the first present in that order. Prints the result and returns the exit
// status (0 written, 1 export failed, 2 usage error); no value when none is present.
std::optional<int> runExportMode(int argc, char** argv);

// The window options of `arguments` (element 0 included). No value on a usage error, with the
// line to print in `usage` (the process then ends with status 2).
std::optional<LaunchOptions> parseLaunchOptions(const std::vector<std::string>& arguments,
                                                std::string* usage);

// Starts the application: the platform from the environment, the Qt runtime, the delegate,
// the tray, then the event loop. Returns the process's exit status.
int runApplication(int argc, char** argv);

}  // namespace noctave::app

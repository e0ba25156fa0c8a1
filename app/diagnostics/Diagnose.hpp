#pragma once

#include <map>
#include <string>

namespace noctave::app::Diagnose {

// "--diagnose": sets the lid-close flag for about 0.35 seconds and prints which properties of
// the root power domain changed while it was set and whether all of them came back. Returns
// the exit status: 0 once the report is printed, 1 when the root power domain could not be
// opened or the flag could not be set.
int run();

// Every property of the root power domain, name to its description with line feeds turned
// into spaces. Empty when the service is missing or its properties cannot be copied.
std::map<std::string, std::string> propertySnapshot();

}  // namespace noctave::app::Diagnose

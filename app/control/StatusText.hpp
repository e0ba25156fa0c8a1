#pragma once

#include <string>

#include "app/control/ControlStatus.hpp"

// How `noctave ctl` shows what the control interface reports.
namespace noctave::control {

// "State: armed" and so on, one fact a line.
std::string describe(const Status& status);
// One JSON object with every property (`only`: the Property bits to include).
std::string toJson(const Status& status, unsigned only = ~0u);
// "State=armed Holds=1", for `watch`.
std::string describeChanges(const Status& status, unsigned changed);

}  // namespace noctave::control

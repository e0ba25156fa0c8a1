#pragma once

#include <filesystem>
#include <string>

namespace noctave::sim {

class SimPower;

// What the virtual machine looks like now, for a test that only sees a finished process:
//
//   lid-close bit: clear
//   assertions held: 0
//   sleeps: 1
//   lid: open
std::string describeState(SimPower& power);

// Writes describeState() to "sim-state" in `folder`, the laptop's (replacing an older one).
// Returns false when the file could not be written.
bool writeStateReport(SimPower& power, const std::filesystem::path& folder);

}  // namespace noctave::sim

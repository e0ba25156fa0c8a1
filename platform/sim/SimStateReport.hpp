#pragma once

#include <filesystem>
#include <string>

namespace noctave::sim {

class VirtualLaptop;

// What the virtual machine looks like now, for a test that only sees a finished process:
//
//   lid-close bit: clear
//   assertions held: 0
//   sleeps: 1
//   lid: open
std::string describeState(VirtualLaptop& laptop);

// Writes describeState() to "sim-state" in the laptop's folder (replacing an older one).
// Returns false when the file could not be written.
bool writeStateReport(VirtualLaptop& laptop);

}  // namespace noctave::sim

#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "platform/linux/MachineRoots.hpp"

namespace noctave::linuxos {

// Whether bit `code` is set in a sysfs input capability mask ("capabilities/sw",
// "capabilities/key"): hexadecimal words, most significant first, one per unsigned long.
bool capabilityHasBit(const std::string& mask, unsigned code);

// /sys/class/input/inputN folders whose switch capabilities include `switchCode`. Readable
// by anyone, so it tells that a lid exists even when its event node is not ours to open.
std::vector<std::filesystem::path> findSwitchCapableInputs(const MachineRoots& roots,
                                                           unsigned switchCode);

// Opens (read-only, non-blocking, close-on-exec) the first /dev/input/event* node whose
// `eventType` bits (EV_SW, EV_KEY) include `code`; -1 when none can be opened.
int openReadableInput(const MachineRoots& roots, unsigned eventType, unsigned code);

// Every event node advertising `code` among its `eventType` bits that we could open, and how
// many event nodes we were not allowed to open at all.
struct InputScan {
    std::vector<int> fds;
    int deniedNodes = 0;
    int nodes = 0;
};
InputScan openAllReadableInputs(const MachineRoots& roots, unsigned eventType, unsigned code);

// Whether bit `code` of a kernel bitmap of unsigned longs is set.
bool testBit(const unsigned long* bits, std::size_t words, unsigned code);

}  // namespace noctave::linuxos

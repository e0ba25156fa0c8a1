#pragma once

#include <memory>

#include "core/os/System.hpp"

namespace noctave::linuxos {

// Builds the os::System of this Linux machine: every port the machine offers.
std::unique_ptr<os::System> makeSystem();

}  // namespace noctave::linuxos

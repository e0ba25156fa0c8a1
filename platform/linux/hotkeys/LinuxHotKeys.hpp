#pragma once

#include <memory>

#include "core/os/HotKeys.hpp"

namespace noctave::linuxos {

// The machine's global shortcuts: the desktop portal's GlobalShortcuts where the session bus
// offers it, otherwise key grabs on the X display. The choice is made at the first use, so
// a program that never registers a shortcut never touches either.
std::shared_ptr<os::HotKeys> makeHotKeys();

}  // namespace noctave::linuxos

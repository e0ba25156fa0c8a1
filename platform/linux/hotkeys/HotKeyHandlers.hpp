#pragma once

#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

#include "core/os/HotKeys.hpp"

namespace noctave::linuxos {

// The installed hot-key handlers of one backend. Dispatch runs on the backend's event thread
// while removal runs on the main thread: the lock is held across the handler call, so once
// `remove` returns the handler is neither running nor ever called again. Handlers must not
// install or remove handlers themselves.
class HotKeyHandlers {
  public:
    os::HotKeys::Status install(os::HotKeys::EventHandler handler, os::HotKeys::HandlerRef* ref);
    os::HotKeys::Status remove(os::HotKeys::HandlerRef ref);

    // Newest first, until one handles the event. False when none did.
    bool dispatch(const os::HotKeys::Event& event);

  private:
    std::mutex mutex_;
    std::uint64_t nextRef_ = 1;
    std::vector<std::pair<os::HotKeys::HandlerRef, os::HotKeys::EventHandler>> handlers_;
};

// The key of the ANSI layout with this virtual key code, as a lower-case X keysym / the
// character the desktop's shortcut notation uses. 0 for keys outside the letters.
char letterForKeyCode(std::uint32_t keyCode);

}  // namespace noctave::linuxos

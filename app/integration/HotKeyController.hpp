#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "core/os/HotKeys.hpp"
#include "core/runtime/WeakPtr.hpp"

namespace noctave::app {

// Owns the one global shortcut, Control-Option-Command-L (Control-Alt-Super-L on a PC
// keyboard). A press calls `onFire` on the main queue, never inside the platform's dispatch.
// Main thread only.
class HotKeyController {
  public:
    static constexpr std::uint32_t kKeyCode = 37;  // L on the ANSI layout
    static constexpr std::uint32_t kModifiers =
        os::HotKeys::kCommand | os::HotKeys::kOption | os::HotKeys::kControl;
    static constexpr std::uint32_t kSignature = 0x436C4C31;  // 'ClL1'
    static constexpr std::uint32_t kHotKeyNumber = 1;

    // `hotKeys`: the platform's service; the installed system's when not given. A platform
    // without one makes every registration fail with a log line.
    explicit HotKeyController(std::shared_ptr<os::HotKeys> hotKeys = nullptr);
    ~HotKeyController();
    HotKeyController(const HotKeyController&) = delete;
    HotKeyController& operator=(const HotKeyController&) = delete;

    // Replaces any earlier registration: installs the event handler, then registers the
    // shortcut. Failures are only logged; after a failed key registration the handler stays
    // installed until the next call or `unregister`.
    void registerHotKey(std::function<void()> onFire);

    // Undoes both registrations. Safe at any time.
    void unregister();

    bool isRegistered() const { return ref_.has_value(); }
    bool isHandlerInstalled() const { return handler_.has_value(); }

  private:
    std::shared_ptr<os::HotKeys> hotKeys_;
    std::optional<os::HotKeys::HotKeyRef> ref_;
    std::optional<os::HotKeys::HandlerRef> handler_;
    std::function<void()> onFire_;
    runtime::WeakFactory<HotKeyController> weakFactory_{this};
};

}  // namespace noctave::app

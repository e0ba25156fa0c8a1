#include "platform/linux/hotkeys/LinuxHotKeys.hpp"

#include <cstdlib>
#include <string_view>

#include "core/support/Log.hpp"
#include "platform/linux/hotkeys/PortalHotKeys.hpp"
#include "platform/linux/hotkeys/X11HotKeys.hpp"

namespace noctave::linuxos {

namespace {

class SelectingHotKeys final : public os::HotKeys {
  public:
    Status installEventHandler(EventHandler handler, HandlerRef* ref) override {
        return select() ? chosen_->installEventHandler(std::move(handler), ref) : kUnimplemented;
    }
    Status removeEventHandler(HandlerRef ref) override {
        return chosen_ ? chosen_->removeEventHandler(ref) : kInvalidRef;
    }
    Status registerHotKey(std::uint32_t keyCode, std::uint32_t modifiers, HotKeyID hotKeyID,
                          std::uint32_t options, HotKeyRef* ref) override {
        return select() ? chosen_->registerHotKey(keyCode, modifiers, hotKeyID, options, ref)
                        : kUnimplemented;
    }
    Status unregisterHotKey(HotKeyRef ref) override {
        return chosen_ ? chosen_->unregisterHotKey(ref) : kInvalidRef;
    }
    bool isServed() override { return select(); }

  private:
    bool select() {
        if (!isSelected_) {
            isSelected_ = true;
            if ((chosen_ = PortalHotKeys::connect())) {
                Log::info("hotkey service: desktop portal");
            } else if (isWaylandSession()) {
                // X clients there see keys only while one of their windows has focus: a grab
                // would look registered and never fire.
                Log::info(
                    "hotkey service unavailable (Wayland session without the "
                    "GlobalShortcuts portal)");
            } else if (hasX11Display() && (chosen_ = X11HotKeys::connect())) {
                Log::info("hotkey service: X11 key grab");
            } else {
                Log::info("hotkey service unavailable (no GlobalShortcuts portal, no X display)");
            }
        }
        return chosen_ != nullptr;
    }

    static bool isSet(const char* name) {
        const char* value = std::getenv(name);
        return value != nullptr && value[0] != '\0';
    }
    static bool isWaylandSession() {
        const char* type = std::getenv("XDG_SESSION_TYPE");
        return isSet("WAYLAND_DISPLAY") || (type != nullptr && std::string_view(type) == "wayland");
    }
    static bool hasX11Display() { return isSet("DISPLAY"); }

    bool isSelected_ = false;
    std::shared_ptr<os::HotKeys> chosen_;
};

}  // namespace

std::shared_ptr<os::HotKeys> makeHotKeys() {
    return std::make_shared<SelectingHotKeys>();
}

}  // namespace noctave::linuxos

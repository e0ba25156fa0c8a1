#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "core/os/HotKeys.hpp"
#include "platform/linux/bus/PollThread.hpp"
#include "platform/linux/hotkeys/HotKeyHandlers.hpp"

struct xcb_connection_t;

namespace noctave::linuxos {

// Global shortcuts as passive key grabs on the root window of an X server. Each chord is
// grabbed four times, with and without NumLock and CapsLock, so the lock keys do not swallow
// it. A grab that another client already holds (BadAccess) is kHotKeyExists. Presses are read
// on a thread of this object and passed to the handlers there.
class X11HotKeys final : public os::HotKeys {
  public:
    // Connects to `displayName` (empty: $DISPLAY). Nothing when no X server answers.
    static std::shared_ptr<X11HotKeys> connect(const std::string& displayName = {});
    ~X11HotKeys() override;
    X11HotKeys(const X11HotKeys&) = delete;
    X11HotKeys& operator=(const X11HotKeys&) = delete;

    Status installEventHandler(EventHandler handler, HandlerRef* ref) override;
    Status removeEventHandler(HandlerRef ref) override;
    Status registerHotKey(std::uint32_t keyCode, std::uint32_t modifiers, HotKeyID hotKeyID,
                          std::uint32_t options, HotKeyRef* ref) override;
    Status unregisterHotKey(HotKeyRef ref) override;

  private:
    struct Grab {
        std::uint8_t keycode;
        std::uint16_t modifiers;
        std::uint16_t numLock;  // NumLock's mask when grabbed; it and CapsLock are ignored
        HotKeyID hotKeyID;
    };
    struct ModifierMasks {
        std::uint16_t super = 0;
        std::uint16_t alt = 0;
        std::uint16_t numLock = 0;
    };

    X11HotKeys(xcb_connection_t* connection, std::uint32_t root);
    ModifierMasks readModifierMasks();
    std::uint8_t keycodeFor(std::uint32_t keysym);
    void ungrab(const Grab& grab);
    void wake();
    bool turn(PollThread::Turn& turn);

    xcb_connection_t* connection_;
    std::uint32_t root_;
    HotKeyHandlers handlers_;
    std::mutex grabsMutex_;
    std::map<HotKeyRef, Grab> grabs_;
    std::uint64_t nextRef_ = 1;
    std::unique_ptr<PollThread> thread_;  // reads presses; made last, stopped first
};

}  // namespace noctave::linuxos

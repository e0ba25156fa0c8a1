#pragma once

#include <cstdint>
#include <functional>

namespace noctave::os {

// System-wide keyboard shortcuts delivered to this application: an event handler on the
// application's event target plus hot-key registrations that feed it.
//
// Every operation reports a numeric status, 0 meaning success. Operations are called on the
// main thread. The event handler may be called on any thread the platform dispatches on; it
// must not block.
class HotKeys {
  public:
    using Status = std::int32_t;
    using HandlerRef = std::uint64_t;  // never 0 once issued
    using HotKeyRef = std::uint64_t;   // never 0 once issued

    static constexpr Status kNoError = 0;
    static constexpr Status kUnimplemented = -4;     // the platform has no way to do it
    static constexpr Status kParamError = -50;       // a key or modifier it cannot express
    static constexpr Status kNotHandled = -9874;     // handler's answer: pass the event on
    static constexpr Status kHotKeyExists = -9878;   // another client holds the combination
    static constexpr Status kInvalidRef = -9879;     // unknown or already released handle
    static constexpr Status kServiceFailed = -9880;  // the desktop service refused or failed

    // Modifier bits of `registerHotKey` (the classic Mac layout: Command, Shift, Option,
    // Control). Backends map Command to Super, Option to Alt.
    static constexpr std::uint32_t kCommand = 1U << 8;
    static constexpr std::uint32_t kShift = 1U << 9;
    static constexpr std::uint32_t kOption = 1U << 11;
    static constexpr std::uint32_t kControl = 1U << 12;

    // Identifies one registration: a four-character signature and a number.
    struct HotKeyID {
        std::uint32_t signature = 0;
        std::uint32_t id = 0;
    };

    // One press of a registered hot key.
    struct Event {
        HotKeyID hotKeyID;
    };

    // Answers kNoError when it handled the event, kNotHandled to let the next handler see it.
    using EventHandler = std::function<Status(const Event& event)>;

    virtual ~HotKeys() = default;

    // Installs `handler` for hot-key presses; on success stores its handle in `*ref`.
    virtual Status installEventHandler(EventHandler handler, HandlerRef* ref) = 0;

    // Removes an installed handler. Once it returns, the handler is not running and never
    // starts again.
    virtual Status removeEventHandler(HandlerRef ref) = 0;

    // Registers `keyCode` (a virtual key code of the ANSI layout) with `modifiers`; on success
    // stores the registration's handle in `*ref`. kHotKeyExists when someone else holds it.
    virtual Status registerHotKey(std::uint32_t keyCode, std::uint32_t modifiers, HotKeyID hotKeyID,
                                  std::uint32_t options, HotKeyRef* ref) = 0;

    virtual Status unregisterHotKey(HotKeyRef ref) = 0;

    // Whether the desktop offers global shortcuts to this application at all (a Wayland
    // desktop without the shortcuts portal does not). May ask the desktop the first time.
    virtual bool isServed() { return true; }
};

}  // namespace noctave::os

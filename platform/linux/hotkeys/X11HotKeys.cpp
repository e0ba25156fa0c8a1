#include "platform/linux/hotkeys/X11HotKeys.hpp"

#include <xcb/xcb.h>
#include <xcb/xcb_keysyms.h>

#include <cstdlib>
#include <optional>
#include <vector>

#include "core/support/Log.hpp"

namespace noctave::linuxos {

namespace {

constexpr std::uint32_t kSuperL = 0xffeb;
constexpr std::uint32_t kSuperR = 0xffec;
constexpr std::uint32_t kAltL = 0xffe9;
constexpr std::uint32_t kAltR = 0xffea;
constexpr std::uint32_t kMetaL = 0xffe7;
constexpr std::uint32_t kNumLock = 0xff7f;
constexpr std::uint8_t kBadAccess = 10;

// The four lock-key variants of a chord, without repeats when NumLock is not mapped.
std::vector<std::uint16_t> lockVariants(std::uint16_t numLock) {
    std::vector<std::uint16_t> variants{0, XCB_MOD_MASK_LOCK};
    if (numLock != 0) {
        variants.push_back(numLock);
        variants.push_back(static_cast<std::uint16_t>(numLock | XCB_MOD_MASK_LOCK));
    }
    return variants;
}

}  // namespace

std::shared_ptr<X11HotKeys> X11HotKeys::connect(const std::string& displayName) {
    xcb_connection_t* connection =
        xcb_connect(displayName.empty() ? nullptr : displayName.c_str(), nullptr);
    if (connection == nullptr || xcb_connection_has_error(connection) != 0) {
        if (connection != nullptr) {
            xcb_disconnect(connection);
        }
        return nullptr;
    }
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection)).data;
    if (screen == nullptr) {
        xcb_disconnect(connection);
        return nullptr;
    }
    return std::shared_ptr<X11HotKeys>(new X11HotKeys(connection, screen->root));
}

X11HotKeys::X11HotKeys(xcb_connection_t* connection, std::uint32_t root)
    : connection_(connection), root_(root) {
    thread_ =
        std::make_unique<PollThread>([this](PollThread::Turn& turn) { return this->turn(turn); });
}

X11HotKeys::~X11HotKeys() {
    thread_.reset();
    // Closing the connection releases every grab it holds; no round trip is spent on the way
    // out, so a stalled server cannot hold up the quit.
    xcb_disconnect(connection_);
}

os::HotKeys::Status X11HotKeys::installEventHandler(EventHandler handler, HandlerRef* ref) {
    return handlers_.install(std::move(handler), ref);
}

os::HotKeys::Status X11HotKeys::removeEventHandler(HandlerRef ref) {
    return handlers_.remove(ref);
}

X11HotKeys::ModifierMasks X11HotKeys::readModifierMasks() {
    ModifierMasks masks;
    xcb_key_symbols_t* symbols = xcb_key_symbols_alloc(connection_);
    xcb_get_modifier_mapping_reply_t* mapping =
        xcb_get_modifier_mapping_reply(connection_, xcb_get_modifier_mapping(connection_), nullptr);
    if (symbols != nullptr && mapping != nullptr) {
        const xcb_keycode_t* keycodes = xcb_get_modifier_mapping_keycodes(mapping);
        const int perModifier = mapping->keycodes_per_modifier;
        // Which of the eight modifiers carries a key that produces one of these keysyms.
        for (int modifier = 0; modifier < 8; ++modifier) {
            for (int index = 0; index < perModifier; ++index) {
                const xcb_keycode_t keycode = keycodes[modifier * perModifier + index];
                if (keycode == 0) {
                    continue;
                }
                const auto bit = static_cast<std::uint16_t>(1U << modifier);
                for (int column = 0; column < 4; ++column) {
                    const std::uint32_t keysym =
                        xcb_key_symbols_get_keysym(symbols, keycode, column);
                    if (keysym == kSuperL || keysym == kSuperR) {
                        masks.super = masks.super != 0 ? masks.super : bit;
                    } else if (keysym == kAltL || keysym == kAltR || keysym == kMetaL) {
                        masks.alt = masks.alt != 0 ? masks.alt : bit;
                    } else if (keysym == kNumLock) {
                        masks.numLock = bit;
                    }
                }
            }
        }
    }
    std::free(mapping);
    if (symbols != nullptr) {
        xcb_key_symbols_free(symbols);
    }
    // The usual X layout when the server's table says nothing.
    if (masks.super == 0) {
        masks.super = XCB_MOD_MASK_4;
    }
    if (masks.alt == 0) {
        masks.alt = XCB_MOD_MASK_1;
    }
    return masks;
}

std::uint8_t X11HotKeys::keycodeFor(std::uint32_t keysym) {
    xcb_key_symbols_t* symbols = xcb_key_symbols_alloc(connection_);
    if (symbols == nullptr) {
        return 0;
    }
    std::uint8_t found = 0;
    if (xcb_keycode_t* keycodes = xcb_key_symbols_get_keycode(symbols, keysym)) {
        found = keycodes[0];
        std::free(keycodes);
    }
    xcb_key_symbols_free(symbols);
    return found;
}

os::HotKeys::Status X11HotKeys::registerHotKey(std::uint32_t keyCode, std::uint32_t modifiers,
                                               HotKeyID hotKeyID, std::uint32_t /*options*/,
                                               HotKeyRef* ref) {
    const char letter = letterForKeyCode(keyCode);
    const std::uint32_t known = kCommand | kShift | kOption | kControl;
    if (ref == nullptr || letter == 0 || (modifiers & ~known) != 0) {
        return kParamError;
    }
    const ModifierMasks masks = readModifierMasks();
    const std::uint8_t keycode = keycodeFor(static_cast<std::uint32_t>(letter));
    if (keycode == 0) {
        return kParamError;
    }
    std::uint16_t xModifiers = 0;
    xModifiers |= (modifiers & kControl) != 0 ? XCB_MOD_MASK_CONTROL : 0;
    xModifiers |= (modifiers & kShift) != 0 ? XCB_MOD_MASK_SHIFT : 0;
    xModifiers |= (modifiers & kOption) != 0 ? masks.alt : 0;
    xModifiers |= (modifiers & kCommand) != 0 ? masks.super : 0;

    const Grab grab{keycode, xModifiers, masks.numLock, hotKeyID};
    std::vector<xcb_void_cookie_t> cookies;
    for (const std::uint16_t variant : lockVariants(masks.numLock)) {
        cookies.push_back(xcb_grab_key_checked(connection_, 1, root_,
                                               static_cast<std::uint16_t>(xModifiers | variant),
                                               keycode, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC));
    }
    Status status = kNoError;
    for (const xcb_void_cookie_t cookie : cookies) {
        if (xcb_generic_error_t* error = xcb_request_check(connection_, cookie)) {
            // One refused variant makes the chord unreliable: report the whole chord as taken.
            if (status == kNoError) {
                status = error->error_code == kBadAccess ? kHotKeyExists : kServiceFailed;
            }
            std::free(error);
        }
    }
    if (status != kNoError) {
        ungrab(grab);
        wake();
        return status;
    }
    {
        std::lock_guard lock(grabsMutex_);
        *ref = nextRef_++;
        grabs_.emplace(*ref, grab);
    }
    // Replies read above may have queued events the event thread has not seen yet.
    wake();
    return kNoError;
}

os::HotKeys::Status X11HotKeys::unregisterHotKey(HotKeyRef ref) {
    std::map<HotKeyRef, Grab>::node_type released;
    {
        std::lock_guard lock(grabsMutex_);
        released = grabs_.extract(ref);
    }
    if (released.empty()) {
        return kInvalidRef;
    }
    ungrab(released.mapped());
    // As in registering: the awaited answers may have queued events.
    wake();
    return kNoError;
}

void X11HotKeys::ungrab(const Grab& grab) {
    // Ungrabbing touches only this client's grabs, so every variant may be released blindly.
    // The server's answer is awaited: once this returns the chord is free for any client, and
    // a caller that hands it on (or re-grabs it at once) does not race a request still in
    // flight.
    std::vector<xcb_void_cookie_t> cookies;
    for (const std::uint16_t variant : lockVariants(grab.numLock)) {
        cookies.push_back(
            xcb_ungrab_key_checked(connection_, grab.keycode, root_,
                                   static_cast<std::uint16_t>(grab.modifiers | variant)));
    }
    for (const xcb_void_cookie_t cookie : cookies) {
        std::free(xcb_request_check(connection_, cookie));
    }
}

void X11HotKeys::wake() {
    thread_->wake();
}

bool X11HotKeys::turn(PollThread::Turn& turn) {
    while (xcb_generic_event_t* event = xcb_poll_for_event(connection_)) {
        if ((event->response_type & 0x7F) == XCB_KEY_PRESS) {
            const auto* press = reinterpret_cast<const xcb_key_press_event_t*>(event);
            std::optional<HotKeyID> hotKeyID;
            {
                std::lock_guard lock(grabsMutex_);
                for (const auto& [ref, grab] : grabs_) {
                    const auto ignored =
                        static_cast<std::uint16_t>(grab.numLock | XCB_MOD_MASK_LOCK);
                    const auto state = static_cast<std::uint16_t>(press->state & ~ignored);
                    if (grab.keycode == press->detail && grab.modifiers == state) {
                        hotKeyID = grab.hotKeyID;
                    }
                }
            }
            if (hotKeyID) {
                handlers_.dispatch(Event{*hotKeyID});
            }
        }
        std::free(event);
    }
    if (xcb_connection_has_error(connection_) != 0) {
        Log::warn("hotkey X connection lost");
        return false;
    }
    turn.fds.assign(1, pollfd{xcb_get_file_descriptor(connection_), POLLIN, 0});
    return true;
}

}  // namespace noctave::linuxos

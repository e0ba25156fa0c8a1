#include "platform/linux/hotkeys/HotKeyHandlers.hpp"

#include <algorithm>
#include <array>

namespace noctave::linuxos {

os::HotKeys::Status HotKeyHandlers::install(os::HotKeys::EventHandler handler,
                                            os::HotKeys::HandlerRef* ref) {
    if (!handler || ref == nullptr) {
        return os::HotKeys::kParamError;
    }
    std::lock_guard lock(mutex_);
    *ref = nextRef_++;
    handlers_.emplace_back(*ref, std::move(handler));
    return os::HotKeys::kNoError;
}

os::HotKeys::Status HotKeyHandlers::remove(os::HotKeys::HandlerRef ref) {
    std::lock_guard lock(mutex_);
    const auto found = std::find_if(handlers_.begin(), handlers_.end(),
                                    [ref](const auto& entry) { return entry.first == ref; });
    if (found == handlers_.end()) {
        return os::HotKeys::kInvalidRef;
    }
    handlers_.erase(found);
    return os::HotKeys::kNoError;
}

bool HotKeyHandlers::dispatch(const os::HotKeys::Event& event) {
    std::lock_guard lock(mutex_);
    return std::any_of(handlers_.rbegin(), handlers_.rend(), [&](const auto& entry) {
        return entry.second(event) == os::HotKeys::kNoError;
    });
}

char letterForKeyCode(std::uint32_t keyCode) {
    // Virtual key codes of the letter keys on the ANSI layout, in code order 0...46.
    static constexpr std::array<char, 47> kLetters = {
        'a', 's', 'd', 'f', 'h', 'g', 'z', 'x', 'c', 'v', 0, 'b', 'q', 'w', 'e', 'r',
        'y', 't', 0,   0,   0,   0,   0,   0,   0,   0,   0, 0,   0,   0,   0,   'o',
        'u', 0,   'i', 'p', 0,   'l', 'j', 0,   'k', 0,   0, 0,   0,   'n', 'm'};
    return keyCode < kLetters.size() ? kLetters[keyCode] : 0;
}

}  // namespace noctave::linuxos

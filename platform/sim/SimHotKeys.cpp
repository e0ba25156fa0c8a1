#include "platform/sim/SimHotKeys.hpp"

#include <algorithm>
#include <iterator>
#include <utility>

#include "platform/sim/SimKeys.hpp"

namespace noctave::sim {

os::HotKeys::Status SimHotKeys::installEventHandler(EventHandler handler, HandlerRef* ref) {
    ++operations_;
    if (installFailure_ != kNoError) {
        return installFailure_;
    }
    if (!handler || ref == nullptr) {
        return kParamError;
    }
    *ref = nextRef_++;
    handlers_.emplace_back(*ref, std::move(handler));
    return kNoError;
}

os::HotKeys::Status SimHotKeys::removeEventHandler(HandlerRef ref) {
    ++operations_;
    const auto found = std::find_if(handlers_.begin(), handlers_.end(),
                                    [ref](const auto& entry) { return entry.first == ref; });
    if (found == handlers_.end()) {
        return kInvalidRef;
    }
    handlers_.erase(found);
    return kNoError;
}

os::HotKeys::Status SimHotKeys::registerHotKey(std::uint32_t keyCode, std::uint32_t modifiers,
                                               HotKeyID hotKeyID, std::uint32_t /*options*/,
                                               HotKeyRef* ref) {
    ++operations_;
    if (ref == nullptr) {
        return kParamError;
    }
    if (registrationRefusal_ != kNoError) {
        return registrationRefusal_;
    }
    // The same combination twice is refused, as a real dispatcher does for its own clients.
    for (const auto& [existing, registration] : registrations_) {
        if (registration.keyCode == keyCode && registration.modifiers == modifiers) {
            return kHotKeyExists;
        }
    }
    *ref = nextRef_++;
    registrations_.emplace(*ref, Registration{keyCode, modifiers, hotKeyID});
    return kNoError;
}

os::HotKeys::Status SimHotKeys::unregisterHotKey(HotKeyRef ref) {
    ++operations_;
    return registrations_.erase(ref) == 1 ? kNoError : kInvalidRef;
}

bool SimHotKeys::press(std::uint32_t keyCode, std::uint32_t modifiers) {
    const auto registration =
        std::find_if(registrations_.begin(), registrations_.end(), [&](const auto& entry) {
            return entry.second.keyCode == keyCode && entry.second.modifiers == modifiers;
        });
    if (registration == registrations_.end()) {
        return false;
    }
    const Event event{registration->second.hotKeyID};
    // A copy: a handler may install or remove handlers while it runs.
    const auto handlers = handlers_;
    return std::any_of(handlers.rbegin(), handlers.rend(),
                       [&](const auto& entry) { return entry.second(event) == kNoError; });
}

void SimHotKeys::registerKeys(SimKeys& keys) {
    keys.addWords<Status>("hotkey", {{"free", kNoError}, {"taken", kHotKeyExists}},
                          [this](Status refusal) { registrationRefusal_ = refusal; });
}

}  // namespace noctave::sim

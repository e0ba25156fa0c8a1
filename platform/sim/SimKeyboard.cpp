#include "platform/sim/SimKeyboard.hpp"

#include <string_view>

#include "platform/sim/VirtualLaptop.hpp"

namespace noctave::sim {

void SimKeyboard::setFunctionHeld(bool held) {
    if (held_.exchange(held) == held) {
        return;
    }
    std::lock_guard lock(mutex_);
    for (auto& [token, onChange] : observers_) {
        onChange();
    }
}

os::KeyboardState::ObserverToken SimKeyboard::addFunctionObserver(std::function<void()> onChange) {
    std::lock_guard lock(mutex_);
    if (!announces_) {
        return 0;
    }
    const ObserverToken token = nextObserver_++;
    observers_.emplace(token, std::move(onChange));
    return token;
}

void SimKeyboard::removeFunctionObserver(ObserverToken token) {
    std::lock_guard lock(mutex_);
    observers_.erase(token);
}

void SimKeyboard::setAnnouncesChanges(bool announces) {
    std::lock_guard lock(mutex_);
    announces_ = announces;
}

void SimKeyboard::registerKeys(SimKeys& keys) {
    keys.add("fn", [this](std::string_view value) {
        if (value != "up" && value != "down") {
            return false;
        }
        setFunctionHeld(value == "down");
        return true;
    });
}

}  // namespace noctave::sim

#include "platform/sim/SimKeyboard.hpp"

#include <string_view>

#include "platform/sim/SimKeys.hpp"

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
    keys.addWords<bool>("fn", {{"up", false}, {"down", true}},
                        [this](bool held) { setFunctionHeld(held); });
}

}  // namespace noctave::sim

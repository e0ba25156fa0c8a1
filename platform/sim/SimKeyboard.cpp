#include "platform/sim/SimKeyboard.hpp"

#include <string_view>

#include "platform/sim/VirtualLaptop.hpp"

namespace noctave::sim {

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

#include "platform/sim/SimKeyboard.hpp"

#include <string_view>

#include "platform/sim/VirtualLaptop.hpp"

namespace noctave::sim {

void SimKeyboard::registerKeys(VirtualLaptop& laptop) {
    laptop.registerKey("fn", [this](std::string_view value) {
        if (value != "up" && value != "down") {
            return false;
        }
        setFunctionHeld(value == "down");
        return true;
    });
}

}  // namespace noctave::sim

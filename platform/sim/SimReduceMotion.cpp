#include "platform/sim/SimReduceMotion.hpp"

#include <string_view>

#include "platform/sim/VirtualLaptop.hpp"

namespace noctave::sim {

void SimReduceMotion::registerKeys(SimKeys& keys) {
    keys.add("reducemotion", [this](std::string_view value) {
        if (value != "1" && value != "0") {
            return false;
        }
        setEnabled(value == "1");
        return true;
    });
}

}  // namespace noctave::sim

#include "platform/sim/SimReduceMotion.hpp"

#include <string_view>

#include "platform/sim/SimKeys.hpp"

namespace noctave::sim {

void SimReduceMotion::registerKeys(SimKeys& keys) {
    keys.addWords<bool>("reducemotion", {{"0", false}, {"1", true}},
                        [this](bool enabled) { setEnabled(enabled); });
}

}  // namespace noctave::sim

#pragma once

#include <memory>

#include "platform/linux/lid/LidOwner.hpp"

namespace noctave::linuxos::lid {

// mate-power-manager and csd-power keep their lid actions in GSettings; both watch their
// schema and take a change up at once, so no reload is needed. Values are GVariant text
// ("'nothing'"); a key the user never set reads as none and is reset, not written, on restore.
//
// Null when the schema is not installed (the desktop is not there to stand down).
std::unique_ptr<LidOwner> makeMateLidOwner();
std::unique_ptr<LidOwner> makeCinnamonLidOwner();

}  // namespace noctave::linuxos::lid

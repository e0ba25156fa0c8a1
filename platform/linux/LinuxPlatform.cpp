#include "platform/linux/LinuxPlatform.hpp"

#include "core/os/Paths.hpp"

namespace noctave::linuxos {

std::unique_ptr<os::System> makeSystem() {
    auto system = std::make_unique<os::System>();
    system->paths = std::make_shared<os::EnvPaths>();
    return system;
}

}  // namespace noctave::linuxos

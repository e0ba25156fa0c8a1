#include "platform/linux/LinuxPlatform.hpp"

#include "core/os/Paths.hpp"
#include "platform/linux/http/CurlHttpClient.hpp"

namespace noctave::linuxos {

std::unique_ptr<os::System> makeSystem() {
    auto system = std::make_unique<os::System>();
    system->paths = std::make_shared<os::EnvPaths>();
    system->httpClient = std::make_shared<CurlHttpClient>();
    return system;
}

}  // namespace noctave::linuxos

#include "app/PlatformSelection.hpp"

#include <cstdlib>
#include <string_view>

#include "platform/linux/LinuxPlatform.hpp"
#include "platform/sim/VirtualLaptop.hpp"

namespace noctave::app {

Platform::Platform() = default;
Platform::~Platform() = default;
Platform::Platform(Platform&&) noexcept = default;
Platform& Platform::operator=(Platform&&) noexcept = default;

os::System& Platform::system() {
    return kind == Kind::sim ? laptop->system() : *linuxSystem;
}

std::unique_ptr<Platform> selectPlatform(std::string* error) {
    const char* chosen = std::getenv("NOCTAVE_PLATFORM");
    const std::string_view name = chosen != nullptr && chosen[0] != '\0' ? chosen : "linux";
    auto platform = std::make_unique<Platform>();
    if (name == "sim") {
        platform->kind = Platform::Kind::sim;
        // NOCTAVE_SIM_HOME keeps the virtual laptop's files between runs; otherwise they live
        // in a temporary folder for this run only.
        const char* home = std::getenv("NOCTAVE_SIM_HOME");
        platform->laptop = std::make_unique<sim::VirtualLaptop>(home != nullptr && home[0] != '\0'
                                                                    ? std::filesystem::path(home)
                                                                    : std::filesystem::path());
        const char* spec = std::getenv("NOCTAVE_SIM");
        if (spec != nullptr && !platform->laptop->configure(spec, error)) {
            return nullptr;
        }
        return platform;
    }
    if (name == "linux") {
        platform->kind = Platform::Kind::linux;
        platform->linuxSystem = linuxos::makeSystem();
        return platform;
    }
    if (error != nullptr) {
        *error = "unknown NOCTAVE_PLATFORM: " + std::string(name) + " (use sim or linux)";
    }
    return nullptr;
}

}  // namespace noctave::app

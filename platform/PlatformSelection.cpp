#include "platform/PlatformSelection.hpp"

#include <cstdlib>
#include <string>

#include "platform/linux/LinuxPlatform.hpp"
#include "platform/sim/VirtualLaptop.hpp"

namespace noctave::platform {

Platform::Platform() = default;
Platform::~Platform() = default;
Platform::Platform(Platform&&) noexcept = default;
Platform& Platform::operator=(Platform&&) noexcept = default;

os::System& Platform::system() {
    return kind == Kind::sim ? laptop->system() : *linuxSystem;
}

namespace {

constexpr const char* kVariable = "NOCTAVE_PLATFORM";

std::string requestedName() {
    return namedPlatform().value_or("linux");
}

}  // namespace

std::optional<std::string> namedPlatform() {
    const char* chosen = std::getenv(kVariable);
    if (chosen == nullptr || chosen[0] == '\0') {
        return std::nullopt;
    }
    return std::string(chosen);
}

void requestPlatform(Platform::Kind kind) {
    ::setenv(kVariable, kind == Platform::Kind::sim ? "sim" : "linux", 1);
}

std::optional<Platform::Kind> requestedPlatform() {
    const std::string name = requestedName();
    if (name == "sim") {
        return Platform::Kind::sim;
    }
    if (name == "linux") {
        return Platform::Kind::linuxos;
    }
    return std::nullopt;
}

std::unique_ptr<Platform> selectPlatform(std::string* error) {
    const std::string name = requestedName();
    auto platform = std::make_unique<Platform>();
    const auto kind = requestedPlatform();
    if (kind == Platform::Kind::sim) {
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
    if (kind == Platform::Kind::linuxos) {
        platform->kind = Platform::Kind::linuxos;
        platform->linuxSystem = linuxos::makeSystem();
        return platform;
    }
    if (error != nullptr) {
        *error = "unknown NOCTAVE_PLATFORM: " + name + " (use sim or linux)";
    }
    return nullptr;
}

}  // namespace noctave::platform

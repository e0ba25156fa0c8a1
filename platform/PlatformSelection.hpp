#pragma once

#include <memory>
#include <optional>
#include <string>

#include "core/os/System.hpp"

namespace noctave::sim {
class VirtualLaptop;
}

namespace noctave::platform {

// The platform this process runs on, chosen by NOCTAVE_PLATFORM (sim | linux; default linux).
// On the virtual laptop, NOCTAVE_SIM sets its starting state.
struct Platform {
    enum class Kind { linuxos, sim };
    Kind kind = Kind::linuxos;
    std::unique_ptr<sim::VirtualLaptop> laptop;  // sim only
    std::unique_ptr<os::System> linuxSystem;     // linux only

    os::System& system();
    bool isSimulated() const { return kind == Kind::sim; }

    Platform();
    ~Platform();
    Platform(Platform&&) noexcept;
    Platform& operator=(Platform&&) noexcept;
};

// Builds the platform from the environment. On a bad setting returns nothing and sets `error`
// to the line to print on standard error (the caller exits with status 2).
std::unique_ptr<Platform> selectPlatform(std::string* error);

// The platform NOCTAVE_PLATFORM asks for, without building it; nothing when it names none.
std::optional<Platform::Kind> requestedPlatform();

// The name NOCTAVE_PLATFORM holds; nothing when it is unset or empty (the default applies).
std::optional<std::string> namedPlatform();

// Makes `kind` the platform this process and the programs it starts ask for, for a mode that
// only makes sense on it.
void requestPlatform(Platform::Kind kind);

}  // namespace noctave::platform

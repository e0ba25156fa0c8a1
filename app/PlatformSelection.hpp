#pragma once

#include <memory>
#include <string>

#include "core/os/System.hpp"

namespace noctave::sim {
class VirtualLaptop;
}

namespace noctave::app {

// The platform this process runs on, chosen by NOCTAVE_PLATFORM (sim | linux; default linux).
// On the virtual laptop, NOCTAVE_SIM sets its starting state.
struct Platform {
    enum class Kind { linux, sim };
    Kind kind = Kind::linux;
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

}  // namespace noctave::app

#pragma once

#include <filesystem>
#include <memory>
#include <optional>

#include "app/LaunchOptions.hpp"

namespace noctave::sim {
class VirtualLaptop;
}

namespace noctave::app {

class SimulatorWindow;

// "--simulate": the application on the virtual laptop with its window beside the tray.
// "--snapshot-simulator <png>": the same, offscreen, until the window is drawn into the file;
// prints "wrote <path>" and ends with status 0, or 1 when the file could not be written.
//
// Both choose the virtual laptop themselves; naming another platform in NOCTAVE_PLATFORM is a
// usage error, since the window never shows the real backend.
class SimulatorMode {
  public:
    // Before the platform is chosen: asks the platform selection for the virtual laptop when
    // `launch` wants its window. Returns the exit status when the process must end now (2: a
    // usage error, printed).
    static std::optional<int> prepare(const LaunchOptions& launch, SimulatorMode* mode);

    bool isRequested() const { return isRequested_; }

    // Once the application has launched: opens the window on `laptop` (and for a snapshot,
    // writes it a moment later and ends the event loop with the export's status).
    std::unique_ptr<SimulatorWindow> open(sim::VirtualLaptop& laptop) const;

  private:
    bool isRequested_ = false;
    std::optional<std::filesystem::path> snapshot_;
};

}  // namespace noctave::app

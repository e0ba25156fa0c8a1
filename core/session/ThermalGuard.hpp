#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "core/os/Thermal.hpp"
#include "core/runtime/Timer.hpp"
#include "core/runtime/WeakPtr.hpp"

namespace noctave {

// Watches the machine's temperature while a laptop runs with its lid shut (in a bag, say) and
// says when it has stayed above the cut-off for a minute in a row.
//
// It reads only between start() and stop(): no timer runs otherwise. A sensor that cannot be
// read is logged once (until it reads again) and never counts as too hot. Main queue only.
class ThermalGuard {
  public:
    static constexpr double kPeriodSeconds = 5.0;
    static constexpr double kSustainSeconds = 60.0;
    static constexpr double kMarginBelowCritical = 10.0;
    static constexpr double kHighestDefaultCutoff = 95.0;

    ThermalGuard();
    ~ThermalGuard();
    ThermalGuard(const ThermalGuard&) = delete;
    ThermalGuard& operator=(const ThermalGuard&) = delete;

    // Reads now and then every kPeriodSeconds. Does nothing when running or when the platform
    // has no temperature port.
    void start();
    void stop();
    bool isRunning() const { return timer_ != nullptr; }

    // Called once, on the main queue, with the reading rounded to whole degrees, after the
    // watch has stopped itself.
    std::function<void(int celsius)> onTooHot;

    // The cut-off in degrees: the user's `setting` when above 0, else 10 below the sensor's
    // critical trip point but at most 95 (95 when the sensor has none).
    static double cutoffFor(std::optional<double> criticalCelsius, int64_t setting);

  private:
    void sample();

    std::shared_ptr<os::Thermal> port_;
    std::unique_ptr<runtime::Timer> timer_;
    std::optional<double> aboveSince_;
    bool isUnreadableLogged_ = false;
    runtime::WeakFactory<ThermalGuard> weakFactory_{this};
};

}  // namespace noctave

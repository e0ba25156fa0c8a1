#pragma once

#include <mutex>
#include <optional>

#include "core/os/Thermal.hpp"

namespace noctave::sim {

class SimKeys;

// The virtual laptop's CPU temperature sensor: a cool 45 °C with a critical trip point at
// 105 °C until a test, NOCTAVE_SIM or the simulator window says otherwise.
class SimThermal final : public os::Thermal {
  public:
    static constexpr double kDefaultCelsius = 45.0;
    static constexpr double kDefaultCritical = 105.0;

    bool hasSensor() const override;
    Reading read() const override;

    // Knobs. No celsius: the sensor is there but cannot be read.
    void setCelsius(std::optional<double> celsius);
    void setCritical(std::optional<double> celsius);
    void setPresent(bool present);
    std::optional<double> celsius() const;
    // Recorded: how many times the sensor was read.
    int readCount() const;

    // thermal=C | C/CRITICAL | unreadable | none
    void registerKeys(SimKeys& keys);

  private:
    mutable std::mutex mutex_;
    bool present_ = true;
    std::optional<double> celsius_ = kDefaultCelsius;
    std::optional<double> critical_ = kDefaultCritical;
    mutable int reads_ = 0;
};

}  // namespace noctave::sim

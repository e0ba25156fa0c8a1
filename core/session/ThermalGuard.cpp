#include "core/session/ThermalGuard.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "core/os/System.hpp"
#include "core/runtime/Runtime.hpp"
#include "core/support/Log.hpp"
#include "core/support/Prefs.hpp"

namespace noctave {

namespace {
constexpr double kLeewaySeconds = 1.0;
}  // namespace

ThermalGuard::ThermalGuard() : port_(os::system().thermal) {}

ThermalGuard::~ThermalGuard() {
    weakFactory_.invalidate();
}

double ThermalGuard::cutoffFor(std::optional<double> criticalCelsius, int64_t setting) {
    if (setting > 0) {
        return static_cast<double>(setting);
    }
    if (!criticalCelsius) {
        return kHighestDefaultCutoff;
    }
    return std::min(*criticalCelsius - kMarginBelowCritical, kHighestDefaultCutoff);
}

void ThermalGuard::start() {
    if (timer_ || !port_) {
        return;
    }
    aboveSince_.reset();
    timer_ = runtime::Timer::repeating(
        runtime::mainQueue(), kPeriodSeconds, kLeewaySeconds,
        runtime::bindWeak(weakFactory_.weak(), [](ThermalGuard& self) { self.sample(); }));
    sample();
}

void ThermalGuard::stop() {
    timer_.reset();
    aboveSince_.reset();
}

void ThermalGuard::sample() {
    const auto reading = port_->read();
    if (!reading.celsius) {
        if (!isUnreadableLogged_) {
            isUnreadableLogged_ = true;
            Log::warn("temperature could not be read" +
                      (reading.sensor.empty() ? std::string() : " (" + reading.sensor + ")") +
                      "; the thermal cut-off waits for a reading");
        }
        // An unreadable sensor neither disarms nor extends a hot spell across the gap.
        aboveSince_.reset();
        return;
    }
    isUnreadableLogged_ = false;
    const double cutoff = cutoffFor(reading.criticalCelsius, Prefs::thermalCutoffCelsius());
    if (*reading.celsius <= cutoff) {
        aboveSince_.reset();
        return;
    }
    const double now = runtime::clock().monotonic();
    if (!aboveSince_) {
        aboveSince_ = now;
        Log::info("temperature " + std::to_string(std::lround(*reading.celsius)) +
                  " °C is above the cut-off (" + std::to_string(std::lround(cutoff)) + " °C)");
    }
    if (now - *aboveSince_ < kSustainSeconds) {
        return;
    }
    stop();
    if (onTooHot) {
        onTooHot(static_cast<int>(std::lround(*reading.celsius)));
    }
}

}  // namespace noctave

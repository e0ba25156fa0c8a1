#include "platform/sim/SimThermal.hpp"

#include <charconv>
#include <string_view>

#include "platform/sim/SimKeys.hpp"

namespace noctave::sim {

namespace {
std::optional<double> parseCelsius(std::string_view text) {
    int value = 0;
    const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc{} || ptr != text.data() + text.size() || value < -50 || value > 200) {
        return std::nullopt;
    }
    return static_cast<double>(value);
}
}  // namespace

bool SimThermal::hasSensor() const {
    std::lock_guard lock(mutex_);
    return present_;
}

os::Thermal::Reading SimThermal::read() const {
    std::lock_guard lock(mutex_);
    ++reads_;
    if (!present_) {
        return {};
    }
    return Reading{celsius_, critical_, "cpu"};
}

void SimThermal::setCelsius(std::optional<double> celsius) {
    std::lock_guard lock(mutex_);
    celsius_ = celsius;
}

void SimThermal::setCritical(std::optional<double> celsius) {
    std::lock_guard lock(mutex_);
    critical_ = celsius;
}

void SimThermal::setPresent(bool present) {
    std::lock_guard lock(mutex_);
    present_ = present;
}

std::optional<double> SimThermal::celsius() const {
    std::lock_guard lock(mutex_);
    return celsius_;
}

int SimThermal::readCount() const {
    std::lock_guard lock(mutex_);
    return reads_;
}

void SimThermal::registerKeys(SimKeys& keys) {
    keys.add("thermal", [this](std::string_view value) {
        if (value == "none") {
            setPresent(false);
            return true;
        }
        if (value == "unreadable") {
            setCelsius(std::nullopt);
            return true;
        }
        const auto slash = value.find('/');
        const auto celsius = parseCelsius(value.substr(0, slash));
        const auto critical = slash == std::string_view::npos
                                  ? std::optional<double>(kDefaultCritical)
                                  : parseCelsius(value.substr(slash + 1));
        if (!celsius || !critical) {
            return false;
        }
        setCelsius(celsius);
        setCritical(critical);
        return true;
    });
}

}  // namespace noctave::sim

#include "platform/sim/SimHinge.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <string_view>

#include "core/runtime/Runtime.hpp"
#include "platform/sim/SimKeys.hpp"

namespace noctave::sim {

namespace {
constexpr os::HidMatching kHingeUsage{0x20, 0x8A};
constexpr uint32_t kAngleReportId = 1;

double now() {
    return runtime::isInstalled() ? runtime::clock().monotonic() : 0.0;
}
}  // namespace

// The hinge sensor as one HID device. Owned by the hinge; a user must not keep it past the
// virtual laptop's life.
class SimHinge::Device final : public os::HidDevice {
  public:
    explicit Device(SimHinge& hinge) : hinge_(hinge) {}

    int open() override {
        std::lock_guard lock(hinge_.mutex_);
        if (hinge_.sensor_ == Sensor::absent) {
            return kErrorNotAttached;
        }
        if (hinge_.sensor_ == Sensor::unopenable) {
            return kErrorNotPermitted;
        }
        if (!isOpen_) {
            isOpen_ = true;
            ++hinge_.openDevices_;
        }
        ++hinge_.deviceOpens_;
        return 0;
    }

    int close() override {
        std::lock_guard lock(hinge_.mutex_);
        if (!isOpen_) {
            return kErrorNotOpen;
        }
        isOpen_ = false;
        --hinge_.openDevices_;
        return 0;
    }

    int getReport(os::HidReportType type, uint32_t reportId, uint8_t* buffer, std::size_t capacity,
                  std::size_t& length) override {
        std::lock_guard lock(hinge_.mutex_);
        length = 0;
        if (!isOpen_) {
            return kErrorNotOpen;
        }
        return hinge_.readReport(reportId, type, buffer, capacity, length);
    }

  private:
    SimHinge& hinge_;
    bool isOpen_ = false;  // guarded by the hinge's mutex
};

class SimHinge::Session final : public os::HidManagerSession {
  public:
    Session(SimHinge& hinge, bool matches) : hinge_(hinge), matches_(matches) {}

    std::optional<std::vector<std::shared_ptr<os::HidDevice>>> copyDevices() override {
        std::lock_guard lock(hinge_.mutex_);
        std::vector<std::shared_ptr<os::HidDevice>> devices;
        if (matches_ && hinge_.sensor_ != Sensor::absent) {
            devices.push_back(hinge_.device_);
        }
        return devices;
    }

    void close() override {
        std::lock_guard lock(hinge_.mutex_);
        if (!closed_) {
            closed_ = true;
            --hinge_.openManagers_;
        }
    }

    ~Session() override { close(); }

  private:
    SimHinge& hinge_;
    bool matches_;
    bool closed_ = false;
};

SimHinge::SimHinge() : device_(std::make_shared<Device>(*this)) {}

std::unique_ptr<os::HidManagerSession> SimHinge::create(const os::HidMatching& matching) {
    {
        std::lock_guard lock(mutex_);
        ++openManagers_;
    }
    const bool matches = matching.primaryUsagePage == kHingeUsage.primaryUsagePage &&
                         matching.primaryUsage == kHingeUsage.primaryUsage;
    return std::make_unique<Session>(*this, matches);
}

int SimHinge::readReport(uint32_t reportId, os::HidReportType type, uint8_t* buffer,
                         std::size_t capacity, std::size_t& length) {
    ++reportReads_;
    if (sensor_ == Sensor::absent) {
        return kErrorNotAttached;
    }
    if (type != os::HidReportType::feature || reportId != kAngleReportId || capacity < 3) {
        return kErrorGeneral;
    }
    const double degrees = std::clamp(std::round(angleLocked(now())), 0.0, 65535.0);
    const auto whole = static_cast<uint16_t>(degrees);
    std::memset(buffer, 0, capacity);
    buffer[0] = static_cast<uint8_t>(kAngleReportId);
    buffer[1] = static_cast<uint8_t>(whole & 0xFF);
    buffer[2] = static_cast<uint8_t>(whole >> 8);
    if (failuresLeft_ > 0) {
        --failuresLeft_;
        if (failure_ == Failure::status) {
            return kErrorGeneral;
        }
        length = 2;
        return 0;
    }
    length = 3;
    return 0;
}

double SimHinge::angleLocked(double at) const {
    if (duration_ <= 0 || at >= startTime_ + duration_) {
        return toAngle_;
    }
    if (at <= startTime_) {
        return fromAngle_;
    }
    return fromAngle_ + (toAngle_ - fromAngle_) * (at - startTime_) / duration_;
}

void SimHinge::setAngle(double degrees) {
    moveTo(degrees, 0);
}

void SimHinge::moveTo(double degrees, double seconds) {
    std::lock_guard lock(mutex_);
    const double at = now();
    fromAngle_ = angleLocked(at);
    toAngle_ = degrees;
    startTime_ = at;
    duration_ = seconds;
}

double SimHinge::angle() const {
    std::lock_guard lock(mutex_);
    return angleLocked(now());
}

void SimHinge::setSensor(Sensor sensor) {
    std::lock_guard lock(mutex_);
    sensor_ = sensor;
}

void SimHinge::failReads(int count, Failure failure) {
    std::lock_guard lock(mutex_);
    failuresLeft_ = count;
    failure_ = failure;
}

int SimHinge::reportReads() const {
    std::lock_guard lock(mutex_);
    return reportReads_;
}

int SimHinge::deviceOpens() const {
    std::lock_guard lock(mutex_);
    return deviceOpens_;
}

int SimHinge::openDevices() const {
    std::lock_guard lock(mutex_);
    return openDevices_;
}

int SimHinge::openManagers() const {
    std::lock_guard lock(mutex_);
    return openManagers_;
}

void SimHinge::registerKeys(SimKeys& keys) {
    keys.add("angle", [this](std::string_view value) {
        if (value == "absent") {
            setSensor(Sensor::absent);
            return true;
        }
        if (value == "none") {
            setSensor(Sensor::present);
            setAngle(0);
            return true;
        }
        double degrees = 0;
        auto [ptr, ec] = std::from_chars(value.data(), value.data() + value.size(), degrees);
        // A hinge opens no further than folded back flat: anything past that is a typing slip.
        if (ec != std::errc{} || ptr != value.data() + value.size() || !(degrees >= 0) ||
            degrees > 360) {
            return false;
        }
        setSensor(Sensor::present);
        setAngle(degrees);
        return true;
    });
}

}  // namespace noctave::sim

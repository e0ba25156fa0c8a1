#include "core/gesture/LidAngleSensor.hpp"

#include <array>
#include <cstdint>

#include "core/os/HidManager.hpp"
#include "core/os/System.hpp"
#include "core/os/Vocabulary.hpp"
#include "core/support/Log.hpp"

namespace noctave {

namespace {
// The hinge sensor on the HID sensor usage page.
constexpr os::HidMatching kMatching{0x20, 0x8A};
constexpr uint32_t kReportId = 1;
constexpr std::size_t kReportSize = 8;
constexpr std::size_t kMinimumReportLength = 3;
}  // namespace

LidAngleSensor::LidAngleSensor() = default;

LidAngleSensor::~LidAngleSensor() {
    close();
}

bool LidAngleSensor::open() {
    std::lock_guard lock(mutex_);
    return openLocked();
}

bool LidAngleSensor::openLocked() {
    closeLocked();
    const auto& hid = os::system().hidManager;
    if (!hid) {
        Log::info("lid-angle sensor not present on this " + os::vocabulary().machine() +
                  "; tilt gesture unavailable");
        return false;
    }
    auto manager = hid->create(kMatching);
    auto devices = manager->copyDevices();
    if (!devices || devices->empty() || !devices->front()) {
        manager->close();
        Log::info("lid-angle sensor not present on this " + os::vocabulary().machine() +
                  "; tilt gesture unavailable");
        return false;
    }
    std::shared_ptr<os::HidDevice> device = devices->front();
    if (device->open() != 0) {
        manager->close();
        Log::warn("lid-angle sensor found but could not be opened");
        return false;
    }
    manager_ = std::move(manager);
    device_ = std::move(device);
    isAvailable_ = true;
    consecutiveFailures_ = 0;
    Log::info("lid-angle sensor opened");
    return true;
}

std::optional<double> LidAngleSensor::angle() {
    std::lock_guard lock(mutex_);
    if (!device_) {
        return std::nullopt;
    }
    std::array<uint8_t, kReportSize> report{};
    std::size_t length = 0;
    const int status = device_->getReport(os::HidReportType::feature, kReportId, report.data(),
                                          report.size(), length);
    if (status != 0 || length < kMinimumReportLength) {
        ++consecutiveFailures_;
        if (consecutiveFailures_ == kReopenAfterFailures) {
            Log::warn("lid-angle sensor reads failing repeatedly; attempting reopen");
            if (openLocked()) {
                Log::info("lid-angle sensor recovered");
            }
        }
        return std::nullopt;
    }
    consecutiveFailures_ = 0;
    const unsigned degrees = report[1] | (static_cast<unsigned>(report[2]) << 8);
    if (degrees == 0 || degrees >= 360) {
        return std::nullopt;  // the sensor's way of saying it has no reading
    }
    return static_cast<double>(degrees);
}

void LidAngleSensor::close() {
    std::lock_guard lock(mutex_);
    closeLocked();
}

void LidAngleSensor::closeLocked() {
    if (device_) {
        device_->close();
        device_.reset();
    }
    if (manager_) {
        manager_->close();
        manager_.reset();
    }
    isAvailable_ = false;
}

bool LidAngleSensor::isAvailable() const {
    std::lock_guard lock(mutex_);
    return isAvailable_;
}

int LidAngleSensor::consecutiveFailures() const {
    std::lock_guard lock(mutex_);
    return consecutiveFailures_;
}

}  // namespace noctave

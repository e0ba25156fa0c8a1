#include "core/power/SleepAssertion.hpp"

#include "core/os/System.hpp"

namespace noctave {

namespace {
constexpr uint32_t kAssertionLevelOn = 255;
}

SleepAssertion::SleepAssertion(std::string type, std::string reason)
    : type_(std::move(type)), reason_(std::move(reason)) {}

SleepAssertion::~SleepAssertion() {
    if (isHeld_) {
        power_->releaseAssertion(id_);
        id_ = 0;
        isHeld_ = false;
    }
}

bool SleepAssertion::acquire() {
    if (isHeld_) {
        return true;
    }
    auto power = os::system().powerManagement;
    os::AssertionId id = 0;
    if (!power ||
        power->createAssertion(type_, kAssertionLevelOn, reason_, &id) != os::kIoReturnSuccess) {
        return false;
    }
    id_ = id;
    isHeld_ = true;
    power_ = std::move(power);
    return true;
}

bool SleepAssertion::release() {
    if (!isHeld_) {
        return true;
    }
    const os::IoReturn result = power_->releaseAssertion(id_);
    id_ = 0;
    isHeld_ = false;
    return result == os::kIoReturnSuccess;
}

}  // namespace noctave

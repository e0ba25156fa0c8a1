#pragma once

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "core/os/DesktopNotifications.hpp"

namespace noctave::sim {

// The virtual desktop's notification centre: keeps every notice posted, in order.
class SimNotifications final : public os::DesktopNotifications {
  public:
    using Posted = std::pair<std::string, std::string>;  // title, body

    void post(const std::string& title, const std::string& body) override {
        std::lock_guard lock(mutex_);
        posted_.emplace_back(title, body);
    }
    std::vector<Posted> posted() const {
        std::lock_guard lock(mutex_);
        return posted_;
    }

  private:
    mutable std::mutex mutex_;
    std::vector<Posted> posted_;
};

}  // namespace noctave::sim

#pragma once

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "core/support/Log.hpp"

namespace noctave::test {

// Records every log line written while it lives (and keeps them off standard error).
class LogCapture {
  public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // "INF disarmed (menu)" style: the level's raw value, a space, the message.
    std::vector<std::string> lines() const;
    std::vector<std::string> messages() const;
    bool contains(const std::string& message) const;
    std::size_t count(const std::string& message) const;
    void clear();

  private:
    mutable std::mutex mutex_;
    std::vector<std::pair<Log::Level, std::string>> entries_;
};

}  // namespace noctave::test

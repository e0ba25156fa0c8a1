#include "tests/support/LogCapture.hpp"

#include <algorithm>
#include <cstdlib>

namespace noctave::test {

LogCapture::LogCapture() {
    // NOCTAVE_TEST_LOG=1 shows the lines on standard error while debugging a test.
    const char* show = std::getenv("NOCTAVE_TEST_LOG");
    Log::setStandardErrorEnabled(show != nullptr && show[0] == '1');
    Log::setObserver([this](Log::Level level, std::string_view message) {
        std::lock_guard lock(mutex_);
        entries_.emplace_back(level, std::string(message));
    });
}

LogCapture::~LogCapture() {
    Log::setObserver(nullptr);
    Log::setStandardErrorEnabled(true);
}

std::vector<std::string> LogCapture::lines() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> out;
    for (const auto& [level, message] : entries_) {
        out.push_back(std::string(Log::rawValue(level)) + " " + message);
    }
    return out;
}

std::vector<std::string> LogCapture::messages() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> out;
    for (const auto& entry : entries_) {
        out.push_back(entry.second);
    }
    return out;
}

bool LogCapture::contains(const std::string& message) const {
    return count(message) > 0;
}

std::size_t LogCapture::count(const std::string& message) const {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(
        std::count_if(entries_.begin(), entries_.end(),
                      [&](const auto& entry) { return entry.second == message; }));
}

void LogCapture::clear() {
    std::lock_guard lock(mutex_);
    entries_.clear();
}

}  // namespace noctave::test

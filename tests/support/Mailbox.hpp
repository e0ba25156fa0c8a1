#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

namespace noctave::test {

// What other threads (a bus connection's, a poll loop's) report, for the test thread to wait on.
template <typename T>
class Mailbox {
  public:
    void put(T value) {
        std::lock_guard lock(mutex_);
        values_.push_back(std::move(value));
        changed_.notify_all();
    }
    // The oldest value not yet taken; nothing when none arrives within five seconds.
    std::optional<T> take() {
        std::unique_lock lock(mutex_);
        if (!changed_.wait_for(lock, std::chrono::seconds(5), [&] { return !values_.empty(); })) {
            return std::nullopt;
        }
        T value = std::move(values_.front());
        values_.erase(values_.begin());
        return value;
    }
    // Everything not yet taken, without waiting.
    std::vector<T> takeAll() {
        std::lock_guard lock(mutex_);
        return std::exchange(values_, {});
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<T> values_;
};

}  // namespace noctave::test

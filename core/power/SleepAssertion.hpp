#pragma once

#include <memory>
#include <string>

#include "core/os/PowerManagement.hpp"

namespace noctave {

// One named power assertion that can be taken and given back any number of times; given back
// on destruction. Used from one thread at a time. Logs nothing.
class SleepAssertion {
  public:
    // Nothing is taken yet.
    SleepAssertion(std::string type, std::string reason);
    ~SleepAssertion();
    SleepAssertion(const SleepAssertion&) = delete;
    SleepAssertion& operator=(const SleepAssertion&) = delete;

    // True when held afterwards; held already: true, no second assertion.
    bool acquire();
    // Not held: true. Otherwise gives it back and reports whether the system accepted that;
    // either way it is no longer held.
    bool release();

    bool isHeld() const { return isHeld_; }
    const std::string& type() const { return type_; }
    const std::string& reason() const { return reason_; }

  private:
    os::AssertionId id_ = 0;
    bool isHeld_ = false;
    std::string type_;
    std::string reason_;
    std::shared_ptr<os::PowerManagement> power_;  // where the held assertion lives
};

}  // namespace noctave

#pragma once

#include <chrono>

namespace noctave::runtime {

// Wall time: what a user's calendar says. Used for log stamps and stored dates; it may jump.
using WallTime = std::chrono::system_clock::time_point;

// Two clocks of different types on purpose: intervals and timeouts use monotonic seconds,
// which never go back; stamps and stored dates use wall time.
class Clock {
  public:
    virtual ~Clock() = default;

    // Seconds since an arbitrary fixed origin; never decreases.
    virtual double monotonic() const = 0;

    virtual WallTime wall() const = 0;
};

}  // namespace noctave::runtime

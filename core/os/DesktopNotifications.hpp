#pragma once

#include <string>

namespace noctave::os {

// The desktop's notification centre: a notice posted here stays in its history, so a person
// who comes back to the machine later still finds why something happened.
//
// Thread-safety: post may be called from any thread and returns at once; where no
// notification centre runs, the notice is dropped.
class DesktopNotifications {
  public:
    virtual ~DesktopNotifications() = default;
    virtual void post(const std::string& title, const std::string& body) = 0;
};

}  // namespace noctave::os

#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "platform/linux/bus/PollThread.hpp"

struct udev;
struct udev_monitor;

namespace noctave::linuxos {

// udev's uevents of one subsystem ("drm", "power_supply"), read on a PollThread.
//
// `onWake` runs on that thread once at start, after every event, when the re-read period it
// asked for has passed, and soon after reconsider(). It is told whether udev events can arrive at
// all (a container has no netlink socket to listen on) and returns the seconds to wait before it
// runs again without an event; a negative value waits for events alone. Destruction stops the
// thread; `onWake` never runs after it returns.
class UdevMonitor {
  public:
    enum class Wake { start, event, period, asked };
    using OnWake = std::function<double(Wake wake, bool isListening)>;

    UdevMonitor(const std::string& subsystem, OnWake onWake);
    ~UdevMonitor();
    UdevMonitor(const UdevMonitor&) = delete;
    UdevMonitor& operator=(const UdevMonitor&) = delete;

    bool isCurrent() const { return thread_ && thread_->isCurrent(); }

    // Runs `onWake` again soon (Wake::asked), for an owner whose answer about the re-read period
    // has changed. Any thread; never blocks.
    void reconsider();

  private:
    bool turn(PollThread::Turn& turn);

    OnWake onWake_;
    std::atomic<bool> isAsked_{false};
    udev* context_ = nullptr;
    udev_monitor* monitor_ = nullptr;
    int fd_ = -1;
    std::unique_ptr<PollThread> thread_;  // last: it runs turn() on the members above
};

}  // namespace noctave::linuxos

#include "platform/linux/UdevMonitor.hpp"

#include <libudev.h>

#include <cmath>

namespace noctave::linuxos {

UdevMonitor::UdevMonitor(const std::string& subsystem, OnWake onWake) : onWake_(std::move(onWake)) {
    context_ = udev_new();
    monitor_ = context_ != nullptr ? udev_monitor_new_from_netlink(context_, "udev") : nullptr;
    if (monitor_ != nullptr &&
        udev_monitor_filter_add_match_subsystem_devtype(monitor_, subsystem.c_str(), nullptr) >=
            0 &&
        udev_monitor_enable_receiving(monitor_) >= 0) {
        fd_ = udev_monitor_get_fd(monitor_);
    }
    thread_ =
        std::make_unique<PollThread>([this](PollThread::Turn& turn) { return this->turn(turn); });
}

UdevMonitor::~UdevMonitor() {
    thread_.reset();
    if (monitor_ != nullptr) {
        udev_monitor_unref(monitor_);
    }
    if (context_ != nullptr) {
        udev_unref(context_);
    }
}

void UdevMonitor::reconsider() {
    isAsked_ = true;
    if (thread_) {
        thread_->wake();
    }
}

bool UdevMonitor::turn(PollThread::Turn& turn) {
    Wake wake = Wake::period;
    if (turn.isFirst) {
        wake = Wake::start;
    } else if (!turn.fds.empty() && (turn.fds[0].revents & POLLIN) != 0) {
        // One event per turn: a burst is read in as many turns, each a fresh look.
        if (udev_device* device = udev_monitor_receive_device(monitor_)) {
            udev_device_unref(device);
        }
        wake = Wake::event;
    } else if (isAsked_.exchange(false)) {
        wake = Wake::asked;
    } else if (!turn.timedOut) {
        // Woken to stop, or an interrupted wait: nothing to report.
        return true;
    }
    const double wait = onWake_(wake, fd_ >= 0);
    turn.fds.clear();
    if (fd_ >= 0) {
        turn.fds.push_back(pollfd{fd_, POLLIN, 0});
    }
    turn.timeoutMs = wait < 0 ? -1 : static_cast<int>(std::lround(wait * 1000));
    return true;
}

}  // namespace noctave::linuxos

#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/MachineRoots.hpp"
#include "platform/linux/bus/DBusConnection.hpp"
#include "platform/linux/bus/PollThread.hpp"

namespace noctave::linuxos {

// The laptop's lid, from the best source the machine offers:
//   1. an evdev switch device with SW_LID that we may read (events as they happen),
//   2. UPower's LidIsClosed, when UPower says a lid is present (PropertiesChanged),
//   3. logind's LidClosed, polled, when the kernel shows a lid but we cannot read it,
//   4. /proc/acpi/button/lid/*/state, polled.
// Without any of them the machine has no lid we can see (a desktop): the state is unknown.
//
// Watchers are told of every message of the source (and of logind's sleep and property
// signals), not only of changes; callers read the state afresh and drop repeats themselves.
class LidSwitch {
  public:
    enum class Source { none, evdev, upower, logind, acpi };

    LidSwitch(MachineRoots roots, std::shared_ptr<DBusConnection> systemBus);
    ~LidSwitch();
    LidSwitch(const LidSwitch&) = delete;
    LidSwitch& operator=(const LidSwitch&) = delete;

    // The source in use; chosen on first use and again after a bus source stops answering.
    Source source();
    static const char* sourceName(Source source);

    // True: closed, false: open; absent: no lid, or its source cannot be read now.
    std::optional<bool> isClosed();

    // `onMessage` runs on an internal thread (the bus's or the poller's) for every message.
    uint64_t watch(std::function<void()> onMessage);
    void unwatch(uint64_t id);

    // Polling period of the polled sources, in seconds.
    static constexpr double kPollInterval = 1.0;

  private:
    Source select();
    std::optional<bool> readSource(Source source);
    void startWatching();
    void stopWatching();
    void notifyAll();
    bool pollerTurn(Source current, PollThread::Turn& turn);
    bool kernelShowsLid() const;

    MachineRoots roots_;
    std::shared_ptr<DBusConnection> bus_;

    std::mutex mutex_;
    std::optional<Source> source_;
    std::mutex selectMutex_;  // one choice at a time; guards evdevFd_ while it is opened
    int evdevFd_ = -1;
    std::map<uint64_t, std::function<void()>> watchers_;
    uint64_t nextWatcher_ = 1;
    std::vector<uint64_t> subscriptions_;
    std::optional<bool> lastPolled_;

    std::unique_ptr<PollThread> poller_;  // evdev events, or the polled sources' period
};

}  // namespace noctave::linuxos

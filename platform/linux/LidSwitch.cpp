#include "platform/linux/LidSwitch.hpp"

#include <fcntl.h>
#include <linux/input.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <system_error>

#include "platform/linux/InputDevices.hpp"
#include "platform/linux/bus/BusNames.hpp"

namespace noctave::linuxos {

namespace {

constexpr double kBusTimeout = 2.0;

std::optional<bool> upowerBool(DBusConnection& bus, const char* property) {
    bool value = false;
    auto status = bus.getProperty(
        kUPower, kUPowerPath, kUPower, property, "b",
        [&](sd_bus_message* m) { return readBool(m, value); }, kBusTimeout);
    if (!status.ok()) {
        return std::nullopt;
    }
    return value;
}

std::optional<bool> acpiLidClosed(const std::filesystem::path& procRoot) {
    std::error_code ec;
    for (const auto& entry :
         std::filesystem::directory_iterator(procRoot / "acpi" / "button" / "lid", ec)) {
        auto line = readFirstLine(entry.path() / "state");
        if (!line) {
            continue;
        }
        // "state:      open" / "state:      closed"
        if (line->find("closed") != std::string::npos) {
            return true;
        }
        if (line->find("open") != std::string::npos) {
            return false;
        }
    }
    return std::nullopt;
}

}  // namespace

LidSwitch::LidSwitch(MachineRoots roots, std::shared_ptr<DBusConnection> systemBus)
    : roots_(std::move(roots)), bus_(std::move(systemBus)) {}

LidSwitch::~LidSwitch() {
    stopWatching();
    if (evdevFd_ >= 0) {
        close(evdevFd_);
    }
}

const char* LidSwitch::sourceName(Source source) {
    switch (source) {
        case Source::none:
            return "none";
        case Source::evdev:
            return "evdev";
        case Source::upower:
            return "upower";
        case Source::logind:
            return "logind";
        case Source::acpi:
            return "acpi";
    }
    return "none";
}

bool LidSwitch::kernelShowsLid() const {
    if (!findSwitchCapableInputs(roots_, SW_LID).empty()) {
        return true;
    }
    return acpiLidClosed(roots_.proc).has_value();
}

LidSwitch::Source LidSwitch::select() {
    if (evdevFd_ < 0) {
        evdevFd_ = openReadableInput(roots_, EV_SW, SW_LID);
    }
    if (evdevFd_ >= 0) {
        return Source::evdev;
    }
    if (bus_ && upowerBool(*bus_, "LidIsPresent") == true) {
        return Source::upower;
    }
    if (!kernelShowsLid()) {
        return Source::none;
    }
    if (bus_) {
        bool closed = false;
        auto status = bus_->getProperty(
            kLogin, kLoginPath, kLoginManager, "LidClosed", "b",
            [&](sd_bus_message* m) { return readBool(m, closed); }, kBusTimeout);
        if (status.ok()) {
            return Source::logind;
        }
    }
    return acpiLidClosed(roots_.proc).has_value() ? Source::acpi : Source::none;
}

LidSwitch::Source LidSwitch::source() {
    {
        std::lock_guard lock(mutex_);
        if (source_) {
            return *source_;
        }
    }
    // Choosing asks the bus, whose thread takes mutex_ to deliver signals: never choose while
    // holding it.
    std::lock_guard selecting(selectMutex_);
    {
        std::lock_guard lock(mutex_);
        if (source_) {
            return *source_;
        }
    }
    Source chosen = select();
    std::lock_guard lock(mutex_);
    source_ = chosen;
    return chosen;
}

std::optional<bool> LidSwitch::readSource(Source source) {
    switch (source) {
        case Source::none:
            return std::nullopt;
        case Source::evdev: {
            unsigned long bits[(SW_MAX + 8 * sizeof(unsigned long)) / (8 * sizeof(unsigned long))] =
                {};
            if (ioctl(evdevFd_, EVIOCGSW(sizeof bits), bits) < 0) {
                return std::nullopt;
            }
            return (bits[SW_LID / (8 * sizeof(unsigned long))] >>
                    (SW_LID % (8 * sizeof(unsigned long)))) &
                   1UL;
        }
        case Source::upower:
            return upowerBool(*bus_, "LidIsClosed");
        case Source::logind: {
            bool closed = false;
            auto status = bus_->getProperty(
                kLogin, kLoginPath, kLoginManager, "LidClosed", "b",
                [&](sd_bus_message* m) { return readBool(m, closed); }, kBusTimeout);
            if (!status.ok()) {
                return std::nullopt;
            }
            return closed;
        }
        case Source::acpi:
            return acpiLidClosed(roots_.proc);
    }
    return std::nullopt;
}

std::optional<bool> LidSwitch::isClosed() {
    Source current = source();
    auto value = readSource(current);
    if (!value && (current == Source::upower || current == Source::logind)) {
        // The service may have gone; the next call chooses again.
        std::lock_guard lock(mutex_);
        source_.reset();
    }
    return value;
}

uint64_t LidSwitch::watch(std::function<void()> onMessage) {
    bool first = false;
    uint64_t id = 0;
    {
        std::lock_guard lock(mutex_);
        id = nextWatcher_++;
        first = watchers_.empty();
        watchers_[id] = std::move(onMessage);
    }
    if (first) {
        startWatching();
    }
    return id;
}

void LidSwitch::unwatch(uint64_t id) {
    bool last = false;
    {
        std::lock_guard lock(mutex_);
        last = watchers_.erase(id) > 0 && watchers_.empty();
    }
    if (last) {
        stopWatching();
    }
}

void LidSwitch::notifyAll() {
    std::vector<std::function<void()>> watchers;
    {
        std::lock_guard lock(mutex_);
        for (auto& [id, fn] : watchers_) {
            watchers.push_back(fn);
        }
    }
    for (auto& fn : watchers) {
        fn();
    }
}

void LidSwitch::startWatching() {
    Source current = source();
    if (bus_) {
        // logind's own messages stand for the power manager's general notifications.
        std::vector<std::string> rules = {
            std::string("type='signal',sender='") + kLogin + "',path='" + kLoginPath +
                "',interface='" + kLoginManager + "',member='PrepareForSleep'",
            std::string("type='signal',sender='") + kLogin + "',path='" + kLoginPath +
                "',interface='org.freedesktop.DBus.Properties',member='PropertiesChanged'",
        };
        if (current == Source::upower) {
            rules.push_back(std::string("type='signal',sender='") + kUPower + "',path='" +
                            kUPowerPath +
                            "',interface='org.freedesktop.DBus.Properties',member='"
                            "PropertiesChanged'");
        }
        for (const auto& rule : rules) {
            uint64_t id = bus_->subscribe(rule, [this](sd_bus_message*) { notifyAll(); });
            std::lock_guard lock(mutex_);
            subscriptions_.push_back(id);
        }
    }
    if (current == Source::evdev || current == Source::logind || current == Source::acpi) {
        poller_ = std::make_unique<PollThread>(
            [this, current](PollThread::Turn& turn) { return pollerTurn(current, turn); });
    }
}

void LidSwitch::stopWatching() {
    std::vector<uint64_t> subscriptions;
    {
        std::lock_guard lock(mutex_);
        subscriptions.swap(subscriptions_);
    }
    for (uint64_t id : subscriptions) {
        bus_->unsubscribe(id);
    }
    poller_.reset();
}

bool LidSwitch::pollerTurn(Source current, PollThread::Turn& turn) {
    if (current == Source::evdev) {
        if (!turn.isFirst && !turn.fds.empty()) {
            if ((turn.fds[0].revents & (POLLERR | POLLHUP)) != 0) {
                return false;  // the device went away; nothing more will come from it
            }
            if ((turn.fds[0].revents & POLLIN) != 0) {
                input_event events[16];
                if (read(evdevFd_, events, sizeof events) > 0) {
                    notifyAll();
                }
            }
        }
        turn.fds.assign(1, pollfd{evdevFd_, POLLIN, 0});
        turn.timeoutMs = -1;
        return true;
    }
    turn.fds.clear();
    turn.timeoutMs = static_cast<int>(kPollInterval * 1000);
    if (turn.isFirst) {
        // Reports start with the first change after watching began.
        auto now = readSource(current);
        std::lock_guard lock(mutex_);
        lastPolled_ = now;
        return true;
    }
    if (!turn.timedOut) {
        return true;
    }
    // A polled source reports only when the state it reads changes.
    auto now = readSource(current);
    bool changed = false;
    {
        std::lock_guard lock(mutex_);
        changed = now != lastPolled_;
        lastPolled_ = now;
    }
    if (changed) {
        notifyAll();
    }
    return true;
}

}  // namespace noctave::linuxos

#include "platform/linux/LidSwitch.hpp"

#include <fcntl.h>
#include <linux/input.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <system_error>

#include "platform/linux/InputDevices.hpp"

namespace noctave::linuxos {

namespace {

constexpr double kBusTimeout = 2.0;
constexpr const char* kUPower = "org.freedesktop.UPower";
constexpr const char* kUPowerPath = "/org/freedesktop/UPower";
constexpr const char* kLogin = "org.freedesktop.login1";
constexpr const char* kLoginPath = "/org/freedesktop/login1";
constexpr const char* kLoginManager = "org.freedesktop.login1.Manager";

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
        stopping_ = false;
        stopFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        poller_ = std::thread([this] { pollerLoop(); });
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
    if (poller_.joinable()) {
        stopping_ = true;
        uint64_t one = 1;
        ssize_t written = write(stopFd_, &one, sizeof one);
        (void)written;
        poller_.join();
    }
    if (stopFd_ >= 0) {
        close(stopFd_);
        stopFd_ = -1;
    }
}

void LidSwitch::pollerLoop() {
    const Source current = source();
    if (current != Source::evdev) {
        // Reports start with the first change after watching began.
        auto now = readSource(current);
        std::lock_guard lock(mutex_);
        lastPolled_ = now;
    }
    while (!stopping_) {
        pollfd fds[2] = {{stopFd_, POLLIN, 0}, {-1, 0, 0}};
        nfds_t count = 1;
        int timeout = static_cast<int>(kPollInterval * 1000);
        if (current == Source::evdev) {
            fds[1] = {evdevFd_, POLLIN, 0};
            count = 2;
            timeout = -1;
        }
        int r = poll(fds, count, timeout);
        if (stopping_) {
            break;
        }
        if (r < 0) {
            continue;
        }
        if (current == Source::evdev) {
            if ((fds[1].revents & (POLLERR | POLLHUP)) != 0) {
                break;  // the device went away; nothing more will come from it
            }
            if ((fds[1].revents & POLLIN) == 0) {
                continue;
            }
            input_event events[16];
            ssize_t got = read(evdevFd_, events, sizeof events);
            if (got > 0) {
                notifyAll();
            }
            continue;
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
    }
}

}  // namespace noctave::linuxos

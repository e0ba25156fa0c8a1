#include "platform/linux/LinuxPowerManagement.hpp"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/runtime/Queue.hpp"
#include "core/support/Log.hpp"
#include "platform/linux/IdleInhibitors.hpp"
#include "platform/linux/PowerSupplyTree.hpp"
#include "platform/linux/bus/BusNames.hpp"
#include "platform/linux/desktops/LidRecord.hpp"
#include "platform/linux/desktops/LogindLidSettings.hpp"

namespace noctave::linuxos {

using os::kClamshellCausesSleep;
using os::kClamshellState;
using os::kLidSleepPolicySelector;
using os::kRootDomainClass;

namespace {

constexpr const char* kWho = "Noctave";
constexpr const char* kLidWhy = "Keeping the laptop awake with its lid closed";
// Taking an inhibitor may wait for polkit; a lost logind must not hold the caller longer.
constexpr double kInhibitTimeout = 5.0;
constexpr double kQueryTimeout = 2.0;

// The lid inhibitor's fd, or -1. Process-wide like the kernel bit it stands for, and read by
// the signal-safe clear, which may only exchange and close.
std::atomic<int> gLidInhibitorFd{-1};

os::IoReturn signalSafeClear(os::IoConnection, uint32_t selector, uint64_t input) noexcept {
    if (selector != kLidSleepPolicySelector || input != 0) {
        return ENOTSUP;  // taking a lock needs the bus, which a signal handler may not touch
    }
    int fd = gLidInhibitorFd.exchange(-1);
    if (fd >= 0) {
        close(fd);
    }
    return 0;
}

// Whether logind still holds the far end of an inhibitor's pipe. A logind that died closed it
// at once, before the bus gets round to telling us its name is gone.
bool inhibitorAlive(int fd) {
    pollfd probe{fd, 0, 0};
    return poll(&probe, 1, 0) == 0 || (probe.revents & (POLLERR | POLLHUP | POLLNVAL)) == 0;
}

os::IoReturn codeOf(const CallStatus& status) {
    return status.code < 0 ? -status.code : EIO;
}

// What the desktop (GNOME, KDE) offers on the session bus to stop its own idle suspend.
enum class DesktopInhibit { none, gnome, freedesktop };

}  // namespace

struct LinuxPowerManagement::Registration {
    std::shared_ptr<std::atomic<bool>> live = std::make_shared<std::atomic<bool>>(true);
    uint64_t lidWatch = 0;
    os::IoNotificationPort port = 0;
};

struct LinuxPowerManagement::Assertion {
    int fd = -1;
    std::string what;
    DesktopInhibit desktop = DesktopInhibit::none;
    uint32_t cookie = 0;
    IdleInhibitors::Held sessionBus;
};

LinuxPowerManagement::LinuxPowerManagement(MachineRoots roots,
                                           std::shared_ptr<DBusConnection> systemBus,
                                           std::shared_ptr<DBusConnection> sessionBus)
    : roots_(std::move(roots)),
      system_(std::move(systemBus)),
      session_(std::move(sessionBus)),
      lid_(std::make_unique<LidSwitch>(roots_, system_)) {
    // A logind that leaves or restarts forgets our lid inhibitor; dropping our end makes the
    // next set take a fresh one, or fail when there is no logind to take it from.
    ownerWatch_ = system_->subscribe(
        std::string("type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop."
                    "DBus',member='NameOwnerChanged',arg0='") +
            kLogin + "'",
        [this](sd_bus_message*) {
            int fd = gLidInhibitorFd.exchange(-1);
            if (fd >= 0) {
                close(fd);
            }
            notifyFlagLoss();
        });
    // The bus greets every new connection with our name; a connection made anew may follow a
    // logind that came and went unseen.
    reconnectWatch_ = system_->subscribe(
        "type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop.DBus',"
        "member='NameAcquired'",
        [this](sd_bus_message*) { notifyFlagLoss(); });
    // A desktop setting left changed by a process that died must not wait for an arm: the
    // record is looked at only when one exists, so a clean start costs one stat.
    std::error_code error;
    if (std::filesystem::exists(desktops::lidRecordPath(), error)) {
        std::lock_guard lidLock(lidMutex_);
        desktops::restoreRecord(desktops::lidRecordPath(), desktops::Writer::gone,
                                [this](const std::string& program, const std::string& location) {
                                    return makeOwner(program, location);
                                });
    }
}

LinuxPowerManagement::~LinuxPowerManagement() {
    system_->unsubscribe(ownerWatch_);
    system_->unsubscribe(reconnectWatch_);
    std::map<os::IoObject, std::shared_ptr<Registration>> registrations;
    std::vector<os::AssertionId> assertions;
    {
        std::lock_guard lock(mutex_);
        registrations.swap(registrations_);
        for (const auto& [id, assertion] : assertions_) {
            assertions.push_back(id);
        }
    }
    for (auto& [id, registration] : registrations) {
        *registration->live = false;
        lid_->unwatch(registration->lidWatch);
    }
    for (auto id : assertions) {
        releaseAssertion(id);
    }
}

void LinuxPowerManagement::logOnce(const std::string& message) {
    {
        std::lock_guard lock(mutex_);
        if (!logged_.insert(message).second) {
            return;
        }
    }
    Log::error(message);
}

void LinuxPowerManagement::setRootDomainFailure(const std::string& cause) {
    if (!cause.empty()) {
        logOnce(cause);
    }
    std::lock_guard lock(mutex_);
    rootDomainFailure_ = cause;
}

std::string LinuxPowerManagement::rootDomainFailure() const {
    std::lock_guard lock(mutex_);
    return rootDomainFailure_;
}

os::PowerManagement::FlagLossWatch LinuxPowerManagement::watchFlagLoss(
    std::function<void()> onLoss) {
    std::lock_guard lock(lossMutex_);
    const FlagLossWatch watch = nextLossWatch_++;
    lossWatchers_.emplace(watch, std::move(onLoss));
    return watch;
}

void LinuxPowerManagement::unwatchFlagLoss(FlagLossWatch watch) {
    std::lock_guard lock(lossMutex_);
    lossWatchers_.erase(watch);
}

void LinuxPowerManagement::notifyFlagLoss() {
    std::lock_guard lock(lossMutex_);
    for (auto& [watch, onLoss] : lossWatchers_) {
        onLoss();
    }
}

bool LinuxPowerManagement::isLidInhibitorHeld() {
    return gLidInhibitorFd.load() >= 0;
}

os::PowerManagement::SignalSafeScalarMethod LinuxPowerManagement::signalSafeScalarMethod() const {
    return &signalSafeClear;
}

os::IoObject LinuxPowerManagement::matchingService(const std::string& className) {
    if (className != kRootDomainClass) {
        return 0;
    }
    bool has = false;
    MethodRef method{"org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                     "NameHasOwner"};
    CallStatus status = system_->call(
        method, [](sd_bus_message* m) { return sd_bus_message_append(m, "s", kLogin); },
        [&](sd_bus_message* m) { return readBool(m, has); }, kQueryTimeout);
    if (!status.ok()) {
        setRootDomainFailure("system bus unavailable (" + status.describe() + ")");
        return 0;
    }
    if (!has) {
        setRootDomainFailure(
            "systemd-logind is not on the system bus (org.freedesktop.login1 has no owner)");
        return 0;
    }
    setRootDomainFailure({});
    return kRootDomain;
}

os::IoReturn LinuxPowerManagement::openService(os::IoObject service, uint32_t,
                                               os::IoConnection* connection) {
    *connection = 0;
    if (service != kRootDomain) {
        return EINVAL;
    }
    MethodRef ping{kLogin, kLoginPath, "org.freedesktop.DBus.Peer", "Ping"};
    CallStatus status = system_->call(ping, {}, {}, kQueryTimeout);
    if (!status.ok()) {
        setRootDomainFailure("systemd-logind does not answer (" + status.describe() + ")");
        return codeOf(status);
    }
    std::lock_guard lock(mutex_);
    rootDomainFailure_.clear();
    *connection = nextConnection_++;
    connections_.insert(*connection);
    return 0;
}

os::IoReturn LinuxPowerManagement::closeService(os::IoConnection connection) {
    std::lock_guard lock(mutex_);
    return connections_.erase(connection) > 0 ? 0 : EBADF;
}

int LinuxPowerManagement::inhibit(const std::string& what, const std::string& why,
                                  CallStatus& status) {
    int fd = -1;
    MethodRef method{kLogin, kLoginPath, kLoginManager, "Inhibit"};
    status = system_->call(
        method,
        [&](sd_bus_message* m) {
            return sd_bus_message_append(m, "ssss", what.c_str(), kWho, why.c_str(), "block");
        },
        [&](sd_bus_message* m) {
            int borrowed = -1;
            int r = sd_bus_message_read(m, "h", &borrowed);
            if (r < 0) {
                return r;
            }
            // The reply owns its fd; ours must survive it and never leak into children.
            fd = fcntl(borrowed, F_DUPFD_CLOEXEC, 3);
            return fd < 0 ? -errno : 0;
        },
        kInhibitTimeout);
    if (!status.ok() && fd >= 0) {
        close(fd);
        fd = -1;
    }
    return fd;
}

os::IoReturn LinuxPowerManagement::callScalarMethod(os::IoConnection connection, uint32_t selector,
                                                    uint64_t input) {
    {
        std::lock_guard lock(mutex_);
        if (connections_.count(connection) == 0) {
            return EBADF;
        }
    }
    if (selector != kLidSleepPolicySelector) {
        return ENOTSUP;
    }
    std::lock_guard lidLock(lidMutex_);
    if (input == 0) {
        // The desktop's settings first: a clear reported as done must leave nothing changed.
        const bool restored = restoreLidOwner();
        dropLidInhibitor();
        return restored ? 0 : EIO;
    }
    if (const int held = gLidInhibitorFd.load(); held >= 0) {
        if (lidInhibitorGeneration_ == system_->generation() && inhibitorAlive(held)) {
            return isOwnerStoodDown_ || standDownLidOwner() ? 0 : EBUSY;
        }
        // The bus connection was lost since, or logind went: the inhibitor went with it.
        dropLidInhibitor();
    }
    CallStatus status;
    int fd = inhibit("handle-lid-switch", kLidWhy, status);
    if (fd < 0) {
        // The flag heartbeat retries ten times a second; one line per cause is enough.
        std::string line = "logind refused the lid-switch inhibitor (" + status.describe() + ")";
        if (line != lastLidFailure_) {
            Log::error(line);
            lastLidFailure_ = std::move(line);
        }
        return codeOf(status);
    }
    lastLidFailure_.clear();
    lidInhibitorGeneration_ = system_->generation();
    int previous = gLidInhibitorFd.exchange(fd);
    if (previous >= 0) {
        close(previous);
    }
    if (!isOwnerStoodDown_ && !standDownLidOwner()) {
        // Holding logind's lid alone would show armed while the desktop suspends on lid close.
        dropLidInhibitor();
        return EBUSY;
    }
    return 0;
}

std::unique_ptr<desktops::LidOwner> LinuxPowerManagement::makeOwner(const std::string& program,
                                                                    const std::string& location) {
    return desktops::makeLidOwner(program, location, session_);
}

desktops::LidOwnership LinuxPowerManagement::lidOwnership() {
    return desktops::findLidOwner(*system_, session_);
}

std::string LinuxPowerManagement::lidFlagFailure() const {
    std::lock_guard lock(failureMutex_);
    return lidHoldFailure_;
}

bool LinuxPowerManagement::standDownLidOwner() {
    const auto record = desktops::lidRecordPath();
    auto factory = [this](const std::string& program, const std::string& location) {
        return makeOwner(program, location);
    };
    // A dead process's record first: its values are the user's, ours would be its changes.
    desktops::restoreRecord(record, desktops::Writer::gone, factory);
    auto ownership = lidOwnership();
    std::string failure;
    using Kind = desktops::LidOwnership::Kind;
    if (ownership.kind == Kind::unknown) {
        failure = ownership.program + " handles the lid, and Noctave cannot hold it.";
    } else if (ownership.kind == Kind::desktop && !ownership.owner) {
        failure = ownership.program + " handles the lid, and its settings cannot be reached.";
    } else if (ownership.kind == Kind::desktop) {
        std::string why;
        if (!desktops::standDown(*ownership.owner, record, &why)) {
            logOnce("could not stand " + ownership.program + " down: " + why);
            failure = ownership.program + " handles the lid, and would not leave it (" + why + ").";
        } else {
            std::error_code error;
            if (!guardian_ && std::filesystem::exists(record, error)) {
                guardian_ =
                    desktops::LidGuardian::start(desktops::LidGuardian::guardianProgram(), record);
            }
            Log::info("lid owner: " + ownership.program + " stood down (" +
                      ownership.owner->mechanism() + ")");
        }
    }
    if (!failure.empty()) {
        logOnce("lid: " + failure);
    }
    isOwnerStoodDown_ = failure.empty();
    std::lock_guard lock(failureMutex_);
    lidHoldFailure_ = failure;
    return failure.empty();
}

bool LinuxPowerManagement::restoreLidOwner() {
    const auto record = desktops::lidRecordPath();
    std::error_code error;
    if (!isOwnerStoodDown_ && !std::filesystem::exists(record, error)) {
        return true;
    }
    auto factory = [this](const std::string& program, const std::string& location) {
        return makeOwner(program, location);
    };
    const bool ours = desktops::restoreRecord(record, desktops::Writer::thisProcess, factory) !=
                      desktops::Restore::failed;
    const bool theirs = desktops::restoreRecord(record, desktops::Writer::gone, factory) !=
                        desktops::Restore::failed;
    if (!ours || !theirs) {
        return false;  // the record and the guardian stay; the next clear tries again
    }
    isOwnerStoodDown_ = false;
    guardian_.reset();
    return true;
}

void LinuxPowerManagement::dropLidInhibitor() {
    int fd = gLidInhibitorFd.exchange(-1);
    if (fd >= 0) {
        close(fd);
    }
}

os::IoReturn LinuxPowerManagement::releaseObject(os::IoObject object) {
    if (object == kRootDomain) {
        return 0;
    }
    std::shared_ptr<Registration> registration;
    {
        std::lock_guard lock(mutex_);
        auto it = registrations_.find(object);
        if (it == registrations_.end()) {
            return EINVAL;
        }
        registration = it->second;
        registrations_.erase(it);
    }
    *registration->live = false;
    lid_->unwatch(registration->lidWatch);
    return 0;
}

std::optional<bool> LinuxPowerManagement::onBattery() {
    bool value = false;
    auto status = system_->getProperty(
        kUPower, kUPowerPath, kUPower, "OnBattery", "b",
        [&](sd_bus_message* m) { return readBool(m, value); }, kQueryTimeout);
    if (status.ok()) {
        return value;
    }
    return runsOnBattery(readPowerSupplies(roots_.sys / "class" / "power_supply"));
}

std::optional<std::string> LinuxPowerManagement::loginString(const char* name) {
    std::string value;
    auto status = system_->getProperty(
        kLogin, kLoginPath, kLoginManager, name, "s",
        [&](sd_bus_message* m) {
            const char* s = nullptr;
            int r = sd_bus_message_read(m, "s", &s);
            if (r >= 0) {
                value = s;
            }
            return r;
        },
        kQueryTimeout);
    return status.ok() ? std::optional(value) : std::nullopt;
}

std::optional<bool> LinuxPowerManagement::loginBool(const char* name) {
    bool value = false;
    auto status = system_->getProperty(
        kLogin, kLoginPath, kLoginManager, name, "b",
        [&](sd_bus_message* m) { return readBool(m, value); }, kQueryTimeout);
    return status.ok() ? std::optional(value) : std::nullopt;
}

void LinuxPowerManagement::describeLidOwner(std::map<std::string, std::string>& properties) {
    auto ownership = lidOwnership();
    using Kind = desktops::LidOwnership::Kind;
    std::string owner;
    std::string mechanism;
    auto logindWords = [&] {
        // What logind runs with, from logind; LidSwitchIgnoreInhibited only from its files.
        std::string text;
        for (const char* name :
             {"HandleLidSwitch", "HandleLidSwitchExternalPower", "HandleLidSwitchDocked"}) {
            text += std::string(text.empty() ? "" : ", ") + name + "=" +
                    loginString(name).value_or("?");
        }
        const auto files = desktops::readLogindLidSettings();
        const auto ignore = files.find("LidSwitchIgnoreInhibited");
        text += ", LidSwitchIgnoreInhibited=" +
                (ignore == files.end() ? std::string("yes (default)") : ignore->second);
        // That setting covers only sleep and shutdown locks; a handle-lid-switch lock is
        // always obeyed.
        return text + "; Noctave's handle-lid-switch inhibitor is enough";
    };
    switch (ownership.kind) {
        case Kind::unreadable:
            owner = "unknown (logind did not list its inhibitors)";
            break;
        case Kind::unknown:
            owner = ownership.program;
            mechanism = "holds handle-lid-switch itself; Noctave cannot hold the lid";
            break;
        case Kind::logind:
            owner = "systemd-logind";
            mechanism = logindWords();
            break;
        case Kind::leavesToLogind:
            owner = ownership.program + ", which leaves the lid to systemd-logind";
            mechanism = logindWords();
            break;
        case Kind::desktop:
            owner = ownership.program;
            if (!ownership.owner) {
                mechanism = "acts on the lid itself; its settings cannot be reached";
                break;
            }
            {
                std::lock_guard lidLock(lidMutex_);
                mechanism = (isOwnerStoodDown_ ? "stood down to no lid action through "
                                               : "acts on the lid itself; stood down while armed "
                                                 "through ") +
                            ownership.owner->mechanism();
            }
            if (ownership.owner->handsLidToLogind()) {
                mechanism += ", handing the lid to logind";
            }
            break;
    }
    properties["lid-close owner"] = owner;
    if (!mechanism.empty()) {
        properties["lid-close mechanism"] = mechanism;
    }
}

std::optional<bool> LinuxPowerManagement::lidActionStopsMachine() {
    // Another process's lid inhibitor is no promise: a desktop's power manager holds one
    // precisely so that it can suspend by itself. What counts is who acts on a lid close.
    const auto ownership = lidOwnership();
    using Kind = desktops::LidOwnership::Kind;
    if (ownership.kind == Kind::unreadable) {
        return std::nullopt;
    }
    if (ownership.kind == Kind::unknown || (ownership.kind == Kind::desktop && !ownership.owner)) {
        return true;
    }
    if (ownership.kind == Kind::desktop) {
        for (const auto& key : ownership.owner->keys()) {
            desktops::SettingValue value;
            if (!ownership.owner->read(key.name, value) || value != key.standDownValue) {
                return true;  // it acts on the lid as the user set it up
            }
        }
        if (!ownership.owner->handsLidToLogind()) {
            return false;
        }
    }
    if (ownership.isHeldByNoctave || isLidInhibitorHeld()) {
        return false;
    }
    const bool docked = loginBool("Docked").value_or(false);
    std::optional<std::string> action;
    if (docked) {
        action = loginString("HandleLidSwitchDocked");
    } else if (onBattery() == false) {
        action = loginString("HandleLidSwitchExternalPower");
    }
    // An empty external-power action means "same as on battery".
    if (!action || action->empty()) {
        action = loginString("HandleLidSwitch");
    }
    if (!action) {
        return std::nullopt;
    }
    static const std::set<std::string> kStopping = {
        "suspend", "hibernate", "hybrid-sleep", "suspend-then-hibernate", "sleep", "poweroff",
        "halt",    "reboot",    "kexec",        "factory-reset"};
    return kStopping.count(*action) > 0;
}

std::optional<os::PropertyValue> LinuxPowerManagement::registryProperty(os::IoObject service,
                                                                        const std::string& name) {
    if (service != kRootDomain) {
        return std::nullopt;
    }
    std::optional<bool> value;
    if (name == kClamshellState) {
        value = lid_->isClosed();
    } else if (name == kClamshellCausesSleep) {
        value = lidActionStopsMachine();
    }
    if (!value) {
        return std::nullopt;
    }
    return os::PropertyValue{*value ? 1 : 0, *value ? "Yes" : "No"};
}

std::optional<std::map<std::string, std::string>> LinuxPowerManagement::registryProperties(
    os::IoObject service) {
    if (service != kRootDomain) {
        return std::nullopt;
    }
    std::map<std::string, std::string> properties;
    for (const char* name : {kClamshellState, kClamshellCausesSleep}) {
        if (auto value = registryProperty(service, name)) {
            properties[name] = value->description;
        }
    }
    describeLidOwner(properties);
    properties["LidSource"] = LidSwitch::sourceName(lid_->source());
    properties["lid-close inhibitor held"] = isLidInhibitorHeld() ? "Yes" : "No";
    properties["keep-awake inhibitions"] = keepAwakeInhibitions();
    for (const char* name : {"HandleLidSwitch", "HandleLidSwitchExternalPower",
                             "HandleLidSwitchDocked", "BlockInhibited"}) {
        if (auto value = loginString(name)) {
            properties[name] = *value;
        }
    }
    for (const char* name : {"LidClosed", "Docked"}) {
        if (auto value = loginBool(name)) {
            properties[name] = *value ? "Yes" : "No";
        }
    }
    return properties;
}

os::IoNotificationPort LinuxPowerManagement::createNotificationPort() {
    std::lock_guard lock(mutex_);
    os::IoNotificationPort port = nextPort_++;
    ports_[port] = nullptr;
    return port;
}

void LinuxPowerManagement::setNotificationPortQueue(os::IoNotificationPort port,
                                                    std::shared_ptr<runtime::Queue> queue) {
    std::lock_guard lock(mutex_);
    auto it = ports_.find(port);
    if (it != ports_.end()) {
        it->second = std::move(queue);
    }
}

os::IoReturn LinuxPowerManagement::addInterestNotification(os::IoNotificationPort port,
                                                           os::IoObject service, const std::string&,
                                                           InterestHandler handler,
                                                           os::IoObject* registration) {
    *registration = 0;
    std::shared_ptr<runtime::Queue> queue;
    {
        std::lock_guard lock(mutex_);
        auto it = ports_.find(port);
        if (it == ports_.end() || !it->second || service != kRootDomain) {
            return EINVAL;
        }
        queue = it->second;
    }
    auto entry = std::make_shared<Registration>();
    entry->port = port;
    auto live = entry->live;
    entry->lidWatch = lid_->watch([queue, live, handler = std::move(handler)] {
        queue->async([live, handler] {
            if (*live) {
                handler(kRootDomain, 0, 0);
            }
        });
    });
    std::lock_guard lock(mutex_);
    *registration = nextRegistration_++;
    registrations_[*registration] = entry;
    return 0;
}

void LinuxPowerManagement::destroyNotificationPort(os::IoNotificationPort port) {
    std::vector<std::shared_ptr<Registration>> dropped;
    {
        std::lock_guard lock(mutex_);
        ports_.erase(port);
        for (auto it = registrations_.begin(); it != registrations_.end();) {
            if (it->second->port == port) {
                dropped.push_back(it->second);
                it = registrations_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& registration : dropped) {
        *registration->live = false;
        lid_->unwatch(registration->lidWatch);
    }
}

os::IoReturn LinuxPowerManagement::createAssertion(const std::string& type, uint32_t,
                                                   const std::string& name, os::AssertionId* id) {
    *id = 0;
    std::string what;
    if (type == "PreventSystemSleep") {
        what = "sleep";
    } else if (type == "PreventUserIdleSystemSleep") {
        what = "idle";
    } else {
        return ENOTSUP;
    }
    auto assertion = std::make_shared<Assertion>();
    assertion->what = what;
    CallStatus status;
    assertion->fd = inhibit(what, name, status);
    if (assertion->fd < 0) {
        logOnce("logind refused the " + what + " inhibitor (" + status.describe() + ")");
        return codeOf(status);
    }
    if (what == "idle" && session_) {
        // Desktops suspend on idle through logind as the same user, which logind's own idle
        // lock does not stop; their session inhibition does.
        uint32_t cookie = 0;
        auto readCookie = [&](sd_bus_message* m) { return sd_bus_message_read(m, "u", &cookie); };
        if (session_->nameHasOwner("org.gnome.SessionManager", kQueryTimeout) == true) {
            MethodRef gnome{"org.gnome.SessionManager", "/org/gnome/SessionManager",
                            "org.gnome.SessionManager", "Inhibit"};
            auto st = session_->call(
                gnome,
                [&](sd_bus_message* m) {
                    // flags 4: inhibit suspending, which idle suspend honours
                    return sd_bus_message_append(m, "susu", "noctave", 0U, name.c_str(), 4U);
                },
                readCookie, kQueryTimeout);
            if (st.ok()) {
                assertion->desktop = DesktopInhibit::gnome;
                assertion->cookie = cookie;
            }
        } else if (session_->nameHasOwner("org.freedesktop.PowerManagement", kQueryTimeout) ==
                   true) {
            MethodRef kde{"org.freedesktop.PowerManagement",
                          "/org/freedesktop/PowerManagement/Inhibit",
                          "org.freedesktop.PowerManagement.Inhibit", "Inhibit"};
            auto st = session_->call(
                kde,
                [&](sd_bus_message* m) {
                    return sd_bus_message_append(m, "ss", "Noctave", name.c_str());
                },
                readCookie, kQueryTimeout);
            if (st.ok()) {
                assertion->desktop = DesktopInhibit::freedesktop;
                assertion->cookie = cookie;
            }
        }
    }
    if (session_) {
        assertion->sessionBus = IdleInhibitors::take(
            *session_,
            what == "idle" ? IdleInhibitors::Purpose::idle : IdleInhibitors::Purpose::suspend, name,
            kQueryTimeout);
    }
    std::lock_guard lock(mutex_);
    *id = nextAssertion_++;
    assertions_[*id] = assertion;
    return 0;
}

os::IoReturn LinuxPowerManagement::releaseAssertion(os::AssertionId id) {
    std::shared_ptr<Assertion> assertion;
    {
        std::lock_guard lock(mutex_);
        auto it = assertions_.find(id);
        if (it == assertions_.end()) {
            return EINVAL;
        }
        assertion = it->second;
        assertions_.erase(it);
    }
    if (assertion->fd >= 0) {
        close(assertion->fd);
        assertion->fd = -1;
    }
    if (assertion->desktop == DesktopInhibit::gnome) {
        MethodRef gnome{"org.gnome.SessionManager", "/org/gnome/SessionManager",
                        "org.gnome.SessionManager", "Uninhibit"};
        session_->call(
            gnome,
            [&](sd_bus_message* m) { return sd_bus_message_append(m, "u", assertion->cookie); }, {},
            kQueryTimeout);
    } else if (assertion->desktop == DesktopInhibit::freedesktop) {
        MethodRef kde{"org.freedesktop.PowerManagement", "/org/freedesktop/PowerManagement/Inhibit",
                      "org.freedesktop.PowerManagement.Inhibit", "UnInhibit"};
        session_->call(
            kde,
            [&](sd_bus_message* m) { return sd_bus_message_append(m, "u", assertion->cookie); }, {},
            kQueryTimeout);
    }
    if (session_) {
        IdleInhibitors::release(*session_, assertion->sessionBus, kQueryTimeout);
    }
    return 0;
}

std::string LinuxPowerManagement::keepAwakeInhibitions() {
    std::vector<std::string> taken;
    std::lock_guard lock(mutex_);
    for (const auto& [id, assertion] : assertions_) {
        if (assertion->what != "idle") {
            continue;
        }
        taken.emplace_back("logind idle");
        if (assertion->desktop == DesktopInhibit::gnome) {
            taken.emplace_back("org.gnome.SessionManager");
        } else if (assertion->desktop == DesktopInhibit::freedesktop) {
            taken.emplace_back("org.freedesktop.PowerManagement");
        }
        for (auto& name : assertion->sessionBus.names()) {
            taken.push_back(std::move(name));
        }
        break;  // every keep-awake assertion takes the same set
    }
    std::string joined;
    for (const auto& name : taken) {
        joined += (joined.empty() ? "" : ", ") + name;
    }
    return joined.empty() ? "none held" : joined;
}

}  // namespace noctave::linuxos

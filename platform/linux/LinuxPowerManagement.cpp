#include "platform/linux/LinuxPowerManagement.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/runtime/Queue.hpp"
#include "core/support/Log.hpp"
#include "platform/linux/IdleInhibitors.hpp"
#include "platform/linux/PowerSupplyTree.hpp"
#include "platform/linux/bus/BusNames.hpp"
#include "platform/linux/lid/Logind.hpp"

namespace noctave::linuxos {

using os::kClamshellCausesSleep;
using os::kClamshellState;
using os::kLidSleepPolicySelector;
using os::kRootDomainClass;

namespace {

constexpr double kQueryTimeout = 2.0;

os::IoReturn signalSafeClear(os::IoConnection, uint32_t selector, uint64_t input) noexcept {
    if (selector != kLidSleepPolicySelector || input != 0) {
        return ENOTSUP;  // taking a lock needs the bus, which a signal handler may not touch
    }
    lid::LidHold::clearFromSignal();
    return 0;
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
      lid_(std::make_unique<LidSwitch>(roots_, system_)),
      hold_(std::make_unique<lid::LidHold>(
          system_, session_, [this] { notifyFlagLoss(); },
          [this](const std::string& message) { logOnce(message); })) {}

LinuxPowerManagement::~LinuxPowerManagement() {
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
    return lid::LidHold::isInhibitorHeld();
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
        return lid::errnoOf(status);
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
    return hold_->set(input != 0);
}

lid::LidOwnership LinuxPowerManagement::lidOwnership() {
    return hold_->ownership();
}

std::string LinuxPowerManagement::lidFlagFailure() const {
    return hold_->failure();
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

std::optional<bool> LinuxPowerManagement::lidActionStopsMachine() {
    return hold_->lidActionStopsMachine([this] { return onBattery(); });
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
    hold_->describe(properties);
    properties["LidSource"] = LidSwitch::sourceName(lid_->source());
    properties["lid-close inhibitor held"] = isLidInhibitorHeld() ? "Yes" : "No";
    properties["keep-awake inhibitions"] = keepAwakeInhibitions();
    for (const char* name : {"HandleLidSwitch", "HandleLidSwitchExternalPower",
                             "HandleLidSwitchDocked", "BlockInhibited"}) {
        if (auto value = lid::logindString(*system_, name)) {
            properties[name] = *value;
        }
    }
    for (const char* name : {"LidClosed", "Docked"}) {
        if (auto value = lid::logindBool(*system_, name)) {
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
    assertion->fd = lid::takeInhibitor(*system_, what, name, status);
    if (assertion->fd < 0) {
        logOnce("logind refused the " + what + " inhibitor (" + status.describe() + ")");
        return lid::errnoOf(status);
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

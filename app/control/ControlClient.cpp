#include "app/control/ControlClient.hpp"

#include <atomic>
#include <cstring>

#include "app/control/ControlInterface.hpp"
#include "app/control/ControlNames.hpp"

namespace noctave::control {

namespace {

constexpr double kCallTimeoutSeconds = 30.0;
constexpr double kConnectTimeoutSeconds = 30.0;

}  // namespace

bool ControlClient::Error::isNotRunning() const {
    return name == "org.freedesktop.DBus.Error.ServiceUnknown" ||
           name == "org.freedesktop.DBus.Error.NameHasNoOwner";
}

bool ControlClient::Error::isUnavailable() const {
    // No error name: the bus itself could not be reached. A bus that drops or refuses the
    // connection (another user's) shows as the local errno sd-bus names "System.Error.E...".
    static constexpr const char* kUnreachable[] = {
        "org.freedesktop.DBus.Error.NoServer",
        "org.freedesktop.DBus.Error.Disconnected",
        "System.Error.ENOTCONN",
        "System.Error.ECONNREFUSED",
        "System.Error.ECONNRESET",
        "System.Error.EPIPE",
        "org.freedesktop.DBus.Error.AuthFailed",
        "System.Error.ESHUTDOWN",
    };
    if (name.empty() || isNotRunning()) {
        return true;
    }
    for (const char* unreachable : kUnreachable) {
        if (name == unreachable) {
            return true;
        }
    }
    return false;
}

std::unique_ptr<ControlClient> ControlClient::connect(std::string* error) {
    // Calls run on this thread until something is watched: `ctl status` never starts another.
    auto bus = std::make_shared<linuxos::DBusConnection>(linuxos::BusKind::session, std::string(),
                                                         linuxos::BusThread::creatorUntilWatched);
    if (const auto opened = bus->open(kConnectTimeoutSeconds); !opened.ok()) {
        *error = std::string("no session bus (") + std::strerror(-opened.code) + ")";
        return nullptr;
    }
    return std::unique_ptr<ControlClient>(new ControlClient(std::move(bus)));
}

ControlClient::~ControlClient() {
    for (const uint64_t id : watches_) {
        bus_->unsubscribe(id);
    }
}

std::optional<ControlClient::Error> ControlClient::call(const char* member, bool autoStart,
                                                        const Writer& write, const Reader& read) {
    return callOn(kInterface, member, autoStart, write, read, kCallTimeoutSeconds);
}

std::optional<ControlClient::Error> ControlClient::activate(const std::string& action,
                                                            double timeoutSeconds) {
    if (action.empty()) {
        return callOn(
            kApplicationInterface, kActivate.name, false,
            [](sd_bus_message* m) { return sd_bus_message_append(m, "a{sv}", 0); }, {},
            timeoutSeconds);
    }
    return callOn(
        kApplicationInterface, kActivateAction.name, false,
        [&action](sd_bus_message* m) {
            return sd_bus_message_append(m, "sava{sv}", action.c_str(), 0, 0);
        },
        {}, timeoutSeconds);
}

std::optional<ControlClient::Error> ControlClient::callOn(const char* interface, const char* member,
                                                          bool autoStart, const Writer& write,
                                                          const Reader& read,
                                                          double timeoutSeconds) {
    // Which of our own steps failed, as opposed to the bus or the service.
    int writeError = 0;
    int readError = 0;
    const linuxos::CallStatus status = bus_->call(
        {kBusName, kObjectPath, interface, member},
        [&](sd_bus_message* m) {
            int r = sd_bus_message_set_auto_start(m, autoStart ? 1 : 0);
            if (r >= 0 && write) {
                r = write(m);
            }
            writeError = r < 0 ? r : 0;
            return r;
        },
        [&](sd_bus_message* m) {
            const int r = read ? read(m) : 0;
            readError = r < 0 ? r : 0;
            return r;
        },
        timeoutSeconds);
    if (status.ok()) {
        return std::nullopt;
    }
    if (writeError < 0) {
        return Error{"org.freedesktop.DBus.Error.InvalidArgs",
                     std::string("could not build the call: ") + std::strerror(-writeError)};
    }
    if (readError < 0) {
        return Error{"org.freedesktop.DBus.Error.InvalidSignature",
                     std::string("unexpected reply: ") + std::strerror(-readError)};
    }
    if (!status.errorName.empty()) {
        return Error{status.errorName, status.errorMessage};
    }
    return Error{"", std::strerror(-status.code)};
}

std::optional<ControlClient::Error> ControlClient::status(Status& out) {
    return call(kStatus.name, false, {}, [&out](sd_bus_message* m) {
        unsigned found = 0;
        return readProperties(m, out, &found);
    });
}

std::optional<ControlClient::Error> ControlClient::hold(const std::string& reason, uint32_t* id) {
    return call(
        kHold.name, true,
        [&reason](sd_bus_message* m) { return sd_bus_message_append(m, "s", reason.c_str()); },
        [id](sd_bus_message* m) { return sd_bus_message_read(m, "u", id); });
}

std::optional<ControlClient::Error> ControlClient::release(uint32_t id) {
    return call(kRelease.name, false,
                [id](sd_bus_message* m) { return sd_bus_message_append(m, "u", id); });
}

bool ControlClient::watchHold(uint32_t id, std::function<void(const HoldEnd&)> onEnded) {
    // Both watches may report; the first one tells.
    struct Once {
        std::atomic<bool> isTold{false};
        std::function<void(const HoldEnd&)> onEnded;
        void tell(const HoldEnd& end) {
            if (!isTold.exchange(true)) {
                onEnded(end);
            }
        }
    };
    auto once = std::make_shared<Once>();
    once->onEnded = std::move(onEnded);
    return watchChanges([once, id](const Status& status, unsigned found) {
               if ((found & kHolds) == 0) {
                   return;
               }
               for (const auto& hold : status.holds) {
                   if (hold.id == id) {
                       return;
                   }
               }
               once->tell({false, (found & kLastDisarm) != 0 ? status.lastDisarm.reason : ""});
           }) &&
           watchGone([once] {
               once->tell({true, ""});
           });
}

bool ControlClient::watchChanges(std::function<void(const Status&, unsigned)> onChange) {
    const std::string rule = std::string("type='signal',sender='") + kBusName + "',path='" +
                             kObjectPath +
                             "',interface='org.freedesktop.DBus.Properties',member='"
                             "PropertiesChanged',arg0='" +
                             kInterface + "'";
    const uint64_t id = bus_->subscribe(rule, [onChange = std::move(onChange)](sd_bus_message* m) {
        Status status;
        unsigned found = 0;
        if (sd_bus_message_skip(m, "s") >= 0 && readProperties(m, status, &found) >= 0) {
            onChange(status, found);
        }
    });
    if (id != 0) {
        watches_.push_back(id);
    }
    return id != 0;
}

bool ControlClient::watchGone(std::function<void()> onGone) {
    auto told = std::make_shared<std::atomic<bool>>(false);
    const uint64_t id =
        bus_->watchNameLost(kBusName, [told, onGone = std::move(onGone)](const std::string&) {
            if (!told->exchange(true)) {
                onGone();
            }
        });
    if (id != 0) {
        watches_.push_back(id);
    }
    return id != 0;
}

}  // namespace noctave::control

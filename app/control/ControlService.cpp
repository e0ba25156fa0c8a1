#include "app/control/ControlService.hpp"

#include <poll.h>
#include <sys/eventfd.h>
#include <systemd/sd-bus.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "app/control/ControlNames.hpp"
#include "core/runtime/Runtime.hpp"
#include "core/support/Log.hpp"

namespace noctave::control {

// A request for the main queue; `serial` names the call waiting for its answer.
struct Request {
    enum class Kind { arm, disarm, keepAwake, hold, release };
    Kind kind = Kind::arm;
    bool on = false;
    std::string reason;
    uint32_t id = 0;
    std::string sender;
    uint64_t serial = 0;
};

// The bus side: one connection and the thread that owns it. Everything of sd-bus (the bus,
// its slots, the messages awaiting answers) is touched on that thread only, or before it
// starts and after it ended.
static Request makeRequest(Request::Kind kind) {
    Request made;
    made.kind = kind;
    return made;
}

class ServiceBus {
  public:
    ServiceBus() = default;
    ~ServiceBus();
    ServiceBus(const ServiceBus&) = delete;
    ServiceBus& operator=(const ServiceBus&) = delete;

    // On the calling thread, before start(): connects, exports the object, takes the name.
    bool open(const Status& initial, std::string* error);
    void start();

    // From the main queue.
    void publish(const Status& status, unsigned changed);
    void answer(uint64_t serial, const Outcome& outcome);

    // Set before start(); called on the bus thread.
    std::function<void(Request)> onRequest;
    std::function<void(const std::string& owner)> onOwnerGone;

  private:
    void post(std::function<void()> fn);
    void run();
    bool isAllowed(sd_bus_message* m);
    int forward(sd_bus_message* m, Request request);
    void emitChanged(unsigned changed);

    static int filter(sd_bus_message* m, void* userdata, sd_bus_error* error);
    static int onNameOwnerChanged(sd_bus_message* m, void* userdata, sd_bus_error* error);
    static int methodArm(sd_bus_message* m, void* userdata, sd_bus_error* error);
    static int methodDisarm(sd_bus_message* m, void* userdata, sd_bus_error* error);
    static int methodSetKeepAwake(sd_bus_message* m, void* userdata, sd_bus_error* error);
    static int methodHold(sd_bus_message* m, void* userdata, sd_bus_error* error);
    static int methodRelease(sd_bus_message* m, void* userdata, sd_bus_error* error);
    static int methodStatus(sd_bus_message* m, void* userdata, sd_bus_error* error);
    static int getProperty(sd_bus* bus, const char* path, const char* interface,
                           const char* property, sd_bus_message* reply, void* userdata,
                           sd_bus_error* error);
    static const sd_bus_vtable kVtable[];

    sd_bus* bus_ = nullptr;
    sd_bus_slot* filterSlot_ = nullptr;
    sd_bus_slot* objectSlot_ = nullptr;
    sd_bus_slot* matchSlot_ = nullptr;
    int eventFd_ = -1;
    std::mutex mutex_;
    std::vector<std::function<void()>> commands_;
    bool stopping_ = false;
    std::thread thread_;

    // The bus thread's own.
    Status status_;
    std::unordered_map<uint64_t, sd_bus_message*> awaiting_;
    uint64_t nextSerial_ = 1;
    // Unique names are never reused on a bus, so a verdict stands until its name goes.
    std::unordered_map<std::string, bool> verdicts_;
    std::unordered_set<std::string> holders_;
    uid_t uid_ = geteuid();
};

namespace {

constexpr const char* kMatchNameLost =
    "type='signal',sender='org.freedesktop.DBus',path='/org/freedesktop/DBus',"
    "interface='org.freedesktop.DBus',member='NameOwnerChanged'";

const char* propertyName(unsigned bit) {
    switch (bit) {
        case kState:
            return "State";
        case kKeepAwake:
            return "KeepAwake";
        case kLidClosed:
            return "LidClosed";
        case kOnBattery:
            return "OnBattery";
        case kBatteryPercent:
            return "BatteryPercent";
        case kHolds:
            return "Holds";
        case kLastDisarm:
            return "LastDisarm";
        default:
            return nullptr;
    }
}

constexpr unsigned kAllProperties =
    kState | kKeepAwake | kLidClosed | kOnBattery | kBatteryPercent | kHolds | kLastDisarm;

int appendHolds(sd_bus_message* m, const std::vector<Hold>& holds) {
    int r = sd_bus_message_open_container(m, 'a', "(usst)");
    for (const auto& hold : holds) {
        if (r < 0) {
            return r;
        }
        r = sd_bus_message_append(m, "(usst)", hold.id, hold.reason.c_str(), hold.owner.c_str(),
                                  hold.sinceUsec);
    }
    return r < 0 ? r : sd_bus_message_close_container(m);
}

// Appends the value of one property (not wrapped in a variant).
int appendValue(sd_bus_message* m, const Status& status, unsigned bit) {
    switch (bit) {
        case kState:
            return sd_bus_message_append(m, "s", status.state.c_str());
        case kKeepAwake:
            return sd_bus_message_append(m, "b", status.keepAwake);
        case kLidClosed:
            return sd_bus_message_append(m, "b", status.lidClosed);
        case kOnBattery:
            return sd_bus_message_append(m, "b", status.onBattery);
        case kBatteryPercent:
            return sd_bus_message_append(m, "i", status.batteryPercent);
        case kHolds:
            return appendHolds(m, status.holds);
        case kLastDisarm:
            return sd_bus_message_append(m, "(sst)", status.lastDisarm.reason.c_str(),
                                         status.lastDisarm.notice.c_str(),
                                         status.lastDisarm.timeUsec);
        default:
            return -EINVAL;
    }
}

const char* signatureOf(unsigned bit) {
    switch (bit) {
        case kState:
            return "s";
        case kKeepAwake:
        case kLidClosed:
        case kOnBattery:
            return "b";
        case kBatteryPercent:
            return "i";
        case kHolds:
            return kHoldsSignature;
        case kLastDisarm:
            return kLastDisarmSignature;
        default:
            return "";
    }
}

unsigned bitOf(const char* property) {
    for (unsigned bit = 1; bit <= kLastDisarm; bit <<= 1) {
        if (std::strcmp(propertyName(bit), property) == 0) {
            return bit;
        }
    }
    return 0;
}

ServiceBus* self(void* userdata) {
    return static_cast<ServiceBus*>(userdata);
}

}  // namespace

const sd_bus_vtable ServiceBus::kVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("Arm", "", "", &ServiceBus::methodArm, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("Disarm", "", "", &ServiceBus::methodDisarm, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD_WITH_NAMES("SetKeepAwake", "b", SD_BUS_PARAM(on), "", ,
                             &ServiceBus::methodSetKeepAwake, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD_WITH_NAMES("Hold", "s", SD_BUS_PARAM(reason), "u", SD_BUS_PARAM(id),
                             &ServiceBus::methodHold, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD_WITH_NAMES("Release", "u", SD_BUS_PARAM(id), "", , &ServiceBus::methodRelease,
                             SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD_WITH_NAMES("Status", "", , "a{sv}", SD_BUS_PARAM(status),
                             &ServiceBus::methodStatus, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_PROPERTY("State", "s", &ServiceBus::getProperty, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
    SD_BUS_PROPERTY("KeepAwake", "b", &ServiceBus::getProperty, 0,
                    SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
    SD_BUS_PROPERTY("LidClosed", "b", &ServiceBus::getProperty, 0,
                    SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
    SD_BUS_PROPERTY("OnBattery", "b", &ServiceBus::getProperty, 0,
                    SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
    SD_BUS_PROPERTY("BatteryPercent", "i", &ServiceBus::getProperty, 0,
                    SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
    SD_BUS_PROPERTY("Holds", "a(usst)", &ServiceBus::getProperty, 0,
                    SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
    SD_BUS_PROPERTY("LastDisarm", "(sst)", &ServiceBus::getProperty, 0,
                    SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
    SD_BUS_VTABLE_END,
};

ServiceBus::~ServiceBus() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    if (eventFd_ >= 0) {
        uint64_t one = 1;
        ssize_t written = write(eventFd_, &one, sizeof one);
        (void)written;
    }
    if (thread_.joinable()) {
        thread_.join();
    }
    // The thread is gone: what it owned is this thread's now. Calls never answered get an
    // error rather than the caller's timeout.
    for (auto& [serial, call] : awaiting_) {
        if (bus_ != nullptr) {
            sd_bus_reply_method_errorf(call, SD_BUS_ERROR_NO_SERVER, "Noctave is quitting");
        }
        sd_bus_message_unref(call);
    }
    sd_bus_slot_unref(matchSlot_);
    sd_bus_slot_unref(objectSlot_);
    sd_bus_slot_unref(filterSlot_);
    if (bus_ != nullptr) {
        sd_bus_release_name(bus_, kBusName);
        sd_bus_flush_close_unref(bus_);
    }
    if (eventFd_ >= 0) {
        close(eventFd_);
    }
}

bool ServiceBus::open(const Status& initial, std::string* error) {
    status_ = initial;
    auto fail = [error](const std::string& what, int r) {
        *error = what + " (" + std::strerror(-r) + ")";
        return false;
    };
    int r = sd_bus_open_user(&bus_);
    if (r < 0) {
        bus_ = nullptr;
        return fail("no session bus", r);
    }
    eventFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (eventFd_ < 0) {
        return fail("no eventfd", -errno);
    }
    if ((r = sd_bus_add_filter(bus_, &filterSlot_, &ServiceBus::filter, this)) < 0) {
        return fail("could not install the caller check", r);
    }
    if ((r = sd_bus_add_object_vtable(bus_, &objectSlot_, kObjectPath, kInterface, kVtable, this)) <
        0) {
        return fail("could not export the control object", r);
    }
    if ((r = sd_bus_add_match(bus_, &matchSlot_, kMatchNameLost, &ServiceBus::onNameOwnerChanged,
                              this)) < 0) {
        return fail("could not watch clients", r);
    }
    // Taken last, so that a caller started by the name finds the object in place.
    if ((r = sd_bus_request_name(bus_, kBusName, 0)) < 0) {
        return fail(r == -EEXIST ? "another Noctave owns " + std::string(kBusName)
                                 : "could not take " + std::string(kBusName),
                    r);
    }
    return true;
}

void ServiceBus::start() {
    thread_ = std::thread([this] { run(); });
}

void ServiceBus::post(std::function<void()> fn) {
    {
        std::lock_guard lock(mutex_);
        if (stopping_) {
            return;
        }
        commands_.push_back(std::move(fn));
    }
    uint64_t one = 1;
    ssize_t written = write(eventFd_, &one, sizeof one);
    (void)written;  // a full counter already wakes the thread
}

void ServiceBus::run() {
    for (;;) {
        std::vector<std::function<void()>> commands;
        {
            std::lock_guard lock(mutex_);
            if (stopping_) {
                return;
            }
            commands.swap(commands_);
        }
        for (auto& command : commands) {
            command();
        }
        for (;;) {
            const int r = sd_bus_process(bus_, nullptr);
            if (r < 0) {
                // The session bus went away: so has every client, and nothing can reach us.
                // Later posts are dropped rather than queued for a thread that has ended.
                Log::warn(std::string("control interface: session bus lost (") + std::strerror(-r) +
                          ")");
                std::lock_guard lock(mutex_);
                stopping_ = true;
                commands_.clear();
                return;
            }
            if (r == 0) {
                break;
            }
        }
        pollfd fds[2] = {{eventFd_, POLLIN, 0},
                         {sd_bus_get_fd(bus_), static_cast<short>(sd_bus_get_events(bus_)), 0}};
        int timeoutMs = -1;
        uint64_t until = 0;
        if (sd_bus_get_timeout(bus_, &until) >= 0 && until != UINT64_MAX) {
            timespec now{};
            clock_gettime(CLOCK_MONOTONIC, &now);
            const uint64_t nowUs = static_cast<uint64_t>(now.tv_sec) * 1'000'000ULL +
                                   static_cast<uint64_t>(now.tv_nsec) / 1000ULL;
            timeoutMs = until <= nowUs ? 0 : static_cast<int>((until - nowUs + 999) / 1000);
        }
        if (poll(fds, 2, timeoutMs) > 0 && (fds[0].revents & POLLIN) != 0) {
            uint64_t drained = 0;
            ssize_t got = read(eventFd_, &drained, sizeof drained);
            (void)got;
        }
    }
}

bool ServiceBus::isAllowed(sd_bus_message* m) {
    const char* sender = sd_bus_message_get_sender(m);
    if (sender == nullptr) {
        return false;
    }
    if (auto it = verdicts_.find(sender); it != verdicts_.end()) {
        return it->second;
    }
    // The bus's word on the caller (its peer credentials), never anything the caller sent.
    sd_bus_creds* creds = nullptr;
    bool allowed = false;
    if (sd_bus_query_sender_creds(m, SD_BUS_CREDS_EUID | SD_BUS_CREDS_AUGMENT, &creds) >= 0) {
        uid_t euid = 0;
        allowed = sd_bus_creds_get_euid(creds, &euid) >= 0 && euid == uid_;
        sd_bus_creds_unref(creds);
    }
    verdicts_.emplace(sender, allowed);
    return allowed;
}

int ServiceBus::filter(sd_bus_message* m, void* userdata, sd_bus_error* error) {
    uint8_t type = 0;
    if (sd_bus_message_get_type(m, &type) < 0 || type != SD_BUS_MESSAGE_METHOD_CALL) {
        return 0;
    }
    const char* path = sd_bus_message_get_path(m);
    if (path == nullptr || std::strcmp(path, kObjectPath) != 0) {
        return 0;
    }
    if (self(userdata)->isAllowed(m)) {
        return 0;
    }
    return sd_bus_error_setf(error, SD_BUS_ERROR_ACCESS_DENIED,
                             "Noctave answers only its own user");
}

int ServiceBus::onNameOwnerChanged(sd_bus_message* m, void* userdata, sd_bus_error*) {
    const char *name = nullptr, *before = nullptr, *after = nullptr;
    if (sd_bus_message_read(m, "sss", &name, &before, &after) < 0 || after == nullptr ||
        *after != '\0') {
        return 0;
    }
    ServiceBus* bus = self(userdata);
    bus->verdicts_.erase(name);
    if (bus->holders_.erase(name) != 0 && bus->onOwnerGone) {
        bus->onOwnerGone(name);
    }
    return 0;
}

int ServiceBus::forward(sd_bus_message* m, Request request) {
    request.sender = sd_bus_message_get_sender(m);
    request.serial = nextSerial_++;
    awaiting_.emplace(request.serial, sd_bus_message_ref(m));
    if (request.kind == Request::Kind::hold) {
        // Watched from now on: a client that vanishes right after asking still loses its hold,
        // since its disconnection is reported after its call.
        holders_.insert(request.sender);
    }
    onRequest(std::move(request));
    return 1;
}

int ServiceBus::methodArm(sd_bus_message* m, void* userdata, sd_bus_error*) {
    return self(userdata)->forward(m, makeRequest(Request::Kind::arm));
}

int ServiceBus::methodDisarm(sd_bus_message* m, void* userdata, sd_bus_error*) {
    return self(userdata)->forward(m, makeRequest(Request::Kind::disarm));
}

int ServiceBus::methodSetKeepAwake(sd_bus_message* m, void* userdata, sd_bus_error*) {
    int on = 0;
    const int r = sd_bus_message_read(m, "b", &on);
    if (r < 0) {
        return r;
    }
    Request request = makeRequest(Request::Kind::keepAwake);
    request.on = on != 0;
    return self(userdata)->forward(m, std::move(request));
}

int ServiceBus::methodHold(sd_bus_message* m, void* userdata, sd_bus_error*) {
    const char* reason = nullptr;
    const int r = sd_bus_message_read(m, "s", &reason);
    if (r < 0) {
        return r;
    }
    Request request = makeRequest(Request::Kind::hold);
    request.reason = reason;
    return self(userdata)->forward(m, std::move(request));
}

int ServiceBus::methodRelease(sd_bus_message* m, void* userdata, sd_bus_error*) {
    uint32_t id = 0;
    const int r = sd_bus_message_read(m, "u", &id);
    if (r < 0) {
        return r;
    }
    Request request = makeRequest(Request::Kind::release);
    request.id = id;
    return self(userdata)->forward(m, std::move(request));
}

int ServiceBus::methodStatus(sd_bus_message* m, void* userdata, sd_bus_error*) {
    const Status& status = self(userdata)->status_;
    sd_bus_message* reply = nullptr;
    int r = sd_bus_message_new_method_return(m, &reply);
    if (r >= 0) {
        r = sd_bus_message_open_container(reply, 'a', "{sv}");
    }
    for (unsigned bit = 1; r >= 0 && bit <= kLastDisarm; bit <<= 1) {
        if ((r = sd_bus_message_open_container(reply, 'e', "sv")) < 0 ||
            (r = sd_bus_message_append(reply, "s", propertyName(bit))) < 0 ||
            (r = sd_bus_message_open_container(reply, 'v', signatureOf(bit))) < 0 ||
            (r = appendValue(reply, status, bit)) < 0 ||
            (r = sd_bus_message_close_container(reply)) < 0) {
            break;
        }
        r = sd_bus_message_close_container(reply);
    }
    if (r >= 0) {
        r = sd_bus_message_close_container(reply);
    }
    if (r >= 0) {
        r = sd_bus_send(nullptr, reply, nullptr);
    }
    sd_bus_message_unref(reply);
    return r < 0 ? r : 1;
}

int ServiceBus::getProperty(sd_bus*, const char*, const char*, const char* property,
                            sd_bus_message* reply, void* userdata, sd_bus_error*) {
    return appendValue(reply, self(userdata)->status_, bitOf(property));
}

void ServiceBus::emitChanged(unsigned changed) {
    std::vector<const char*> names;
    for (unsigned bit = 1; bit <= kLastDisarm; bit <<= 1) {
        if ((changed & bit) != 0) {
            names.push_back(propertyName(bit));
        }
    }
    if (names.empty()) {
        return;
    }
    names.push_back(nullptr);
    sd_bus_emit_properties_changed_strv(bus_, kObjectPath, kInterface,
                                        const_cast<char**>(names.data()));
}

void ServiceBus::publish(const Status& status, unsigned changed) {
    post([this, status, changed] {
        status_ = status;
        emitChanged(changed);
    });
}

void ServiceBus::answer(uint64_t serial, const Outcome& outcome) {
    post([this, serial, outcome] {
        auto it = awaiting_.find(serial);
        if (it == awaiting_.end()) {
            return;
        }
        sd_bus_message* call = it->second;
        awaiting_.erase(it);
        if (!outcome.ok()) {
            sd_bus_reply_method_errorf(call, outcome.errorName.c_str(), "%s",
                                       outcome.message.c_str());
        } else if (std::strcmp(sd_bus_message_get_member(call), "Hold") == 0) {
            sd_bus_reply_method_return(call, "u", outcome.id);
        } else {
            sd_bus_reply_method_return(call, "");
        }
        sd_bus_message_unref(call);
    });
}

std::unique_ptr<ControlService> ControlService::start(SessionController& session,
                                                      std::string* error) {
    auto bus = std::make_shared<ServiceBus>();
    // The model is built first so that the name, once taken, answers with the real state.
    std::unique_ptr<ControlService> service(new ControlService(session, bus));
    if (!bus->open(service->model_.status(), error)) {
        return nullptr;
    }
    bus->start();
    Log::info(std::string("control interface on the session bus (") + kBusName + ")");
    return service;
}

ControlService::ControlService(SessionController& session, std::shared_ptr<ServiceBus> bus)
    : model_(session), bus_(std::move(bus)) {
    const auto weak = weakFactory_.weak();
    model_.onChange = [bus = bus_.get()](const Status& status, unsigned changed) {
        bus->publish(status, changed);
    };
    bus_->onOwnerGone = [weak](const std::string& owner) {
        runtime::mainQueue().async(runtime::bindWeak(
            weak, [owner](ControlService& self) { self.model_.ownerVanished(owner); }));
    };
    bus_->onRequest = [weak, bus = bus_.get()](Request request) {
        runtime::mainQueue().async([weak, bus, request = std::move(request)] {
            ControlService* self = weak.get();
            if (self == nullptr) {
                return;  // the bus went with the service and answered what was left
            }
            const uint64_t serial = request.serial;
            auto reply = [bus, serial](const Outcome& outcome) { bus->answer(serial, outcome); };
            ControlModel& model = self->model_;
            switch (request.kind) {
                case Request::Kind::arm:
                    model.arm(reply);
                    break;
                case Request::Kind::disarm:
                    model.disarm(reply);
                    break;
                case Request::Kind::keepAwake:
                    model.setKeepAwake(request.on, reply);
                    break;
                case Request::Kind::hold:
                    model.hold(request.reason, request.sender, reply);
                    break;
                case Request::Kind::release:
                    model.release(request.id, request.sender, reply);
                    break;
            }
        });
    };
}

ControlService::~ControlService() {
    // Stops the bus thread first: nothing can reach the model after this line.
    model_.onChange = nullptr;
    bus_.reset();
}

}  // namespace noctave::control

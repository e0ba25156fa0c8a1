#include "app/control/ControlService.hpp"

#include <unistd.h>

#include <cstring>
#include <utility>
#include <vector>

#include "app/control/ControlInterface.hpp"
#include "app/control/ControlNames.hpp"
#include "core/runtime/Runtime.hpp"
#include "core/support/Log.hpp"

namespace noctave::control {

namespace {

constexpr double kStartTimeoutSeconds = 25.0;

// A request for the main queue; `serial` names the call waiting for its answer.
struct Request {
    enum class Kind { arm, disarm, keepAwake, hold, release, armUntil, keepAwakeUntil };
    Kind kind = Kind::arm;
    bool on = false;
    uint64_t deadlineUsec = 0;
    std::string reason;
    uint32_t id = 0;
    std::string sender;
    uint64_t serial = 0;
};

// Reads a request's arguments; a negative errno when they do not fit (sd-bus has checked the
// signature already).
int readRequest(sd_bus_message* call, const char* member, Request& request) {
    if (std::strcmp(member, "Arm") == 0) {
        request.kind = Request::Kind::arm;
        return 0;
    }
    if (std::strcmp(member, "Disarm") == 0) {
        request.kind = Request::Kind::disarm;
        return 0;
    }
    if (std::strcmp(member, "SetKeepAwake") == 0) {
        request.kind = Request::Kind::keepAwake;
        int on = 0;
        const int r = sd_bus_message_read(call, "b", &on);
        request.on = on != 0;
        return r;
    }
    if (std::strcmp(member, "Hold") == 0) {
        request.kind = Request::Kind::hold;
        const char* reason = nullptr;
        const int r = sd_bus_message_read(call, "s", &reason);
        if (r >= 0) {
            request.reason = reason;
        }
        return r;
    }
    if (std::strcmp(member, "Release") == 0) {
        request.kind = Request::Kind::release;
        return sd_bus_message_read(call, "u", &request.id);
    }
    if (std::strcmp(member, "ArmUntil") == 0 || std::strcmp(member, "SetKeepAwakeUntil") == 0) {
        request.kind = member[0] == 'A' ? Request::Kind::armUntil : Request::Kind::keepAwakeUntil;
        return sd_bus_message_read(call, "t", &request.deadlineUsec);
    }
    return -EBADR;
}

void run(ControlModel& model, const Request& request, ControlModel::Reply reply) {
    switch (request.kind) {
        case Request::Kind::arm:
            model.arm(std::move(reply));
            break;
        case Request::Kind::disarm:
            model.disarm(std::move(reply));
            break;
        case Request::Kind::keepAwake:
            model.setKeepAwake(request.on, std::move(reply));
            break;
        case Request::Kind::hold:
            model.hold(request.reason, request.sender, std::move(reply));
            break;
        case Request::Kind::release:
            model.release(request.id, request.sender, std::move(reply));
            break;
        case Request::Kind::armUntil:
            model.armUntil(request.deadlineUsec, std::move(reply));
            break;
        case Request::Kind::keepAwakeUntil:
            model.keepAwakeUntil(request.deadlineUsec, std::move(reply));
            break;
    }
}

}  // namespace

std::unique_ptr<ControlService> ControlService::start(SessionController& session,
                                                      std::string* error) {
    // The model is built first so that the name, once taken, answers with the real state.
    std::unique_ptr<ControlService> service(new ControlService(session, linuxos::sessionBus()));
    if (!service->serve(error)) {
        return nullptr;
    }
    Log::info(std::string("control interface on the session bus (") + kBusName + ")");
    return service;
}

ControlService::ControlService(SessionController& session,
                               std::shared_ptr<linuxos::DBusConnection> bus)
    : model_(session), bus_(std::move(bus)) {
    side_.status = model_.status();
    side_.uid = geteuid();
    side_.service = weakFactory_.weak();
    model_.onChange = [bus = bus_, side = &side_](const Status& status, unsigned changed) {
        std::vector<std::string> names;
        for (const auto& property : controlProperties()) {
            if ((changed & property.bit) != 0) {
                names.emplace_back(property.name);
            }
        }
        // The copy changes on the connection's thread, which answers from it; the signal
        // follows it there, so a peer reading on the signal sees the new value.
        bus->post([bus, side, status, names = std::move(names)](sd_bus*) mutable {
            side->status = status;
            bus->emitPropertiesChanged(kObjectPath, kInterface, std::move(names));
        });
    };
}

bool ControlService::serve(std::string* error) {
    auto fail = [error](const std::string& what, int r) {
        *error = what + " (" + std::strerror(-r) + ")";
        return false;
    };
    if (const auto opened = bus_->open(kStartTimeoutSeconds); !opened.ok()) {
        return fail("no session bus", opened.code);
    }
    linuxos::ExportedObject object;
    object.path = kObjectPath;
    object.interface = kInterface;
    const auto members = controlMembers();
    object.members.assign(members.begin(), members.end());
    object.onMethod = [this](sd_bus_message* call) { return handle(call); };
    object.onGetProperty = [this](const char* name, sd_bus_message* reply) {
        const ControlProperty* property = findProperty(name);
        return property != nullptr ? property->append(reply, side_.status) : -EINVAL;
    };
    object.isAllowed = [this](sd_bus_message* call) { return isAllowed(call); };
    object.deniedMessage = "Noctave answers only its own user";
    object.goneMessage = "Noctave is quitting";
    exportId_ = bus_->exportObject(std::move(object), kStartTimeoutSeconds);
    if (exportId_ == 0) {
        return fail("could not export the control object", -EIO);
    }
    linuxos::ExportedObject application;
    application.path = kObjectPath;
    application.interface = kApplicationInterface;
    application.members = {
        {linuxos::BusMember::Kind::method, "Activate", "a{sv}", "", "platform_data"},
        {linuxos::BusMember::Kind::method, "Open", "asa{sv}", "", "uris platform_data"},
        {linuxos::BusMember::Kind::method, "ActivateAction", "sava{sv}", "",
         "action_name parameter platform_data"},
    };
    application.onMethod = [this](sd_bus_message* call) { return handleApplication(call); };
    application.isAllowed = [this](sd_bus_message* call) { return isAllowed(call); };
    application.deniedMessage = "Noctave answers only its own user";
    application.goneMessage = "Noctave is quitting";
    applicationExportId_ = bus_->exportObject(std::move(application), kStartTimeoutSeconds);
    if (applicationExportId_ == 0) {
        return fail("could not export the application object", -EIO);
    }
    watchId_ = bus_->watchNameLost(
        "", [this](const std::string& name) { nameLost(name); }, kStartTimeoutSeconds);
    if (watchId_ == 0) {
        return fail("could not watch clients", -EIO);
    }
    // Taken last, so that a caller started by the name finds the object in place.
    const auto named = bus_->requestName(kBusName, kStartTimeoutSeconds);
    if (!named.ok()) {
        return fail(named.code == -EEXIST ? "another Noctave owns " + std::string(kBusName)
                                          : "could not take " + std::string(kBusName),
                    named.code);
    }
    ownsName_ = true;
    return true;
}

ControlService::~ControlService() {
    model_.onChange = nullptr;
    // Nothing of the bus side runs after these: the calls still waiting get an error rather
    // than their caller's timeout.
    bus_->unexport(exportId_);
    bus_->unexport(applicationExportId_);
    bus_->unsubscribe(watchId_);
    if (ownsName_) {
        bus_->releaseName(kBusName);
    }
}

bool ControlService::isAllowed(sd_bus_message* call) {
    const char* sender = sd_bus_message_get_sender(call);
    if (sender == nullptr) {
        return false;
    }
    if (auto it = side_.verdicts.find(sender); it != side_.verdicts.end()) {
        return it->second;
    }
    // The bus's word on the caller (its peer credentials), never anything the caller sent.
    sd_bus_creds* creds = nullptr;
    bool allowed = false;
    if (sd_bus_query_sender_creds(call, SD_BUS_CREDS_EUID | SD_BUS_CREDS_AUGMENT, &creds) >= 0) {
        uid_t euid = 0;
        allowed = sd_bus_creds_get_euid(creds, &euid) >= 0 && euid == side_.uid;
        sd_bus_creds_unref(creds);
    }
    side_.verdicts.emplace(sender, allowed);
    return allowed;
}

void ControlService::nameLost(const std::string& name) {
    side_.verdicts.erase(name);
    if (side_.holders.erase(name) == 0) {
        return;
    }
    runtime::mainQueue().async(runtime::bindWeak(
        side_.service, [name](ControlService& self) { self.model_.ownerVanished(name); }));
}

// Answered at once: a launcher waits for nothing the main thread does (a window, an alert).
int ControlService::handleApplication(sd_bus_message* call) {
    const char* member = sd_bus_message_get_member(call);
    std::string action;
    if (std::strcmp(member, "ActivateAction") == 0) {
        const char* name = nullptr;
        if (const int r = sd_bus_message_read(call, "s", &name); r < 0) {
            return r;
        }
        action = name;
        if (action != kActionSettings && action != kActionOnboarding) {
            return -EINVAL;
        }
    }
    runtime::mainQueue().async(runtime::bindWeak(side_.service, [action](ControlService& self) {
        if (self.onActivate) {
            self.onActivate(action);
        }
    }));
    return linuxos::DBusConnection::replyNow(call, {});
}

int ControlService::handle(sd_bus_message* call) {
    const char* member = sd_bus_message_get_member(call);
    if (std::strcmp(member, "Status") == 0) {
        return linuxos::DBusConnection::replyNow(
            call, [this](sd_bus_message* reply) { return appendProperties(reply, side_.status); });
    }
    if (std::strcmp(member, "History") == 0) {
        // The history is the session's, kept on the main queue.
        const uint64_t serial = bus_->defer(call);
        runtime::mainQueue().async([weak = side_.service, bus = bus_, serial] {
            if (ControlService* self = weak.get()) {
                bus->reply(serial, [json = self->model_.historyJson()](sd_bus_message* m) {
                    return sd_bus_message_append(m, "s", json.c_str());
                });
            }
        });
        return 1;
    }
    Request request;
    if (const int r = readRequest(call, member, request); r < 0) {
        return r;
    }
    request.sender = sd_bus_message_get_sender(call);
    request.serial = bus_->defer(call);
    if (request.kind == Request::Kind::hold) {
        // Watched from now on: a client that vanishes right after asking still loses its hold,
        // since its disconnection is reported after its call.
        side_.holders.insert(request.sender);
    }
    runtime::mainQueue().async([weak = side_.service, bus = bus_, request = std::move(request)] {
        ControlService* self = weak.get();
        if (self == nullptr) {
            return;  // the object went with the service and answered what was left
        }
        const bool isHold = request.kind == Request::Kind::hold;
        run(self->model_, request, [bus, serial = request.serial, isHold](const Outcome& outcome) {
            if (!outcome.ok()) {
                bus->replyError(serial, outcome.errorName, outcome.message);
            } else if (isHold) {
                bus->reply(serial, [id = outcome.id](sd_bus_message* m) {
                    return sd_bus_message_append(m, "u", id);
                });
            } else {
                bus->reply(serial, {});
            }
        });
    });
    return 1;
}

}  // namespace noctave::control

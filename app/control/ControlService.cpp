#include "app/control/ControlService.hpp"

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
    const std::string denied = "Noctave answers only its own user";
    const std::string gone = "Noctave is quitting";
    linuxos::ExportedObject object;
    object.path = kObjectPath;
    object.interface = kInterface;
    object.methods = controlMethods();
    object.properties = propertyRows(side_.status);
    object.deniedMessage = denied;
    object.goneMessage = gone;
    exportId_ = bus_->exportObject(std::move(object), kStartTimeoutSeconds);
    if (exportId_ == 0) {
        return fail("could not export the control object", -EIO);
    }
    linuxos::ExportedObject application;
    application.path = kObjectPath;
    application.interface = kApplicationInterface;
    application.methods = {
        methodRow(kActivate, [this](sd_bus_message* call) { return activate(call, ""); }),
        methodRow(kOpen, [this](sd_bus_message* call) { return activate(call, ""); }),
        methodRow(kActivateAction,
                  [this](sd_bus_message* call) {
                      std::string action;
                      if (const int r = linuxos::readString(call, action); r < 0) {
                          return r;
                      }
                      if (action != kActionSettings && action != kActionOnboarding) {
                          return -EINVAL;
                      }
                      return activate(call, action);
                  }),
    };
    application.deniedMessage = denied;
    application.goneMessage = gone;
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

void ControlService::nameLost(const std::string& name) {
    if (side_.holders.erase(name) == 0) {
        return;
    }
    runtime::mainQueue().async(runtime::bindWeak(
        side_.service, [name](ControlService& self) { self.model_.ownerVanished(name); }));
}

// Answered at once: a launcher waits for nothing the main thread does (a window, an alert).
int ControlService::activate(sd_bus_message* call, std::string action) {
    runtime::mainQueue().async(
        runtime::bindWeak(side_.service, [action = std::move(action)](ControlService& self) {
            if (self.onActivate) {
                self.onActivate(action);
            }
        }));
    return linuxos::DBusConnection::replyNow(call, {});
}

std::vector<linuxos::BusMethod> ControlService::controlMethods() {
    auto sender = [](sd_bus_message* call) { return std::string(sd_bus_message_get_sender(call)); };
    // A request without arguments, and one with a deadline ("t").
    auto plain = [this](void (ControlModel::*request)(Reply)) {
        return [this, request](sd_bus_message* call) {
            return forward(call, [request](ControlModel& model, Reply reply) {
                (model.*request)(std::move(reply));
            });
        };
    };
    auto until = [this](void (ControlModel::*request)(uint64_t, Reply)) {
        return [this, request](sd_bus_message* call) {
            uint64_t usec = 0;
            if (const int r = sd_bus_message_read(call, "t", &usec); r < 0) {
                return r;
            }
            return forward(call, [request, usec](ControlModel& model, Reply reply) {
                (model.*request)(usec, std::move(reply));
            });
        };
    };
    return {
        methodRow(kArm, plain(&ControlModel::arm)),
        methodRow(kDisarm, plain(&ControlModel::disarm)),
        methodRow(kSetKeepAwake,
                  [this](sd_bus_message* call) {
                      bool on = false;
                      if (const int r = linuxos::readBool(call, on); r < 0) {
                          return r;
                      }
                      return forward(call, [on](ControlModel& model, Reply reply) {
                          model.setKeepAwake(on, std::move(reply));
                      });
                  }),
        methodRow(kHold,
                  [this, sender](sd_bus_message* call) {
                      std::string reason;
                      if (const int r = linuxos::readString(call, reason); r < 0) {
                          return r;
                      }
                      std::string owner = sender(call);
                      // Watched from now on: a client that vanishes right after asking still
                      // loses its hold, since its disconnection is reported after its call.
                      side_.holders.insert(owner);
                      return forward(
                          call,
                          [reason = std::move(reason), owner](ControlModel& model, Reply reply) {
                              model.hold(reason, owner, std::move(reply));
                          },
                          true);
                  }),
        methodRow(kRelease,
                  [this, sender](sd_bus_message* call) {
                      uint32_t id = 0;
                      if (const int r = sd_bus_message_read(call, "u", &id); r < 0) {
                          return r;
                      }
                      return forward(call,
                                     [id, owner = sender(call)](ControlModel& model, Reply reply) {
                                         model.release(id, owner, std::move(reply));
                                     });
                  }),
        methodRow(kStatus,
                  [this](sd_bus_message* call) {
                      return linuxos::DBusConnection::replyNow(call, [this](sd_bus_message* reply) {
                          return appendProperties(reply, side_.status);
                      });
                  }),
        methodRow(kArmUntil, until(&ControlModel::armUntil)),
        methodRow(kSetKeepAwakeUntil, until(&ControlModel::keepAwakeUntil)),
        methodRow(kHistory,
                  [this](sd_bus_message* call) {
                      // The history is the session's, kept on the main queue.
                      const uint64_t serial = bus_->defer(call);
                      runtime::mainQueue().async([weak = side_.service, bus = bus_, serial] {
                          if (ControlService* self = weak.get()) {
                              bus->reply(serial,
                                         [json = self->model_.historyJson()](sd_bus_message* m) {
                                             return sd_bus_message_append(m, "s", json.c_str());
                                         });
                          }
                      });
                      return 1;
                  }),
    };
}

int ControlService::forward(sd_bus_message* call, Request request, bool answersId) {
    const uint64_t serial = bus_->defer(call);
    runtime::mainQueue().async(
        [weak = side_.service, bus = bus_, serial, answersId, request = std::move(request)] {
            ControlService* self = weak.get();
            if (self == nullptr) {
                return;  // the object went with the service and answered what was left
            }
            request(self->model_, [bus, serial, answersId](const Outcome& outcome) {
                if (!outcome.ok()) {
                    bus->replyError(serial, outcome.errorName, outcome.message);
                } else if (answersId) {
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

#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "app/control/ControlModel.hpp"
#include "core/runtime/WeakPtr.hpp"
#include "core/session/SessionController.hpp"
#include "platform/linux/bus/DBusConnection.hpp"

namespace noctave::control {

// The session-bus control interface of the running application: com.quillor.noctave on the
// session bus, object /com/quillor/noctave, interface com.quillor.noctave.Control1; and on the
// same object org.freedesktop.Application, which makes the running Noctave the only one.
//
// Served on the process's session-bus connection, whose thread answers it. Only callers with
// this process's user id are answered. Properties and Status are answered on that thread from
// a copy the main queue publishes after every change (a script polling Status never waits for
// the main thread); requests that change something hop to the main queue, run there through
// ControlModel, and their answers go back by serial. PropertiesChanged goes out for every
// change.
//
// Lives on the main queue, between the session's construction and its shutdown.
class ControlService {
  public:
    // Takes the bus name and starts serving; nothing (and `error` says why) when there is no
    // session bus or another process owns the name.
    static std::unique_ptr<ControlService> start(SessionController& session, std::string* error);
    ~ControlService();
    ControlService(const ControlService&) = delete;
    ControlService& operator=(const ControlService&) = delete;

    // Forwarded by the session's owner, which keeps those two callbacks for itself.
    void sessionStateChanged() { model_.sessionStateChanged(); }
    void noteNotice(const std::string& title, const std::string& body) {
        model_.noteNotice(title, body);
    }

    ControlModel& model() { return model_; }

    // On the main queue, when a launcher or a second launch activates Noctave through
    // org.freedesktop.Application: `action` is empty for Activate, else "settings" or
    // "onboarding". The caller has had its answer already.
    std::function<void(const std::string& action)> onActivate;

  private:
    // What the connection's thread alone reads and writes.
    struct BusSide {
        Status status;
        std::unordered_set<std::string> holders;
        runtime::WeakPtr<ControlService> service;  // for hops to the main queue
    };

    ControlService(SessionController& session, std::shared_ptr<linuxos::DBusConnection> bus);
    bool serve(std::string* error);
    using Reply = ControlModel::Reply;
    using Request = std::function<void(ControlModel&, Reply)>;
    // The interface's rows, each bound to its handler.
    std::vector<linuxos::BusMethod> controlMethods();
    // Keeps `call` and runs `request` on the main queue; its outcome answers the call, with
    // the outcome's id for `answersId`.
    int forward(sd_bus_message* call, Request request, bool answersId = false);
    int activate(sd_bus_message* call, std::string action);
    void nameLost(const std::string& name);

    ControlModel model_;
    std::shared_ptr<linuxos::DBusConnection> bus_;
    BusSide side_;
    uint64_t exportId_ = 0;
    uint64_t applicationExportId_ = 0;
    uint64_t watchId_ = 0;
    bool ownsName_ = false;
    runtime::WeakFactory<ControlService> weakFactory_{this};
};

}  // namespace noctave::control

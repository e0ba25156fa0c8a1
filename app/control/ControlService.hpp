#pragma once

#include <memory>
#include <string>

#include "app/control/ControlModel.hpp"
#include "core/runtime/WeakPtr.hpp"
#include "core/session/SessionController.hpp"

namespace noctave::control {

class ServiceBus;

// The session-bus control interface of the running application: com.quillor.noctave on the
// session bus, object /com/quillor/noctave, interface com.quillor.noctave.Control1.
//
// One connection of its own, owned by one thread. Only callers with this process's user id
// are answered. Properties and Status are answered on that thread from a copy the main queue
// publishes after every change (a script polling Status never waits for the main thread);
// requests that change something hop to the main queue, run there through ControlModel, and
// their answers hop back. PropertiesChanged goes out for every change.
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

  private:
    ControlService(SessionController& session, std::shared_ptr<ServiceBus> bus);

    ControlModel model_;
    std::shared_ptr<ServiceBus> bus_;
    runtime::WeakFactory<ControlService> weakFactory_{this};
};

}  // namespace noctave::control

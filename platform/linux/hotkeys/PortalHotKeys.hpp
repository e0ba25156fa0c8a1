#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "core/os/HotKeys.hpp"
#include "platform/linux/hotkeys/HotKeyHandlers.hpp"

struct sd_bus;
struct sd_bus_slot;
struct sd_bus_message;

namespace noctave::linuxos {

// Global shortcuts through the desktop portal's GlobalShortcuts interface on the session bus
// (Wayland desktops, where no client may grab keys). Each registration is one portal session
// with one bound shortcut; unregistering closes the session. The desktop decides the final
// trigger and may ask the user first: an answer that takes longer than `bindWait` is taken as
// a binding in progress (success now, a warning later if the user declines).
//
// The bus connection is used under one lock: by the main thread for the calls, and by a
// thread of this object that waits for the desktop's Activated signals.
class PortalHotKeys final : public os::HotKeys {
  public:
    // Opens the bus at `address` (empty: the user's session bus) and returns a backend when
    // the portal there offers GlobalShortcuts. `replyTimeout`: longest wait for any reply.
    static std::shared_ptr<PortalHotKeys> connect(const std::string& address = {},
                                                  double replyTimeout = 5, double bindWait = 3);
    ~PortalHotKeys() override;
    PortalHotKeys(const PortalHotKeys&) = delete;
    PortalHotKeys& operator=(const PortalHotKeys&) = delete;

    Status installEventHandler(EventHandler handler, HandlerRef* ref) override;
    Status removeEventHandler(HandlerRef ref) override;
    Status registerHotKey(std::uint32_t keyCode, std::uint32_t modifiers, HotKeyID hotKeyID,
                          std::uint32_t options, HotKeyRef* ref) override;
    Status unregisterHotKey(HotKeyRef ref) override;

    // The trigger in the desktop's shortcut notation ("CTRL+ALT+LOGO+l"); empty when the key
    // has no name there.
    static std::string triggerFor(std::uint32_t keyCode, std::uint32_t modifiers);

    struct Response;  // one awaited answer of the portal

  private:
    struct Binding {
        std::string session;
        std::string shortcutID;
        HotKeyID hotKeyID;
        // While the desktop has not answered the binding yet: where its answer will land.
        std::shared_ptr<Response> lateAnswer;
        sd_bus_slot* lateSlot = nullptr;
    };

    PortalHotKeys(sd_bus* bus, double replyTimeout, double bindWait);
    bool start();
    // Calls a portal method that answers through a Request object and waits for the answer
    // up to `wait` seconds. The caller holds busMutex_. -ETIMEDOUT when no answer came: the
    // match then goes to `*pending` (which must outlive nothing but `response`), or is dropped.
    int request(const std::string& method, const std::string& token, sd_bus_message* call,
                Response& response, double wait, sd_bus_slot** pending);
    void release(Binding& binding);
    std::string nextToken();
    void closeSession(const std::string& session);
    void handleActivated(const std::string& session, const std::string& shortcutID);
    friend struct PortalCallbacks;
    void wake();
    void run();

    sd_bus* bus_;
    double replyTimeout_;
    double bindWait_;
    std::string senderPath_;  // our unique name as a path element
    int wakeFd_ = -1;
    std::atomic<bool> stopping_{false};
    std::mutex busMutex_;  // the bus and everything below
    sd_bus_slot* activatedSlot_ = nullptr;
    std::map<HotKeyRef, Binding> bindings_;
    std::uint64_t nextRef_ = 1;
    std::uint64_t nextToken_ = 1;
    HotKeyHandlers handlers_;
    std::thread thread_;
};

}  // namespace noctave::linuxos

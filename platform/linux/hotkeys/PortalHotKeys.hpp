#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/os/HotKeys.hpp"
#include "platform/linux/bus/DBusConnection.hpp"
#include "platform/linux/hotkeys/HotKeyHandlers.hpp"

namespace noctave::linuxos {

// Global shortcuts through the desktop portal's GlobalShortcuts interface on the session bus
// (Wayland desktops, where no client may grab keys). Each registration is one portal session
// with one bound shortcut; unregistering closes the session. The desktop decides the final
// trigger and may ask the user first: an answer that takes longer than `bindWait` is taken as
// a binding in progress (success now, a warning later if the user declines).
//
// It runs on the project's session-bus connection: calls are made from the main thread and
// wait for their replies, while the desktop's Response and Activated signals arrive on the
// connection's thread.
class PortalHotKeys final : public os::HotKeys {
  public:
    // Uses the bus at `address` (empty: the process's session-bus connection) and returns a
    // backend when the portal there offers GlobalShortcuts. `replyTimeout`: longest wait for
    // any reply.
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
        // While the desktop has not answered the binding yet: the match its answer will meet.
        std::vector<uint64_t> lateSubscriptions;
    };

    PortalHotKeys(std::shared_ptr<DBusConnection> bus, double replyTimeout, double bindWait);
    bool start();
    // Calls a portal method that answers through a Request object and waits for the answer
    // up to `wait` seconds. -ETIMEDOUT when no answer came: the matches listening for it then
    // go to `*pending`, or are dropped when `pending` is null.
    int request(const MethodRef& method, const std::string& token,
                const DBusConnection::Writer& write, const std::shared_ptr<Response>& response,
                double wait, std::vector<uint64_t>* pending);
    void release(Binding& binding);
    std::string nextToken();
    void closeSession(const std::string& session);
    void handleActivated(const std::string& session, const std::string& shortcutID);

    std::shared_ptr<DBusConnection> bus_;
    double replyTimeout_;
    double bindWait_;
    std::string senderPath_;  // our unique name as a path element
    uint64_t activatedSubscription_ = 0;
    std::mutex mutex_;  // the bindings, read by the connection's thread on activation
    std::map<HotKeyRef, Binding> bindings_;
    std::uint64_t nextRef_ = 1;
    std::uint64_t nextToken_ = 1;
    HotKeyHandlers handlers_;
};

}  // namespace noctave::linuxos

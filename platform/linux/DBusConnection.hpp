#pragma once

#include <systemd/sd-bus.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/PollThread.hpp"

namespace noctave::linuxos {

enum class BusKind { system, session };

// What became of one method call. `code` is 0 on success, else a negative errno (for a D-Bus
// error reply: the errno sd-bus maps the error name to, or -EIO).
struct CallStatus {
    int code = 0;
    std::string errorName;
    std::string errorMessage;

    bool ok() const { return code >= 0; }
    // "org.freedesktop.DBus.Error.ServiceUnknown: The name ... was not provided" or the
    // errno's text; for the log.
    std::string describe() const;
};

// A method to call: destination, object, interface and member.
struct MethodRef {
    std::string destination;
    std::string path;
    std::string interface;
    std::string member;
};

// One connection to a message bus, owned by one thread of its own.
//
// sd-bus objects are not thread-safe, so only the connection's thread (a PollThread) touches
// the sd_bus*: it polls the bus's fd (sd_bus_get_fd / get_events / get_timeout) and is woken
// by other threads after they queue work. Writers, readers and signal handlers run on
// that thread; handlers hop to their own queues before touching anything else.
//
// The connection is made on first use and made again on the next use after it was lost (the
// bus daemon restarting); subscriptions are installed again on every new connection.
//
// Every member may be called from any thread. A call made from the connection's own thread
// (inside a handler) runs inline.
class DBusConnection {
  public:
    using Writer = std::function<int(sd_bus_message*)>;  // appends arguments; returns < 0 on error
    using Reader = std::function<int(sd_bus_message*)>;  // reads the reply; returns < 0 on error
    using SignalHandler = std::function<void(sd_bus_message*)>;

    // `address` (a D-Bus address) names a bus other than the user's or the system's one.
    explicit DBusConnection(BusKind kind, std::string address = {});
    ~DBusConnection();
    DBusConnection(const DBusConnection&) = delete;
    DBusConnection& operator=(const DBusConnection&) = delete;

    BusKind kind() const { return kind_; }

    // Calls a method and waits for the reply at most `timeoutSeconds` (then -ETIMEDOUT).
    // `read` runs only for a successful reply, and never after this call returned.
    CallStatus call(const MethodRef& method, const Writer& write, const Reader& read,
                    double timeoutSeconds);

    // org.freedesktop.DBus.Properties.Get, reading the variant's content of `type` ("b", "u",
    // "d", "s"...) into `read`.
    CallStatus getProperty(const std::string& destination, const std::string& path,
                           const std::string& interface, const std::string& property,
                           const char* type, const Reader& read, double timeoutSeconds);

    // Our unique name on the bus (":1.42"), connecting first if needed; absent when there is
    // no connection within `timeoutSeconds`. A new connection brings a new name.
    std::optional<std::string> uniqueName(double timeoutSeconds);

    // Whether `name` has an owner on the bus now. Absent when the bus cannot be asked.
    std::optional<bool> nameHasOwner(const std::string& name, double timeoutSeconds);

    // Installs a match rule; `handler` runs on the connection's thread for every matching
    // message. Returns an id for unsubscribe, or 0 when the rule could not be installed now
    // (it is still kept and installed on the next connection).
    uint64_t subscribe(const std::string& matchRule, SignalHandler handler,
                       double timeoutSeconds = 5.0);
    void unsubscribe(uint64_t id);

    // Runs `fn` on the connection's thread with the live bus (nullptr when not connected).
    void post(std::function<void(sd_bus*)> fn);

    // True when the calling code runs on this connection's thread.
    bool isCurrent() const;

    // Changes every time the connection is made or lost: what a peer handed out under one
    // generation (an inhibitor, a cookie) may be gone in the next.
    uint64_t generation() const { return generation_.load(); }

  private:
    struct PendingCall;
    struct Subscription;

    bool turn(PollThread::Turn& turn);
    void wake();
    sd_bus* ensureBus();
    void dropBus(int why);
    void installMatch(const std::shared_ptr<Subscription>& sub);
    static int onReply(sd_bus_message* reply, void* userdata, sd_bus_error* error);
    static int onSignal(sd_bus_message* message, void* userdata, sd_bus_error* error);
    static int onMatchInstalled(sd_bus_message* reply, void* userdata, sd_bus_error* error);
    CallStatus callInline(const MethodRef& method, const Writer& write, const Reader& read,
                          double timeoutSeconds);

    BusKind kind_;
    std::string address_;
    std::mutex mutex_;
    std::vector<std::function<void(sd_bus*)>> commands_;
    bool stopping_ = false;

    // Owned by the connection's thread.
    sd_bus* bus_ = nullptr;
    int openError_ = -ENOTCONN;  // why the last connection attempt failed
    std::chrono::steady_clock::time_point lastReconnect_;
    std::vector<std::shared_ptr<PendingCall>> pending_;
    std::map<uint64_t, std::shared_ptr<Subscription>> subscriptions_;
    uint64_t nextSubscription_ = 1;
    std::atomic<uint64_t> generation_{0};

    std::unique_ptr<PollThread> thread_;  // last: its turns use everything above
};

// Shared connections of the process, made on first use.
std::shared_ptr<DBusConnection> systemBus();
std::shared_ptr<DBusConnection> sessionBus();

// Reads a boolean ("b") from a message positioned on it.
int readBool(sd_bus_message* m, bool& out);
// Walks an "a{sv}" dictionary, calling `onEntry(name, message)` with the message positioned
// on the variant; `onEntry` must consume it (read it or sd_bus_message_skip).
int readPropertyDictionary(sd_bus_message* m,
                           const std::function<int(const std::string&, sd_bus_message*)>& onEntry);

}  // namespace noctave::linuxos

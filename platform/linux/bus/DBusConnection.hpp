#pragma once

#include <sys/types.h>
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
#include <thread>
#include <vector>

#include "platform/linux/bus/PollThread.hpp"

namespace noctave::linuxos {

enum class BusKind { system, session };

// Who drives a connection: a thread of its own from the start; or the thread that made it,
// until it first has to deliver messages by itself (a subscription, a watch, an exported
// object), when it starts that thread. The second is for one-shot clients: until then their
// calls run inline on the thread that made the connection, without a hop, and only that
// thread may use it.
enum class BusThread { own, creatorUntilWatched };

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

// Who may call a method or read a property of an exported object.
enum class Callers {
    user,    // only connections of this process's user id (the bus's word, never the caller's)
    anyone,  // every peer the bus admits
};

// One method of an exported interface: what its introspection shows and the handler it is
// dispatched to, on the connection's thread. The handler reads its arguments, then answers at
// once (replyNow) or keeps the call (defer) to answer later by serial; a negative errno
// answers with that error.
struct BusMethod {
    const char* name = "";
    const char* signature = "";      // the arguments in
    const char* result = "";         // the arguments out
    const char* argumentNames = "";  // space-separated, in then out ("reason id")
    std::function<int(sd_bus_message* call)> handler;
    Callers callers = Callers::user;
};

// A read-only property and its getter, which appends the value (not wrapped in a variant).
struct BusProperty {
    const char* name = "";
    const char* type = "";
    std::function<int(sd_bus_message* reply)> get;
    Callers callers = Callers::user;
};

struct BusSignal {
    const char* name = "";
    const char* signature = "";
    const char* argumentNames = "";
};

// An interface on one object, served from its rows. The functions run on the connection's
// thread.
struct ExportedObject {
    std::string path;
    std::string interface;
    std::vector<BusMethod> methods;
    std::vector<BusProperty> properties;
    std::vector<BusSignal> emits;  // its signals (a name Qt keeps for itself)
    // What a caller a row refuses reads with its AccessDenied.
    std::string deniedMessage = "answered only for its own user";
    // The message of the NoServer error that calls still waiting for an answer get when the
    // object is withdrawn or the connection closes.
    std::string goneMessage;
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
// Every member may be called from any thread (but see BusThread::creatorUntilWatched). A call
// made from the connection's own thread (inside a handler) runs inline.
class DBusConnection {
  public:
    using Writer = std::function<int(sd_bus_message*)>;  // appends arguments; returns < 0 on error
    using Reader = std::function<int(sd_bus_message*)>;  // reads the reply; returns < 0 on error
    using SignalHandler = std::function<void(sd_bus_message*)>;

    // `address` (a D-Bus address) names a bus other than the user's or the system's one.
    explicit DBusConnection(BusKind kind, std::string address = {},
                            BusThread driver = BusThread::own);
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

    // Connects now unless connected; the status says why there is no connection.
    CallStatus open(double timeoutSeconds);

    // Runs `onLost(name)` on the connection's thread when `name` loses its owner, or for every
    // name that loses one when `name` is empty. A named peer is taken for gone as well when
    // the connection to the bus is lost: nothing it held survives that. Returns an id for
    // unsubscribe, 0 when the watch could not be installed now.
    uint64_t watchNameLost(const std::string& name, std::function<void(const std::string&)> onLost,
                           double timeoutSeconds = 5.0);
    // Runs `onChange(present)` on the connection's thread whenever `name` gains an owner
    // (true) or loses it (false, also when the connection to the bus is lost). What the owner
    // is before the watch is not reported: ask nameHasOwner after installing it. Returns an id
    // for unsubscribe, 0 when the watch could not be installed now.
    uint64_t watchNameOwner(const std::string& name, std::function<void(bool present)> onChange,
                            double timeoutSeconds = 5.0);

    // The server half. Exports `object` on this connection and on every later one; returns
    // an id for unexport, 0 when the table could not be exported.
    uint64_t exportObject(ExportedObject object, double timeoutSeconds = 5.0);
    // Withdraws an object and answers the calls it kept; no function of it runs afterwards.
    void unexport(uint64_t id);
    // Takes a well-known name now and on every later connection; -EEXIST when another
    // connection owns it. releaseName gives it up.
    CallStatus requestName(const std::string& name, double timeoutSeconds);
    void releaseName(const std::string& name);
    // On the connection's thread, in a method's handler: keeps `call` to be answered later. The
    // serial names it for reply/replyError; a call whose object or connection went is forgotten.
    uint64_t defer(sd_bus_message* call);
    // From any thread: answers a kept call (`write` appends the results), once.
    void reply(uint64_t serial, Writer write);
    void replyError(uint64_t serial, std::string name, std::string message);
    // Answers `call` at once; on the connection's thread.
    static int replyNow(sd_bus_message* call, const Writer& write);
    // From any thread: PropertiesChanged for `names`, their values read from their getters,
    // or a signal of an exported interface (`signal.destination` unused).
    void emitPropertiesChanged(std::string path, std::string interface,
                               std::vector<std::string> names);
    void emitSignal(MethodRef signal, Writer write);

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
    struct Export;
    struct Row;

    bool turn(PollThread::Turn& turn);
    void startThread();
    void wake();
    sd_bus* ensureBus();
    void dropBus(int why);
    void installMatch(const std::shared_ptr<Subscription>& sub);
    int installExport(Export& object);
    void answerKept(uint64_t exportId);
    uint64_t addSubscription(const std::shared_ptr<Subscription>& sub, double timeoutSeconds);
    // Runs `fn` on the connection's thread and waits for it: at most `timeoutSeconds` (then
    // -ETIMEDOUT, and `fn` never runs), or without limit when negative.
    CallStatus runOnThread(std::function<CallStatus()> fn, double timeoutSeconds);
    static int onMethodCall(sd_bus_message* m, void* userdata, sd_bus_error* error);
    static int onPropertyGet(sd_bus* bus, const char* path, const char* interface,
                             const char* property, sd_bus_message* reply, void* userdata,
                             sd_bus_error* error);
    // Whether a row admitting `callers` answers `call`; sets `error` when it does not.
    bool admits(Callers callers, const Export& object, sd_bus_message* call, sd_bus_error* error);
    void watchCallers();
    static int onReply(sd_bus_message* reply, void* userdata, sd_bus_error* error);
    static int onSignal(sd_bus_message* message, void* userdata, sd_bus_error* error);
    static int onMatchInstalled(sd_bus_message* reply, void* userdata, sd_bus_error* error);
    CallStatus callInline(const MethodRef& method, const Writer& write, const Reader& read,
                          double timeoutSeconds);

    BusKind kind_;
    std::string address_;
    uid_t uid_;  // whose callers a row for the user admits
    std::mutex mutex_;
    std::vector<std::function<void(sd_bus*)>> commands_;
    bool stopping_ = false;

    // Owned by the connection's thread.
    sd_bus* bus_ = nullptr;
    int openError_ = -ENOTCONN;  // why the last connection attempt failed
    std::chrono::steady_clock::time_point lastReconnect_;
    std::vector<std::shared_ptr<PendingCall>> pending_;
    std::map<uint64_t, std::shared_ptr<Subscription>> subscriptions_;
    uint64_t nextSubscription_ = 1;  // ids of subscriptions and exports alike
    std::map<uint64_t, std::shared_ptr<Export>> exports_;
    std::vector<std::string> names_;
    struct Kept {
        sd_bus_message* call = nullptr;
        uint64_t exportId = 0;
    };
    std::map<uint64_t, Kept> kept_;
    uint64_t nextKept_ = 1;
    uint64_t dispatching_ = 0;  // the export whose method handler runs now
    // Each caller's user id checked once: unique names are never reused on one bus, so a
    // verdict stands until its name goes or the connection does.
    std::map<std::string, bool, std::less<>> verdicts_;
    uint64_t callerWatch_ = 0;
    std::atomic<uint64_t> generation_{0};

    std::thread::id creator_;
    // Last: its turns use everything above. Absent while the creator drives the connection.
    std::unique_ptr<PollThread> thread_;
};

// Shared connections of the process, made on first use.
std::shared_ptr<DBusConnection> systemBus();
std::shared_ptr<DBusConnection> sessionBus();

// Reads a boolean ("b") or a string ("s") from a message positioned on it.
int readBool(sd_bus_message* m, bool& out);
int readString(sd_bus_message* m, std::string& out);
// Walks an "a{sv}" dictionary, calling `onEntry(name, message)` with the message positioned
// on the variant; `onEntry` must consume it (read it or sd_bus_message_skip).
int readPropertyDictionary(sd_bus_message* m,
                           const std::function<int(const std::string&, sd_bus_message*)>& onEntry);

}  // namespace noctave::linuxos

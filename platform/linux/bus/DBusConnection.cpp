#include "platform/linux/bus/DBusConnection.hpp"

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <future>
#include <string_view>

namespace noctave::linuxos {

std::string CallStatus::describe() const {
    if (!errorName.empty()) {
        return errorMessage.empty() ? errorName : errorName + ": " + errorMessage;
    }
    return std::strerror(-code);
}

// A call in flight. The caller waits on it; the connection's thread completes it. Once the
// caller gave up (`abandoned`), the reader is never run: it may refer to the caller's frame.
struct DBusConnection::PendingCall {
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
    bool abandoned = false;
    CallStatus status;
    Reader read;
    DBusConnection* owner = nullptr;
};

struct DBusConnection::Subscription {
    uint64_t id = 0;
    std::string rule;
    SignalHandler handler;
    sd_bus_slot* slot = nullptr;
    // The caller of subscribe() waits for the daemon to confirm the rule.
    std::shared_ptr<PendingCall> installWaiter;
    // Told when a connection that carried the rule is lost.
    std::function<void()> onConnectionLost;
};

// What sd-bus hands a method's or a property's callback: the vtable's userdata is the first
// row and each entry's offset leads to its own, so a call reaches its row without a lookup.
struct DBusConnection::Row {
    Export* object = nullptr;
    const BusMethod* method = nullptr;
    const BusProperty* property = nullptr;
};

struct DBusConnection::Export {
    uint64_t id = 0;
    ExportedObject object;
    std::vector<std::string> names;  // each member's argument names, NUL-separated
    std::vector<Row> rows;
    std::vector<sd_bus_vtable> vtable;
    sd_bus_slot* objectSlot = nullptr;
    DBusConnection* owner = nullptr;

    void releaseSlots() { objectSlot = sd_bus_slot_unref(objectSlot); }
};

namespace {

uint64_t toMicroseconds(double seconds) {
    return seconds <= 0 ? 1 : static_cast<uint64_t>(seconds * 1'000'000.0);
}

// How long the caller waits beyond the call's own timeout, which the connection's thread
// enforces; the slack only covers a thread that is busy with another message.
constexpr auto kCallerSlack = std::chrono::milliseconds(500);
constexpr auto kReconnectPeriod = std::chrono::seconds(2);

CallStatus statusFromError(const sd_bus_error* error, int fallbackCode) {
    CallStatus status;
    status.code = fallbackCode < 0 ? fallbackCode : -EIO;
    if (error != nullptr && sd_bus_error_is_set(error)) {
        status.errorName = error->name != nullptr ? error->name : "";
        status.errorMessage = error->message != nullptr ? error->message : "";
        int mapped = sd_bus_error_get_errno(error);
        if (mapped > 0) {
            status.code = -mapped;
        }
    }
    return status;
}

// The match rule of the bus daemon's NameOwnerChanged, narrowed by `args` (",arg0='x'").
std::string nameOwnerChanged(const std::string& args) {
    return "type='signal',sender='org.freedesktop.DBus',path='/org/freedesktop/DBus',"
           "interface='org.freedesktop.DBus',member='NameOwnerChanged'" +
           args;
}

// A method call with its arguments written; on failure nothing is left to release.
int newCall(sd_bus* bus, const MethodRef& method, const DBusConnection::Writer& write,
            sd_bus_message** message) {
    int r = sd_bus_message_new_method_call(bus, message, method.destination.c_str(),
                                           method.path.c_str(), method.interface.c_str(),
                                           method.member.c_str());
    if (r >= 0 && write) {
        r = write(*message);
    }
    if (r < 0) {
        *message = sd_bus_message_unref(*message);
    }
    return r;
}

}  // namespace

DBusConnection::DBusConnection(BusKind kind, std::string address, BusThread driver)
    : kind_(kind),
      address_(std::move(address)),
      uid_(geteuid()),
      creator_(std::this_thread::get_id()) {
    if (driver == BusThread::own) {
        startThread();
    }
}

void DBusConnection::startThread() {
    if (!thread_) {
        thread_ = std::make_unique<PollThread>(
            [this](PollThread::Turn& turn) { return this->turn(turn); });
    }
}

DBusConnection::~DBusConnection() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    if (thread_) {
        thread_->stop();
    }
    // The thread is gone: what it owned is ours to let go. Calls never answered get an error
    // rather than their caller's timeout.
    answerKept(0);
    dropBus(-ECANCELED);
}

bool DBusConnection::isCurrent() const {
    return thread_ ? thread_->isCurrent() : std::this_thread::get_id() == creator_;
}

void DBusConnection::wake() {
    thread_->wake();
}

void DBusConnection::post(std::function<void(sd_bus*)> fn) {
    if (!thread_) {
        fn(bus_);  // the creator drives the connection: it is the connection's thread
        return;
    }
    {
        std::lock_guard lock(mutex_);
        if (stopping_) {
            return;
        }
        commands_.push_back(std::move(fn));
    }
    wake();
}

sd_bus* DBusConnection::ensureBus() {
    if (bus_ != nullptr) {
        return bus_;
    }
    sd_bus* bus = nullptr;
    int r = 0;
    if (!address_.empty()) {
        r = sd_bus_new(&bus);
        if (r >= 0 && (r = sd_bus_set_address(bus, address_.c_str())) >= 0 &&
            (r = sd_bus_set_bus_client(bus, 1)) >= 0) {
            r = sd_bus_start(bus);
        }
    } else {
        r = kind_ == BusKind::system ? sd_bus_open_system(&bus) : sd_bus_open_user(&bus);
    }
    lastReconnect_ = std::chrono::steady_clock::now();
    if (r < 0) {
        sd_bus_unref(bus);
        openError_ = r;
        return nullptr;
    }
    bus_ = bus;
    ++generation_;
    for (auto& [id, sub] : subscriptions_) {
        installMatch(sub);
    }
    for (auto& [id, object] : exports_) {
        installExport(*object);
    }
    for (const auto& name : names_) {
        sd_bus_request_name_async(bus_, nullptr, name.c_str(), 0, nullptr, nullptr);
    }
    return bus_;
}

void DBusConnection::dropBus(int why) {
    std::vector<std::function<void()>> lost;
    for (auto& [id, sub] : subscriptions_) {
        if (sub->slot != nullptr) {
            sub->slot = sd_bus_slot_unref(sub->slot);
            if (sub->onConnectionLost && why != -ECANCELED) {
                lost.push_back(sub->onConnectionLost);
            }
        }
    }
    for (auto& [id, object] : exports_) {
        object->releaseSlots();
    }
    // Their callers were on the connection that is gone: nobody to answer.
    for (auto& [serial, kept] : kept_) {
        sd_bus_message_unref(kept.call);
    }
    kept_.clear();
    // A new bus daemon hands out the same unique names again.
    verdicts_.clear();
    if (bus_ != nullptr) {
        bus_ = sd_bus_flush_close_unref(bus_);
        ++generation_;
    }
    auto pending = std::move(pending_);
    pending_.clear();
    for (auto& call : pending) {
        std::lock_guard lock(call->mutex);
        call->status.code = why;
        call->status.errorName = "org.freedesktop.DBus.Error.Disconnected";
        call->status.errorMessage = "connection to the bus lost";
        call->done = true;
        call->cv.notify_all();
    }
    // Last: a watcher may unsubscribe from here.
    for (auto& notify : lost) {
        notify();
    }
}

bool DBusConnection::turn(PollThread::Turn& turn) {
    std::vector<std::function<void(sd_bus*)>> commands;
    {
        std::lock_guard lock(mutex_);
        if (stopping_) {
            return false;
        }
        commands.swap(commands_);
    }
    for (auto& command : commands) {
        command(bus_);
    }
    if (bus_ != nullptr) {
        for (;;) {
            int r = sd_bus_process(bus_, nullptr);
            if (r < 0) {
                dropBus(r);
                break;
            }
            if (r == 0) {
                break;
            }
        }
    }

    // Subscribers and served objects wait for messages that only a connection brings: after a loss,
    // connect again now and then rather than at the next call, which may never come.
    const bool awaitsConnection = !subscriptions_.empty() || !exports_.empty();
    if (bus_ == nullptr && awaitsConnection &&
        std::chrono::steady_clock::now() - lastReconnect_ >= kReconnectPeriod) {
        ensureBus();
    }
    turn.fds.clear();
    turn.timeoutMs =
        bus_ == nullptr && awaitsConnection
            ? static_cast<int>(
                  std::chrono::duration_cast<std::chrono::milliseconds>(kReconnectPeriod).count())
            : -1;
    if (bus_ != nullptr) {
        int fd = sd_bus_get_fd(bus_);
        int events = sd_bus_get_events(bus_);
        if (fd >= 0 && events >= 0) {
            turn.fds.push_back(pollfd{fd, static_cast<short>(events), 0});
        }
        uint64_t until = 0;
        if (sd_bus_get_timeout(bus_, &until) >= 0 && until != UINT64_MAX) {
            timespec now{};
            clock_gettime(CLOCK_MONOTONIC, &now);
            uint64_t nowUs = static_cast<uint64_t>(now.tv_sec) * 1'000'000ULL +
                             static_cast<uint64_t>(now.tv_nsec) / 1000ULL;
            turn.timeoutMs = until <= nowUs ? 0 : static_cast<int>((until - nowUs + 999) / 1000);
        }
    }
    return true;
}

int DBusConnection::onReply(sd_bus_message* reply, void* userdata, sd_bus_error*) {
    auto* raw = static_cast<PendingCall*>(userdata);
    // Keep the call alive while it is completed, and forget it: nothing else will.
    std::shared_ptr<PendingCall> call;
    auto& pending = raw->owner->pending_;
    auto it = std::find_if(pending.begin(), pending.end(),
                           [raw](const auto& p) { return p.get() == raw; });
    if (it == pending.end()) {
        return 0;
    }
    call = std::move(*it);
    pending.erase(it);

    std::lock_guard lock(call->mutex);
    const sd_bus_error* error = sd_bus_message_get_error(reply);
    if (error != nullptr) {
        call->status = statusFromError(error, -sd_bus_message_get_errno(reply));
    } else if (!call->abandoned && call->read) {
        int r = call->read(reply);
        if (r < 0) {
            call->status.code = r;
            call->status.errorMessage = "unexpected reply";
        }
    }
    call->done = true;
    call->cv.notify_all();
    return 0;
}

CallStatus DBusConnection::callInline(const MethodRef& method, const Writer& write,
                                      const Reader& read, double timeoutSeconds) {
    sd_bus* bus = ensureBus();
    if (bus == nullptr) {
        return CallStatus{openError_, "", ""};
    }
    sd_bus_message* message = nullptr;
    int r = newCall(bus, method, write, &message);
    if (r < 0) {
        return CallStatus{r, "", "could not build the call"};
    }
    // SD_BUS_ERROR_NULL is a C compound literal, which clang -Wpedantic refuses in C++.
    sd_bus_error error{};
    sd_bus_message* reply = nullptr;
    r = sd_bus_call(bus, message, toMicroseconds(timeoutSeconds), &error, &reply);
    sd_bus_message_unref(message);
    CallStatus status;
    if (r < 0) {
        status = statusFromError(&error, r);
    } else if (read) {
        int rr = read(reply);
        if (rr < 0) {
            status.code = rr;
            status.errorMessage = "unexpected reply";
        }
    }
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
    return status;
}

CallStatus DBusConnection::call(const MethodRef& method, const Writer& write, const Reader& read,
                                double timeoutSeconds) {
    if (isCurrent()) {
        return callInline(method, write, read, timeoutSeconds);
    }
    auto call = std::make_shared<PendingCall>();
    call->read = read;
    call->owner = this;
    post([this, call, &method, &write, timeoutSeconds](sd_bus*) {
        auto fail = [&](CallStatus status) {
            std::lock_guard lock(call->mutex);
            call->status = std::move(status);
            call->done = true;
            call->cv.notify_all();
        };
        {
            std::lock_guard lock(call->mutex);
            if (call->abandoned) {
                return;  // `method` and `write` belong to a caller that has returned
            }
        }
        sd_bus* bus = ensureBus();
        if (bus == nullptr) {
            fail(CallStatus{openError_, "", ""});
            return;
        }
        sd_bus_message* message = nullptr;
        int r;
        {
            std::lock_guard lock(call->mutex);
            if (call->abandoned) {
                return;
            }
            r = newCall(bus, method, write, &message);
        }
        if (r < 0) {
            fail(CallStatus{r, "", "could not build the call"});
            return;
        }
        pending_.push_back(call);
        r = sd_bus_call_async(bus, nullptr, message, &DBusConnection::onReply, call.get(),
                              toMicroseconds(timeoutSeconds));
        sd_bus_message_unref(message);
        if (r < 0) {
            std::erase(pending_, call);
            fail(CallStatus{r, "", "could not send the call"});
            return;
        }
    });

    std::unique_lock lock(call->mutex);
    auto limit = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                     std::chrono::duration<double>(timeoutSeconds)) +
                 kCallerSlack;
    if (!call->cv.wait_for(lock, limit, [&] { return call->done; })) {
        call->abandoned = true;
        return CallStatus{-ETIMEDOUT, "", "no reply in time"};
    }
    return call->status;
}

CallStatus DBusConnection::getProperty(const std::string& destination, const std::string& path,
                                       const std::string& interface, const std::string& property,
                                       const char* type, const Reader& read,
                                       double timeoutSeconds) {
    MethodRef method{destination, path, "org.freedesktop.DBus.Properties", "Get"};
    return call(
        method,
        [&](sd_bus_message* m) {
            return sd_bus_message_append(m, "ss", interface.c_str(), property.c_str());
        },
        [&](sd_bus_message* m) {
            int r = sd_bus_message_enter_container(m, 'v', type);
            if (r < 0) {
                return r;
            }
            r = read(m);
            if (r < 0) {
                return r;
            }
            return sd_bus_message_exit_container(m);
        },
        timeoutSeconds);
}

std::optional<std::string> DBusConnection::uniqueName(double timeoutSeconds) {
    auto name = std::make_shared<std::promise<std::optional<std::string>>>();
    auto answer = name->get_future();
    auto ask = [this, name](sd_bus*) {
        const char* unique = nullptr;
        sd_bus* bus = ensureBus();
        if (bus != nullptr && sd_bus_get_unique_name(bus, &unique) >= 0 && unique != nullptr) {
            name->set_value(std::string(unique));
        } else {
            name->set_value(std::nullopt);
        }
    };
    if (isCurrent()) {
        ask(bus_);
    } else {
        post(ask);
    }
    if (answer.wait_for(std::chrono::duration<double>(timeoutSeconds)) !=
        std::future_status::ready) {
        return std::nullopt;
    }
    try {
        return answer.get();
    } catch (const std::future_error&) {
        return std::nullopt;  // the connection was closing and dropped the question
    }
}

std::optional<bool> DBusConnection::nameHasOwner(const std::string& name, double timeoutSeconds) {
    bool has = false;
    MethodRef method{"org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                     "NameHasOwner"};
    CallStatus status = call(
        method, [&](sd_bus_message* m) { return sd_bus_message_append(m, "s", name.c_str()); },
        [&](sd_bus_message* m) { return readBool(m, has); }, timeoutSeconds);
    if (!status.ok()) {
        return std::nullopt;
    }
    return has;
}

int DBusConnection::onSignal(sd_bus_message* message, void* userdata, sd_bus_error*) {
    auto* sub = static_cast<Subscription*>(userdata);
    if (sub->handler) {
        sub->handler(message);
    }
    return 0;
}

int DBusConnection::onMatchInstalled(sd_bus_message* reply, void* userdata, sd_bus_error*) {
    auto* sub = static_cast<Subscription*>(userdata);
    if (auto waiter = std::move(sub->installWaiter)) {
        std::lock_guard lock(waiter->mutex);
        if (sd_bus_message_is_method_error(reply, nullptr)) {
            waiter->status =
                statusFromError(sd_bus_message_get_error(reply), -sd_bus_message_get_errno(reply));
        }
        waiter->done = true;
        waiter->cv.notify_all();
    }
    return 0;
}

void DBusConnection::installMatch(const std::shared_ptr<Subscription>& sub) {
    if (bus_ == nullptr || sub->slot != nullptr) {
        return;
    }
    int r = sd_bus_add_match_async(bus_, &sub->slot, sub->rule.c_str(), &DBusConnection::onSignal,
                                   &DBusConnection::onMatchInstalled, sub.get());
    if (r < 0 && sub->installWaiter) {
        auto waiter = std::move(sub->installWaiter);
        std::lock_guard lock(waiter->mutex);
        waiter->status = CallStatus{r, "", "could not add the match rule"};
        waiter->done = true;
        waiter->cv.notify_all();
    }
}

uint64_t DBusConnection::subscribe(const std::string& matchRule, SignalHandler handler,
                                   double timeoutSeconds) {
    auto sub = std::make_shared<Subscription>();
    sub->rule = matchRule;
    sub->handler = std::move(handler);
    return addSubscription(sub, timeoutSeconds);
}

uint64_t DBusConnection::addSubscription(const std::shared_ptr<Subscription>& sub,
                                         double timeoutSeconds) {
    startThread();  // from now on, messages arrive that nobody asked for
    auto waiter = std::make_shared<PendingCall>();
    sub->installWaiter = waiter;
    uint64_t id = 0;
    {
        std::lock_guard lock(mutex_);
        id = nextSubscription_++;
    }
    sub->id = id;
    post([this, sub, waiter](sd_bus*) {
        subscriptions_[sub->id] = sub;
        if (ensureBus() == nullptr) {
            sub->installWaiter.reset();
            std::lock_guard lock(waiter->mutex);
            waiter->status = CallStatus{openError_, "", ""};
            waiter->done = true;
            waiter->cv.notify_all();
            return;
        }
        installMatch(sub);
    });
    if (isCurrent()) {
        return id;  // installed on this thread's next turn
    }
    std::unique_lock lock(waiter->mutex);
    auto limit = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(timeoutSeconds));
    bool done = waiter->cv.wait_for(lock, limit, [&] { return waiter->done; });
    return done && waiter->status.ok() ? id : 0;
}

uint64_t DBusConnection::watchNameLost(const std::string& name,
                                       std::function<void(const std::string&)> onLost,
                                       double timeoutSeconds) {
    std::string rule = nameOwnerChanged(",arg2=''");
    if (!name.empty()) {
        rule += ",arg0='" + name + "'";
    }
    auto sub = std::make_shared<Subscription>();
    sub->rule = std::move(rule);
    sub->handler = [onLost](sd_bus_message* m) {
        const char *lost = nullptr, *before = nullptr, *after = nullptr;
        if (sd_bus_message_read(m, "sss", &lost, &before, &after) >= 0 && after != nullptr &&
            *after == '\0') {
            onLost(lost);
        }
    };
    if (!name.empty()) {
        sub->onConnectionLost = [onLost, name] { onLost(name); };
    }
    return addSubscription(sub, timeoutSeconds);
}

uint64_t DBusConnection::watchNameOwner(const std::string& name,
                                        std::function<void(bool present)> onChange,
                                        double timeoutSeconds) {
    auto sub = std::make_shared<Subscription>();
    sub->rule = nameOwnerChanged(",arg0='" + name + "'");
    sub->handler = [onChange](sd_bus_message* m) {
        const char *changed = nullptr, *before = nullptr, *after = nullptr;
        if (sd_bus_message_read(m, "sss", &changed, &before, &after) >= 0 && after != nullptr) {
            onChange(*after != '\0');
        }
    };
    sub->onConnectionLost = [onChange] { onChange(false); };
    return addSubscription(sub, timeoutSeconds);
}

void DBusConnection::unsubscribe(uint64_t id) {
    if (id == 0) {
        return;
    }
    // Waits, so that the handler never runs after this returns: owners unsubscribe before
    // they go away.
    runOnThread(
        [this, id] {
            auto it = subscriptions_.find(id);
            if (it != subscriptions_.end()) {
                if (it->second->slot != nullptr) {
                    it->second->slot = sd_bus_slot_unref(it->second->slot);
                }
                subscriptions_.erase(it);
            }
            return CallStatus{};
        },
        -1);
}

CallStatus DBusConnection::runOnThread(std::function<CallStatus()> fn, double timeoutSeconds) {
    if (isCurrent()) {
        return fn();
    }
    auto call = std::make_shared<PendingCall>();
    post([call, fn = std::move(fn)](sd_bus*) {
        {
            std::lock_guard lock(call->mutex);
            if (call->abandoned) {
                return;
            }
        }
        CallStatus status = fn();
        std::lock_guard lock(call->mutex);
        call->status = std::move(status);
        call->done = true;
        call->cv.notify_all();
    });
    std::unique_lock lock(call->mutex);
    auto finished = [&] {
        if (call->done) {
            return true;
        }
        std::lock_guard inner(mutex_);
        return stopping_;  // the thread ends without running what is left
    };
    if (timeoutSeconds < 0) {
        call->cv.wait(lock, finished);
    } else if (!call->cv.wait_for(lock,
                                  std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                      std::chrono::duration<double>(timeoutSeconds)) +
                                      kCallerSlack,
                                  finished)) {
        call->abandoned = true;
        return CallStatus{-ETIMEDOUT, "", "no answer in time"};
    }
    return call->done ? call->status : CallStatus{-ECANCELED, "", "the connection is closing"};
}

CallStatus DBusConnection::open(double timeoutSeconds) {
    return runOnThread(
        [this] {
            return ensureBus() != nullptr ? CallStatus{} : CallStatus{openError_, "", ""};
        },
        timeoutSeconds);
}

namespace {

// "reason id" as sd-bus wants argument names: each one NUL-terminated, back to back.
std::string argumentNames(const char* spaced) {
    std::string names = spaced;
    std::replace(names.begin(), names.end(), ' ', '\0');
    if (!names.empty()) {
        names.push_back('\0');
    }
    return names;
}

}  // namespace

int DBusConnection::installExport(Export& object) {
    if (bus_ == nullptr || object.objectSlot != nullptr) {
        return 0;
    }
    const int r = sd_bus_add_object_vtable(bus_, &object.objectSlot, object.object.path.c_str(),
                                           object.object.interface.c_str(), object.vtable.data(),
                                           object.rows.data());
    if (r < 0) {
        object.releaseSlots();
    }
    return r;
}

uint64_t DBusConnection::exportObject(ExportedObject object, double timeoutSeconds) {
    startThread();
    auto exported = std::make_shared<Export>();
    exported->owner = this;
    exported->object = std::move(object);
    const ExportedObject& rows = exported->object;
    // The vtable and the rows point into these: sized once, never moved.
    exported->names.reserve(rows.methods.size() + rows.emits.size());
    exported->rows.reserve(rows.methods.size() + rows.properties.size());
    exported->vtable.push_back(SD_BUS_VTABLE_START(0));
    auto offsetOfNext = [&] { return exported->rows.size() * sizeof(Row); };
    for (const BusMethod& method : rows.methods) {
        const char* names =
            exported->names.emplace_back(argumentNames(method.argumentNames)).c_str();
        exported->vtable.push_back(SD_BUS_METHOD_WITH_NAMES_OFFSET(
            method.name, method.signature, names, method.result, , &DBusConnection::onMethodCall,
            offsetOfNext(), SD_BUS_VTABLE_UNPRIVILEGED));
        exported->rows.push_back({exported.get(), &method, nullptr});
    }
    for (const BusProperty& property : rows.properties) {
        exported->vtable.push_back(SD_BUS_PROPERTY(property.name, property.type,
                                                   &DBusConnection::onPropertyGet, offsetOfNext(),
                                                   SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE));
        exported->rows.push_back({exported.get(), nullptr, &property});
    }
    for (const BusSignal& signal : rows.emits) {
        const char* names =
            exported->names.emplace_back(argumentNames(signal.argumentNames)).c_str();
        exported->vtable.push_back(
            SD_BUS_SIGNAL_WITH_NAMES(signal.name, signal.signature, names, 0));
    }
    exported->vtable.push_back(SD_BUS_VTABLE_END);
    {
        std::lock_guard lock(mutex_);
        exported->id = nextSubscription_++;
    }
    const CallStatus status = runOnThread(
        [this, exported] {
            if (ensureBus() == nullptr) {
                return CallStatus{openError_, "", ""};
            }
            const int r = installExport(*exported);
            if (r < 0) {
                return CallStatus{r, "", "could not export the object"};
            }
            exports_[exported->id] = exported;
            watchCallers();
            return CallStatus{};
        },
        timeoutSeconds);
    return status.ok() ? exported->id : 0;
}

void DBusConnection::unexport(uint64_t id) {
    if (id == 0) {
        return;
    }
    runOnThread(
        [this, id] {
            auto it = exports_.find(id);
            if (it != exports_.end()) {
                answerKept(id);
                it->second->releaseSlots();
                exports_.erase(it);
            }
            return CallStatus{};
        },
        -1);
}

void DBusConnection::answerKept(uint64_t exportId) {
    for (auto it = kept_.begin(); it != kept_.end();) {
        if (exportId != 0 && it->second.exportId != exportId) {
            ++it;
            continue;
        }
        auto object = exports_.find(it->second.exportId);
        const std::string message =
            object != exports_.end() ? object->second->object.goneMessage : std::string();
        if (bus_ != nullptr) {
            sd_bus_reply_method_errorf(it->second.call, SD_BUS_ERROR_NO_SERVER, "%s",
                                       message.c_str());
        }
        sd_bus_message_unref(it->second.call);
        it = kept_.erase(it);
    }
}

void DBusConnection::watchCallers() {
    if (callerWatch_ != 0) {
        return;
    }
    auto sub = std::make_shared<Subscription>();
    sub->rule = nameOwnerChanged(",arg2=''");  // every name that goes
    sub->handler = [this](sd_bus_message* m) {
        const char* gone = nullptr;
        if (sd_bus_message_read(m, "s", &gone) >= 0 && gone != nullptr) {
            if (auto it = verdicts_.find(std::string_view(gone)); it != verdicts_.end()) {
                verdicts_.erase(it);
            }
        }
    };
    {
        std::lock_guard lock(mutex_);
        sub->id = nextSubscription_++;
    }
    callerWatch_ = sub->id;
    subscriptions_[sub->id] = sub;
    installMatch(sub);
}

bool DBusConnection::admits(Callers callers, const Export& object, sd_bus_message* call,
                            sd_bus_error* error) {
    if (callers == Callers::anyone) {
        return true;
    }
    const char* sender = call != nullptr ? sd_bus_message_get_sender(call) : nullptr;
    bool allowed = false;
    if (sender != nullptr) {
        if (auto it = verdicts_.find(std::string_view(sender)); it != verdicts_.end()) {
            allowed = it->second;
        } else {
            // The bus's word on the caller (its peer credentials), never anything it sent.
            sd_bus_creds* creds = nullptr;
            if (sd_bus_query_sender_creds(call, SD_BUS_CREDS_EUID | SD_BUS_CREDS_AUGMENT, &creds) >=
                0) {
                uid_t euid = 0;
                allowed = sd_bus_creds_get_euid(creds, &euid) >= 0 && euid == uid_;
                sd_bus_creds_unref(creds);
            }
            verdicts_.emplace(sender, allowed);
        }
    }
    if (!allowed) {
        sd_bus_error_setf(error, SD_BUS_ERROR_ACCESS_DENIED, "%s",
                          object.object.deniedMessage.c_str());
    }
    return allowed;
}

int DBusConnection::onMethodCall(sd_bus_message* m, void* userdata, sd_bus_error* error) {
    const auto* row = static_cast<const Row*>(userdata);
    Export& object = *row->object;
    DBusConnection& self = *object.owner;
    if (!self.admits(row->method->callers, object, m, error)) {
        return -EACCES;
    }
    if (!row->method->handler) {
        return -EOPNOTSUPP;
    }
    self.dispatching_ = object.id;
    const int r = row->method->handler(m);
    self.dispatching_ = 0;
    return r < 0 ? r : 1;
}

int DBusConnection::onPropertyGet(sd_bus* bus, const char*, const char*, const char*,
                                  sd_bus_message* reply, void* userdata, sd_bus_error* error) {
    const auto* row = static_cast<const Row*>(userdata);
    Export& object = *row->object;
    // A peer's Get or GetAll is checked; our own PropertiesChanged reads the value too.
    sd_bus_message* call = sd_bus_get_current_message(bus);
    if (call != nullptr &&
        sd_bus_message_is_method_call(call, "org.freedesktop.DBus.Properties", nullptr) > 0 &&
        !object.owner->admits(row->property->callers, object, call, error)) {
        return -EACCES;
    }
    return row->property->get ? row->property->get(reply) : -EOPNOTSUPP;
}

uint64_t DBusConnection::defer(sd_bus_message* call) {
    const uint64_t serial = nextKept_++;
    kept_.emplace(serial, Kept{sd_bus_message_ref(call), dispatching_});
    return serial;
}

int DBusConnection::replyNow(sd_bus_message* call, const Writer& write) {
    sd_bus_message* reply = nullptr;
    int r = sd_bus_message_new_method_return(call, &reply);
    if (r >= 0 && write) {
        r = write(reply);
    }
    if (r >= 0) {
        r = sd_bus_send(nullptr, reply, nullptr);
    }
    sd_bus_message_unref(reply);
    return r < 0 ? r : 1;
}

void DBusConnection::reply(uint64_t serial, Writer write) {
    auto answer = [this, serial, write = std::move(write)](sd_bus*) {
        auto it = kept_.find(serial);
        if (it == kept_.end()) {
            return;  // its object or its connection went, and answered it
        }
        sd_bus_message* call = it->second.call;
        kept_.erase(it);
        if (replyNow(call, write) < 0) {
            sd_bus_reply_method_errorf(call, SD_BUS_ERROR_FAILED, "could not write the answer");
        }
        sd_bus_message_unref(call);
    };
    if (isCurrent()) {
        answer(bus_);
    } else {
        post(std::move(answer));
    }
}

void DBusConnection::replyError(uint64_t serial, std::string name, std::string message) {
    auto answer = [this, serial, name = std::move(name), message = std::move(message)](sd_bus*) {
        auto it = kept_.find(serial);
        if (it == kept_.end()) {
            return;
        }
        sd_bus_reply_method_errorf(it->second.call, name.c_str(), "%s", message.c_str());
        sd_bus_message_unref(it->second.call);
        kept_.erase(it);
    };
    if (isCurrent()) {
        answer(bus_);
    } else {
        post(std::move(answer));
    }
}

CallStatus DBusConnection::requestName(const std::string& name, double timeoutSeconds) {
    return runOnThread(
        [this, name] {
            sd_bus* bus = ensureBus();
            if (bus == nullptr) {
                return CallStatus{openError_, "", ""};
            }
            const int r = sd_bus_request_name(bus, name.c_str(), 0);
            if (r < 0) {
                return CallStatus{r, "", ""};
            }
            names_.push_back(name);
            return CallStatus{};
        },
        timeoutSeconds);
}

void DBusConnection::releaseName(const std::string& name) {
    post([this, name](sd_bus* bus) {
        if (std::erase(names_, name) != 0 && bus != nullptr) {
            sd_bus_release_name_async(bus, nullptr, name.c_str(), nullptr, nullptr);
        }
    });
}

void DBusConnection::emitPropertiesChanged(std::string path, std::string interface,
                                           std::vector<std::string> names) {
    auto emit = [path = std::move(path), interface = std::move(interface),
                 names = std::move(names)](sd_bus* bus) {
        if (bus == nullptr || names.empty()) {
            return;
        }
        std::vector<char*> list;
        for (const auto& name : names) {
            list.push_back(const_cast<char*>(name.c_str()));
        }
        list.push_back(nullptr);
        sd_bus_emit_properties_changed_strv(bus, path.c_str(), interface.c_str(), list.data());
    };
    if (isCurrent()) {
        emit(bus_);
    } else {
        post(std::move(emit));
    }
}

void DBusConnection::emitSignal(MethodRef signal, Writer write) {
    auto emit = [signal = std::move(signal), write = std::move(write)](sd_bus* bus) {
        sd_bus_message* message = nullptr;
        if (bus == nullptr ||
            sd_bus_message_new_signal(bus, &message, signal.path.c_str(), signal.interface.c_str(),
                                      signal.member.c_str()) < 0) {
            return;
        }
        if (!write || write(message) >= 0) {
            sd_bus_send(bus, message, nullptr);
        }
        sd_bus_message_unref(message);
    };
    if (isCurrent()) {
        emit(bus_);
    } else {
        post(std::move(emit));
    }
}

namespace {

std::shared_ptr<DBusConnection> shared(BusKind kind) {
    static std::mutex mutex;
    static std::weak_ptr<DBusConnection> system;
    static std::weak_ptr<DBusConnection> session;
    std::lock_guard lock(mutex);
    auto& slot = kind == BusKind::system ? system : session;
    auto connection = slot.lock();
    if (!connection) {
        connection = std::make_shared<DBusConnection>(kind);
        slot = connection;
    }
    return connection;
}

}  // namespace

std::shared_ptr<DBusConnection> systemBus() {
    return shared(BusKind::system);
}
std::shared_ptr<DBusConnection> sessionBus() {
    return shared(BusKind::session);
}

int readBool(sd_bus_message* m, bool& out) {
    int value = 0;
    int r = sd_bus_message_read(m, "b", &value);
    if (r >= 0) {
        out = value != 0;
    }
    return r;
}

int readString(sd_bus_message* m, std::string& out) {
    const char* text = nullptr;
    const int r = sd_bus_message_read(m, "s", &text);
    if (r >= 0) {
        out = text;
    }
    return r;
}

int readPropertyDictionary(sd_bus_message* m,
                           const std::function<int(const std::string&, sd_bus_message*)>& onEntry) {
    int r = sd_bus_message_enter_container(m, 'a', "{sv}");
    if (r < 0) {
        return r;
    }
    while ((r = sd_bus_message_enter_container(m, 'e', "sv")) > 0) {
        const char* name = nullptr;
        r = sd_bus_message_read(m, "s", &name);
        if (r < 0) {
            return r;
        }
        r = onEntry(name, m);
        if (r < 0) {
            return r;
        }
        r = sd_bus_message_exit_container(m);
        if (r < 0) {
            return r;
        }
    }
    if (r < 0) {
        return r;
    }
    return sd_bus_message_exit_container(m);
}

}  // namespace noctave::linuxos

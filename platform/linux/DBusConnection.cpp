#include "platform/linux/DBusConnection.hpp"

#include <time.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <future>

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

DBusConnection::DBusConnection(BusKind kind, std::string address)
    : kind_(kind), address_(std::move(address)) {
    thread_ =
        std::make_unique<PollThread>([this](PollThread::Turn& turn) { return this->turn(turn); });
}

DBusConnection::~DBusConnection() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    thread_->stop();
    // The thread is gone: what it owned is ours to let go.
    dropBus(-ECANCELED);
}

bool DBusConnection::isCurrent() const {
    return thread_->isCurrent();
}

void DBusConnection::wake() {
    thread_->wake();
}

void DBusConnection::post(std::function<void(sd_bus*)> fn) {
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
    return bus_;
}

void DBusConnection::dropBus(int why) {
    for (auto& [id, sub] : subscriptions_) {
        if (sub->slot != nullptr) {
            sub->slot = sd_bus_slot_unref(sub->slot);
        }
    }
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

    // Subscribers wait for signals that only a connection brings: after a loss, connect
    // again now and then rather than at the next call, which may never come.
    if (bus_ == nullptr && !subscriptions_.empty() &&
        std::chrono::steady_clock::now() - lastReconnect_ >= kReconnectPeriod) {
        ensureBus();
    }
    turn.fds.clear();
    turn.timeoutMs =
        bus_ == nullptr && !subscriptions_.empty()
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
    sd_bus_error error = SD_BUS_ERROR_NULL;
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

void DBusConnection::unsubscribe(uint64_t id) {
    if (id == 0) {
        return;
    }
    auto remove = [this, id](sd_bus*) {
        auto it = subscriptions_.find(id);
        if (it == subscriptions_.end()) {
            return;
        }
        if (it->second->slot != nullptr) {
            it->second->slot = sd_bus_slot_unref(it->second->slot);
        }
        subscriptions_.erase(it);
    };
    if (isCurrent()) {
        remove(bus_);
        return;
    }
    // Wait, so that the handler never runs after this returns: owners unsubscribe before
    // they go away.
    auto done = std::make_shared<PendingCall>();
    post([remove, done](sd_bus* bus) {
        remove(bus);
        std::lock_guard lock(done->mutex);
        done->done = true;
        done->cv.notify_all();
    });
    std::unique_lock lock(done->mutex);
    bool stopping = false;
    done->cv.wait(lock, [&] {
        {
            std::lock_guard inner(mutex_);
            stopping = stopping_;
        }
        return done->done || stopping;
    });
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

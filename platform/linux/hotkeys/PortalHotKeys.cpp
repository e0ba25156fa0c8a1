#include "platform/linux/hotkeys/PortalHotKeys.hpp"

#include <systemd/sd-bus.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <optional>

#include "core/support/Log.hpp"
#include "platform/linux/bus/BusNames.hpp"

namespace noctave::linuxos {

namespace {

constexpr const char* kInterface = "org.freedesktop.portal.GlobalShortcuts";
constexpr const char* kRequestInterface = "org.freedesktop.portal.Request";
constexpr const char* kSessionInterface = "org.freedesktop.portal.Session";

std::string signalRule(const std::string& path, const char* interface, const char* member) {
    return "type='signal',path='" + path + "',interface='" + interface + "',member='" + member +
           "'";
}

// Reads a string or object-path variant; the reader stands on the variant.
std::optional<std::string> readStringVariant(sd_bus_message* message) {
    char type = 0;
    const char* contents = nullptr;
    if (sd_bus_message_peek_type(message, &type, &contents) <= 0 || type != 'v' ||
        contents == nullptr ||
        (std::strcmp(contents, "s") != 0 && std::strcmp(contents, "o") != 0)) {
        sd_bus_message_skip(message, "v");
        return std::nullopt;
    }
    const char* value = nullptr;
    if (sd_bus_message_enter_container(message, 'v', contents) < 0 ||
        sd_bus_message_read_basic(message, contents[0], &value) < 0) {
        return std::nullopt;
    }
    sd_bus_message_exit_container(message);
    return std::string(value);
}

// The ids in an "a(sa{sv})" variant; the reader stands on the variant.
std::vector<std::string> readShortcutIDs(sd_bus_message* message) {
    std::vector<std::string> ids;
    if (sd_bus_message_enter_container(message, 'v', "a(sa{sv})") <= 0) {
        sd_bus_message_skip(message, "v");
        return ids;
    }
    if (sd_bus_message_enter_container(message, 'a', "(sa{sv})") > 0) {
        while (sd_bus_message_enter_container(message, 'r', "sa{sv}") > 0) {
            const char* id = nullptr;
            if (sd_bus_message_read(message, "s", &id) >= 0 && id != nullptr) {
                ids.emplace_back(id);
            }
            sd_bus_message_skip(message, "a{sv}");
            sd_bus_message_exit_container(message);
        }
        sd_bus_message_exit_container(message);
    }
    sd_bus_message_exit_container(message);
    return ids;
}

}  // namespace

// What a Request object answered: its response code and the results we look at. Filled on the
// connection's thread, waited for on the caller's.
struct PortalHotKeys::Response {
    std::mutex mutex;
    std::condition_variable answered;
    bool isDone = false;
    std::uint32_t code = 2;
    std::optional<std::string> sessionHandle;
    std::optional<std::vector<std::string>> shortcutIDs;
    bool isLate = false;  // registration stopped waiting for it

    void take(sd_bus_message* message) {
        std::lock_guard lock(mutex);
        if (isDone || sd_bus_message_read(message, "u", &code) < 0) {
            return;
        }
        isDone = true;
        if (isLate && code != 0) {
            Log::warn("hotkey binding declined by the desktop (response " + std::to_string(code) +
                      ")");
        }
        if (sd_bus_message_enter_container(message, 'a', "{sv}") > 0) {
            while (sd_bus_message_enter_container(message, 'e', "sv") > 0) {
                const char* key = nullptr;
                sd_bus_message_read(message, "s", &key);
                if (key != nullptr && std::strcmp(key, "session_handle") == 0) {
                    sessionHandle = readStringVariant(message);
                } else if (key != nullptr && std::strcmp(key, "shortcuts") == 0) {
                    shortcutIDs = readShortcutIDs(message);
                } else {
                    sd_bus_message_skip(message, "v");
                }
                sd_bus_message_exit_container(message);
            }
            sd_bus_message_exit_container(message);
        }
        answered.notify_all();
    }
};

std::shared_ptr<PortalHotKeys> PortalHotKeys::connect(const std::string& address,
                                                      double replyTimeout, double bindWait) {
    auto bus = address.empty() ? sessionBus()
                               : std::make_shared<DBusConnection>(BusKind::session, address);
    std::shared_ptr<PortalHotKeys> hotKeys(
        new PortalHotKeys(std::move(bus), replyTimeout, bindWait));
    if (!hotKeys->start()) {
        return nullptr;
    }
    return hotKeys;
}

PortalHotKeys::PortalHotKeys(std::shared_ptr<DBusConnection> bus, double replyTimeout,
                             double bindWait)
    : bus_(std::move(bus)), replyTimeout_(replyTimeout), bindWait_(bindWait) {}

bool PortalHotKeys::start() {
    // Outside a sandbox the portal cannot tell which application calls; newer portals let us
    // say so before the first portal call. Older ones do not know the method: no harm.
    bus_->call(
        MethodRef{kPortal, kPortalPath, "org.freedesktop.host.portal.Registry", "Register"},
        [](sd_bus_message* m) {
            return sd_bus_message_append(m, "sa{sv}", "com.quillor.noctave", 0);
        },
        {}, replyTimeout_);
    // The portal exists when its GlobalShortcuts interface answers for its version.
    std::uint32_t version = 0;
    if (!bus_->getProperty(
                 kPortal, kPortalPath, kInterface, "version", "u",
                 [&](sd_bus_message* m) { return sd_bus_message_read(m, "u", &version); },
                 replyTimeout_)
             .ok()) {
        return false;
    }
    const auto unique = bus_->uniqueName(replyTimeout_);
    if (!unique || unique->size() < 2) {
        return false;
    }
    // ":1.42" becomes "1_42" in the portal's request and session paths.
    senderPath_ = unique->substr(1);
    std::replace(senderPath_.begin(), senderPath_.end(), '.', '_');
    activatedSubscription_ = bus_->subscribe(
        signalRule(kPortalPath, kInterface, "Activated"), [this](sd_bus_message* m) {
            const char* session = nullptr;
            const char* shortcut = nullptr;
            if (sd_bus_message_read(m, "os", &session, &shortcut) >= 0 && session != nullptr &&
                shortcut != nullptr) {
                handleActivated(session, shortcut);
            }
        });
    return activatedSubscription_ != 0;
}

PortalHotKeys::~PortalHotKeys() {
    bus_->unsubscribe(activatedSubscription_);
    std::map<HotKeyRef, Binding> bindings;
    {
        std::lock_guard lock(mutex_);
        bindings.swap(bindings_);
    }
    for (auto& [ref, binding] : bindings) {
        release(binding);
    }
}

os::HotKeys::Status PortalHotKeys::installEventHandler(EventHandler handler, HandlerRef* ref) {
    return handlers_.install(std::move(handler), ref);
}

os::HotKeys::Status PortalHotKeys::removeEventHandler(HandlerRef ref) {
    return handlers_.remove(ref);
}

std::string PortalHotKeys::triggerFor(std::uint32_t keyCode, std::uint32_t modifiers) {
    const char letter = letterForKeyCode(keyCode);
    if (letter == 0) {
        return {};
    }
    std::string trigger;
    trigger += (modifiers & kControl) != 0 ? "CTRL+" : "";
    trigger += (modifiers & kOption) != 0 ? "ALT+" : "";
    trigger += (modifiers & kShift) != 0 ? "SHIFT+" : "";
    trigger += (modifiers & kCommand) != 0 ? "LOGO+" : "";
    return trigger + letter;
}

std::string PortalHotKeys::nextToken() {
    std::lock_guard lock(mutex_);
    return "noctave" + std::to_string(nextToken_++);
}

int PortalHotKeys::request(const MethodRef& method, const std::string& token,
                           const DBusConnection::Writer& write,
                           const std::shared_ptr<Response>& response, double wait,
                           std::vector<uint64_t>* pending) {
    // Listen on the request path before calling, so an early answer is not missed.
    const std::string path = std::string(kPortalPath) + "/request/" + senderPath_ + "/" + token;
    auto onResponse = [response](sd_bus_message* m) { response->take(m); };
    std::vector<uint64_t> subscriptions;
    const uint64_t listening =
        bus_->subscribe(signalRule(path, kRequestInterface, "Response"), onResponse, replyTimeout_);
    if (listening == 0) {
        return -EIO;
    }
    subscriptions.push_back(listening);
    auto dropAll = [&] {
        for (uint64_t id : subscriptions) {
            bus_->unsubscribe(id);
        }
    };
    std::string handle;
    const CallStatus status = bus_->call(
        method, write,
        [&](sd_bus_message* m) {
            const char* answer = nullptr;
            int r = sd_bus_message_read(m, "o", &answer);
            if (r >= 0 && answer != nullptr) {
                handle = answer;
            }
            return r;
        },
        replyTimeout_);
    if (!status.ok()) {
        dropAll();
        Log::debug([&] {
            return "hotkey portal " + method.member + " failed (" + status.describe() + ")";
        });
        // A call that got no reply is a failure, not a binding the desktop is still asking about.
        return status.code == -ETIMEDOUT ? -EIO : status.code;
    }
    // Portals older than the handle_token convention answer on a path of their own.
    if (!handle.empty() && handle != path) {
        subscriptions.push_back(
            bus_->subscribe(signalRule(handle, kRequestInterface, "Response"), onResponse));
    }
    {
        std::unique_lock lock(response->mutex);
        const bool done = response->answered.wait_for(lock, std::chrono::duration<double>(wait),
                                                      [&] { return response->isDone; });
        if (!done && pending != nullptr) {
            // Still waiting: the matches stay with the caller to catch the late answer.
            response->isLate = true;
            *pending = subscriptions;
            return -ETIMEDOUT;
        }
        if (done) {
            lock.unlock();
            dropAll();
            return 0;
        }
    }
    dropAll();
    return -ETIMEDOUT;
}

void PortalHotKeys::closeSession(const std::string& session) {
    bus_->call(MethodRef{kPortal, session, kSessionInterface, "Close"}, {}, {}, replyTimeout_);
}

os::HotKeys::Status PortalHotKeys::registerHotKey(std::uint32_t keyCode, std::uint32_t modifiers,
                                                  HotKeyID hotKeyID, std::uint32_t /*options*/,
                                                  HotKeyRef* ref) {
    const std::string trigger = triggerFor(keyCode, modifiers);
    if (ref == nullptr || trigger.empty()) {
        return kParamError;
    }
    std::string session;
    {
        const std::string token = nextToken();
        const std::string sessionToken = nextToken();
        auto response = std::make_shared<Response>();
        const int result = request(
            MethodRef{kPortal, kPortalPath, kInterface, "CreateSession"}, token,
            [&](sd_bus_message* m) {
                return sd_bus_message_append(m, "a{sv}", 2, "handle_token", "s", token.c_str(),
                                             "session_handle_token", "s", sessionToken.c_str());
            },
            response, replyTimeout_, nullptr);
        std::lock_guard lock(response->mutex);
        if (result == 0 && response->code == 0 && response->sessionHandle) {
            session = *response->sessionHandle;
        }
    }
    if (session.empty()) {
        return kServiceFailed;
    }

    char signature[5] = {
        static_cast<char>(hotKeyID.signature >> 24), static_cast<char>(hotKeyID.signature >> 16),
        static_cast<char>(hotKeyID.signature >> 8), static_cast<char>(hotKeyID.signature), 0};
    const std::string shortcutID = std::string(signature) + "-" + std::to_string(hotKeyID.id);
    const std::string token = nextToken();
    auto response = std::make_shared<Response>();
    std::vector<uint64_t> late;
    const int result = request(
        MethodRef{kPortal, kPortalPath, kInterface, "BindShortcuts"}, token,
        [&](sd_bus_message* m) {
            int r = sd_bus_message_append(m, "o", session.c_str());
            if (r >= 0) {
                r = sd_bus_message_open_container(m, 'a', "(sa{sv})");
            }
            if (r >= 0) {
                r = sd_bus_message_open_container(m, 'r', "sa{sv}");
            }
            if (r >= 0) {
                r = sd_bus_message_append(m, "sa{sv}", shortcutID.c_str(), 2, "description", "s",
                                          "Arm or disarm Noctave", "preferred_trigger", "s",
                                          trigger.c_str());
            }
            if (r >= 0) {
                r = sd_bus_message_close_container(m);
            }
            if (r >= 0) {
                r = sd_bus_message_close_container(m);
            }
            if (r >= 0) {
                r = sd_bus_message_append(m, "sa{sv}", "", 1, "handle_token", "s", token.c_str());
            }
            return r;
        },
        response, bindWait_, &late);
    Status status = kServiceFailed;
    if (result == -ETIMEDOUT) {
        // The desktop is most likely asking the user; a refusal is logged when it comes.
        status = kNoError;
    } else if (result >= 0) {
        std::lock_guard lock(response->mutex);
        if (response->code == 0) {
            const bool bound =
                !response->shortcutIDs ||
                std::find(response->shortcutIDs->begin(), response->shortcutIDs->end(),
                          shortcutID) != response->shortcutIDs->end();
            status = bound ? kNoError : kHotKeyExists;
        }
    }
    Binding binding{session, shortcutID, hotKeyID, std::move(late)};
    if (status != kNoError) {
        release(binding);
        return status;
    }
    std::lock_guard lock(mutex_);
    *ref = nextRef_++;
    bindings_.emplace(*ref, std::move(binding));
    return kNoError;
}

os::HotKeys::Status PortalHotKeys::unregisterHotKey(HotKeyRef ref) {
    Binding binding;
    {
        std::lock_guard lock(mutex_);
        const auto found = bindings_.find(ref);
        if (found == bindings_.end()) {
            return kInvalidRef;
        }
        binding = std::move(found->second);
        bindings_.erase(found);
    }
    release(binding);
    return kNoError;
}

void PortalHotKeys::release(Binding& binding) {
    for (uint64_t id : binding.lateSubscriptions) {
        bus_->unsubscribe(id);
    }
    binding.lateSubscriptions.clear();
    closeSession(binding.session);
}

void PortalHotKeys::handleActivated(const std::string& session, const std::string& shortcutID) {
    std::optional<HotKeyID> hotKeyID;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [ref, binding] : bindings_) {
            if (binding.session == session && binding.shortcutID == shortcutID) {
                hotKeyID = binding.hotKeyID;
                break;
            }
        }
    }
    if (hotKeyID) {
        handlers_.dispatch(Event{*hotKeyID});
    }
}

}  // namespace noctave::linuxos

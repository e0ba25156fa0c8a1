#include "platform/linux/hotkeys/PortalHotKeys.hpp"

#include <poll.h>
#include <sys/eventfd.h>
#include <systemd/sd-bus.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <optional>
#include <vector>

#include "core/support/Log.hpp"

namespace noctave::linuxos {

namespace {

constexpr const char* kService = "org.freedesktop.portal.Desktop";
constexpr const char* kObject = "/org/freedesktop/portal/desktop";
constexpr const char* kInterface = "org.freedesktop.portal.GlobalShortcuts";
constexpr const char* kRequestInterface = "org.freedesktop.portal.Request";
constexpr const char* kSessionInterface = "org.freedesktop.portal.Session";

std::uint64_t toMicroseconds(double seconds) {
    return static_cast<std::uint64_t>(std::max(seconds, 0.0) * 1e6);
}

std::uint64_t monotonicMicroseconds() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000000U +
           static_cast<std::uint64_t>(now.tv_nsec) / 1000U;
}

struct MessageRef {
    sd_bus_message* message = nullptr;
    ~MessageRef() { sd_bus_message_unref(message); }
};

struct ErrorRef {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    ~ErrorRef() { sd_bus_error_free(&error); }
};

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

// What a Request object answered: its response code and the results we look at.
struct PortalHotKeys::Response {
    bool isDone = false;
    std::uint32_t code = 2;
    std::optional<std::string> sessionHandle;
    std::optional<std::vector<std::string>> shortcutIDs;
    bool isLate = false;  // registration stopped waiting for it
};

struct PortalCallbacks {
    static int onResponse(sd_bus_message* message, void* userdata, sd_bus_error* /*error*/) {
        auto* response = static_cast<PortalHotKeys::Response*>(userdata);
        if (response->isDone || sd_bus_message_read(message, "u", &response->code) < 0) {
            return 0;
        }
        response->isDone = true;
        if (response->isLate && response->code != 0) {
            Log::warn("hotkey binding declined by the desktop (response " +
                      std::to_string(response->code) + ")");
        }
        if (sd_bus_message_enter_container(message, 'a', "{sv}") > 0) {
            while (sd_bus_message_enter_container(message, 'e', "sv") > 0) {
                const char* key = nullptr;
                sd_bus_message_read(message, "s", &key);
                if (key != nullptr && std::strcmp(key, "session_handle") == 0) {
                    response->sessionHandle = readStringVariant(message);
                } else if (key != nullptr && std::strcmp(key, "shortcuts") == 0) {
                    response->shortcutIDs = readShortcutIDs(message);
                } else {
                    sd_bus_message_skip(message, "v");
                }
                sd_bus_message_exit_container(message);
            }
            sd_bus_message_exit_container(message);
        }
        return 0;
    }

    static int onActivated(sd_bus_message* message, void* userdata, sd_bus_error* /*error*/) {
        const char* session = nullptr;
        const char* shortcut = nullptr;
        if (sd_bus_message_read(message, "os", &session, &shortcut) >= 0 && session != nullptr &&
            shortcut != nullptr) {
            static_cast<PortalHotKeys*>(userdata)->handleActivated(session, shortcut);
        }
        return 0;
    }
};

std::shared_ptr<PortalHotKeys> PortalHotKeys::connect(const std::string& address,
                                                      double replyTimeout, double bindWait) {
    sd_bus* bus = nullptr;
    int result = 0;
    if (address.empty()) {
        result = sd_bus_open_user(&bus);
    } else if ((result = sd_bus_new(&bus)) >= 0) {
        sd_bus_set_address(bus, address.c_str());
        sd_bus_set_bus_client(bus, 1);
        result = sd_bus_start(bus);
    }
    if (result < 0) {
        sd_bus_unref(bus);
        return nullptr;
    }
    sd_bus_set_method_call_timeout(bus, toMicroseconds(replyTimeout));
    std::shared_ptr<PortalHotKeys> hotKeys(new PortalHotKeys(bus, replyTimeout, bindWait));
    if (!hotKeys->start()) {
        return nullptr;
    }
    return hotKeys;
}

PortalHotKeys::PortalHotKeys(sd_bus* bus, double replyTimeout, double bindWait)
    : bus_(bus), replyTimeout_(replyTimeout), bindWait_(bindWait) {}

bool PortalHotKeys::start() {
    // Outside a sandbox the portal cannot tell which application calls; newer portals let us
    // say so before the first portal call. Older ones do not know the method: no harm.
    {
        ErrorRef ignored;
        sd_bus_call_method(bus_, kService, kObject, "org.freedesktop.host.portal.Registry",
                           "Register", &ignored.error, nullptr, "sa{sv}", "com.quillor.noctave", 0);
    }
    // The portal exists when its GlobalShortcuts interface answers for its version.
    ErrorRef error;
    std::uint32_t version = 0;
    if (sd_bus_get_property_trivial(bus_, kService, kObject, kInterface, "version", &error.error,
                                    'u', &version) < 0) {
        return false;
    }
    const char* unique = nullptr;
    if (sd_bus_get_unique_name(bus_, &unique) < 0 || unique == nullptr) {
        return false;
    }
    // ":1.42" becomes "1_42" in the portal's request and session paths.
    senderPath_ = unique + 1;
    std::replace(senderPath_.begin(), senderPath_.end(), '.', '_');
    if (sd_bus_match_signal(bus_, &activatedSlot_, nullptr, kObject, kInterface, "Activated",
                            &PortalCallbacks::onActivated, this) < 0) {
        return false;
    }
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd_ < 0) {
        return false;
    }
    thread_ = std::thread([this] { run(); });
    return true;
}

PortalHotKeys::~PortalHotKeys() {
    if (thread_.joinable()) {
        stopping_ = true;
        wake();
        thread_.join();
    }
    {
        std::lock_guard lock(busMutex_);
        for (auto& [ref, binding] : bindings_) {
            release(binding);
        }
        bindings_.clear();
        sd_bus_slot_unref(activatedSlot_);
    }
    sd_bus_flush_close_unref(bus_);
    if (wakeFd_ >= 0) {
        ::close(wakeFd_);
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
    return "noctave" + std::to_string(nextToken_++);
}

int PortalHotKeys::request(const std::string& method, const std::string& token,
                           sd_bus_message* call, Response& response, double wait,
                           sd_bus_slot** pending) {
    // Listen on the request path before calling, so an early answer is not missed.
    const std::string path = std::string(kObject) + "/request/" + senderPath_ + "/" + token;
    sd_bus_slot* slot = nullptr;
    int result = sd_bus_match_signal(bus_, &slot, nullptr, path.c_str(), kRequestInterface,
                                     "Response", &PortalCallbacks::onResponse, &response);
    if (result < 0) {
        return result;
    }
    ErrorRef error;
    MessageRef reply;
    result = sd_bus_call(bus_, call, toMicroseconds(replyTimeout_), &error.error, &reply.message);
    if (result < 0) {
        sd_bus_slot_unref(slot);
        Log::debug([&] {
            return "hotkey portal " + method + " failed (" +
                   std::string(error.error.message ? error.error.message : std::strerror(-result)) +
                   ")";
        });
        return result;
    }
    const char* handle = nullptr;
    sd_bus_slot* movedSlot = nullptr;
    // Portals older than the handle_token convention answer on a path of their own.
    if (sd_bus_message_read(reply.message, "o", &handle) >= 0 && handle != nullptr &&
        path != handle) {
        sd_bus_match_signal(bus_, &movedSlot, nullptr, handle, kRequestInterface, "Response",
                            &PortalCallbacks::onResponse, &response);
    }
    const std::uint64_t deadline = monotonicMicroseconds() + toMicroseconds(wait);
    while (!response.isDone) {
        const int processed = sd_bus_process(bus_, nullptr);
        if (processed < 0) {
            break;
        }
        if (processed > 0) {
            continue;
        }
        const std::uint64_t now = monotonicMicroseconds();
        if (now >= deadline) {
            break;
        }
        sd_bus_wait(bus_, deadline - now);
    }
    if (response.isDone || pending == nullptr) {
        sd_bus_slot_unref(slot);
        sd_bus_slot_unref(movedSlot);
        return response.isDone ? 0 : -ETIMEDOUT;
    }
    // Still waiting: the match stays with the caller to catch the late answer.
    if (movedSlot != nullptr) {
        sd_bus_slot_unref(slot);
        slot = movedSlot;
    }
    response.isLate = true;
    *pending = slot;
    return -ETIMEDOUT;
}

void PortalHotKeys::closeSession(const std::string& session) {
    sd_bus_call_method_async(bus_, nullptr, kService, session.c_str(), kSessionInterface, "Close",
                             nullptr, nullptr, "");
    sd_bus_flush(bus_);
}

os::HotKeys::Status PortalHotKeys::registerHotKey(std::uint32_t keyCode, std::uint32_t modifiers,
                                                  HotKeyID hotKeyID, std::uint32_t /*options*/,
                                                  HotKeyRef* ref) {
    const std::string trigger = triggerFor(keyCode, modifiers);
    if (ref == nullptr || trigger.empty()) {
        return kParamError;
    }
    std::lock_guard lock(busMutex_);
    Status status = kServiceFailed;
    std::string session;
    {
        const std::string token = nextToken();
        const std::string sessionToken = nextToken();
        MessageRef call;
        auto response = std::make_shared<Response>();
        if (sd_bus_message_new_method_call(bus_, &call.message, kService, kObject, kInterface,
                                           "CreateSession") >= 0 &&
            sd_bus_message_append(call.message, "a{sv}", 2, "handle_token", "s", token.c_str(),
                                  "session_handle_token", "s", sessionToken.c_str()) >= 0 &&
            request("CreateSession", token, call.message, *response, replyTimeout_, nullptr) == 0 &&
            response->code == 0 && response->sessionHandle) {
            session = *response->sessionHandle;
        }
    }
    if (session.empty()) {
        wake();
        return status;
    }

    char signature[5] = {
        static_cast<char>(hotKeyID.signature >> 24), static_cast<char>(hotKeyID.signature >> 16),
        static_cast<char>(hotKeyID.signature >> 8), static_cast<char>(hotKeyID.signature), 0};
    const std::string shortcutID = std::string(signature) + "-" + std::to_string(hotKeyID.id);
    const std::string token = nextToken();
    MessageRef call;
    auto response = std::make_shared<Response>();
    sd_bus_slot* lateSlot = nullptr;
    int result = sd_bus_message_new_method_call(bus_, &call.message, kService, kObject, kInterface,
                                                "BindShortcuts");
    if (result >= 0) {
        result = sd_bus_message_append(call.message, "o", session.c_str());
    }
    if (result >= 0) {
        result = sd_bus_message_open_container(call.message, 'a', "(sa{sv})");
    }
    if (result >= 0) {
        result = sd_bus_message_open_container(call.message, 'r', "sa{sv}");
    }
    if (result >= 0) {
        result = sd_bus_message_append(call.message, "sa{sv}", shortcutID.c_str(), 2, "description",
                                       "s", "Arm or disarm Noctave", "preferred_trigger", "s",
                                       trigger.c_str());
    }
    if (result >= 0) {
        result = sd_bus_message_close_container(call.message);
    }
    if (result >= 0) {
        result = sd_bus_message_close_container(call.message);
    }
    if (result >= 0) {
        result = sd_bus_message_append(call.message, "sa{sv}", "", 1, "handle_token", "s",
                                       token.c_str());
    }
    if (result >= 0) {
        result = request("BindShortcuts", token, call.message, *response, bindWait_, &lateSlot);
    }
    if (result == -ETIMEDOUT) {
        // The desktop is most likely asking the user; a refusal is logged when it comes.
        status = kNoError;
    } else if (result >= 0 && response->code == 0) {
        const bool bound = !response->shortcutIDs ||
                           std::find(response->shortcutIDs->begin(), response->shortcutIDs->end(),
                                     shortcutID) != response->shortcutIDs->end();
        status = bound ? kNoError : kHotKeyExists;
    }
    if (status != kNoError) {
        sd_bus_slot_unref(lateSlot);
        closeSession(session);
        wake();
        return status;
    }
    *ref = nextRef_++;
    bindings_.emplace(*ref, Binding{session, shortcutID, hotKeyID,
                                    lateSlot != nullptr ? response : nullptr, lateSlot});
    wake();
    return kNoError;
}

os::HotKeys::Status PortalHotKeys::unregisterHotKey(HotKeyRef ref) {
    std::lock_guard lock(busMutex_);
    const auto found = bindings_.find(ref);
    if (found == bindings_.end()) {
        return kInvalidRef;
    }
    release(found->second);
    bindings_.erase(found);
    wake();
    return kNoError;
}

void PortalHotKeys::release(Binding& binding) {
    sd_bus_slot_unref(binding.lateSlot);
    binding.lateSlot = nullptr;
    closeSession(binding.session);
}

void PortalHotKeys::handleActivated(const std::string& session, const std::string& shortcutID) {
    // Runs inside sd_bus_process, with busMutex_ held by whoever processes.
    for (const auto& [ref, binding] : bindings_) {
        if (binding.session == session && binding.shortcutID == shortcutID) {
            handlers_.dispatch(Event{binding.hotKeyID});
            return;
        }
    }
}

void PortalHotKeys::wake() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(wakeFd_, &one, sizeof one);
}

void PortalHotKeys::run() {
    while (!stopping_) {
        std::array<pollfd, 2> fds{pollfd{-1, 0, 0}, pollfd{wakeFd_, POLLIN, 0}};
        int timeoutMs = -1;
        {
            std::lock_guard lock(busMutex_);
            int processed = 0;
            while ((processed = sd_bus_process(bus_, nullptr)) > 0) {
            }
            if (processed < 0) {
                Log::warn("hotkey portal connection lost");
                return;
            }
            fds[0].fd = sd_bus_get_fd(bus_);
            fds[0].events = static_cast<short>(sd_bus_get_events(bus_));
            std::uint64_t until = 0;
            if (sd_bus_get_timeout(bus_, &until) >= 0 && until != UINT64_MAX) {
                const std::uint64_t now = monotonicMicroseconds();
                timeoutMs = until <= now ? 0 : static_cast<int>((until - now + 999) / 1000);
            }
        }
        if (::poll(fds.data(), fds.size(), timeoutMs) < 0 && errno != EINTR) {
            return;
        }
        if ((fds[1].revents & POLLIN) != 0) {
            std::uint64_t count = 0;
            [[maybe_unused]] const auto read = ::read(wakeFd_, &count, sizeof count);
        }
    }
}

}  // namespace noctave::linuxos

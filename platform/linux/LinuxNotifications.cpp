#include "platform/linux/LinuxNotifications.hpp"

#include "core/runtime/Runtime.hpp"
#include "core/support/Log.hpp"

namespace noctave::linuxos {

namespace {

constexpr const char* kService = "org.freedesktop.Notifications";
constexpr const char* kPath = "/org/freedesktop/Notifications";
constexpr const char* kIcon = "com.quillor.noctave";
constexpr int32_t kServerDefaultTimeout = -1;
constexpr double kTimeoutSeconds = 5.0;

void notify(DBusConnection& bus, const std::string& title, const std::string& body) {
    const MethodRef method{kService, kPath, kService, "Notify"};
    const CallStatus status = bus.call(
        method,
        [&](sd_bus_message* m) {
            int r = sd_bus_message_append(m, "susss", "Noctave", uint32_t{0}, kIcon, title.c_str(),
                                          body.c_str());
            if (r >= 0) {
                r = sd_bus_message_append(m, "as", 0);
            }
            if (r >= 0) {
                // Urgency "critical": a safety notice stays until it is read.
                r = sd_bus_message_append(m, "a{sv}", 1, "urgency", "y", uint8_t{2});
            }
            return r >= 0 ? sd_bus_message_append(m, "i", kServerDefaultTimeout) : r;
        },
        {}, kTimeoutSeconds);
    if (!status.ok()) {
        Log::info("desktop notification not posted (" + status.describe() + ")");
    }
}

}  // namespace

LinuxNotifications::LinuxNotifications(std::shared_ptr<DBusConnection> sessionBus)
    : bus_(std::move(sessionBus)) {}

void LinuxNotifications::post(const std::string& title, const std::string& body) {
    if (!bus_) {
        return;
    }
    std::shared_ptr<runtime::Queue> queue;
    {
        std::lock_guard lock(mutex_);
        if (!queue_ && runtime::isInstalled()) {
            queue_ = runtime::current().makeSerialQueue("noctave.notifications",
                                                        runtime::QoS::background);
        }
        queue = queue_;
    }
    if (!queue) {
        notify(*bus_, title, body);
        return;
    }
    queue->async([bus = bus_, title, body] { notify(*bus, title, body); });
}

}  // namespace noctave::linuxos

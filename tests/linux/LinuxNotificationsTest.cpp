// Desktop notifications on a private session bus: a notification server served from the bus
// layer receives what the adapter posts; with none there, the post is dropped and logged.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "platform/linux/LinuxNotifications.hpp"
#include "tests/support/BusDaemon.hpp"
#include "tests/support/LogCapture.hpp"
#include "tests/support/Mailbox.hpp"

namespace noctave::linuxos {
namespace {

constexpr const char* kService = "org.freedesktop.Notifications";
constexpr double kTimeout = 5.0;

struct Received {
    std::string app, icon, summary, body;
    int urgency = -1;
    int32_t timeout = 0;
};

class LinuxNotificationsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!test::hasProgram("dbus-daemon")) {
            GTEST_SKIP() << "dbus-daemon is not installed";
        }
        daemon.emplace("session");
        ASSERT_FALSE(daemon->address().empty()) << "dbus-daemon did not start";
        client = std::make_shared<DBusConnection>(BusKind::session, daemon->address());
    }

    // A notification server that keeps what it is sent.
    void serve() {
        server = std::make_unique<DBusConnection>(BusKind::session, daemon->address());
        ExportedObject object;
        object.path = "/org/freedesktop/Notifications";
        object.interface = kService;
        auto notify = [this](sd_bus_message* call) {
            Received got;
            const char *app = nullptr, *icon = nullptr, *summary = nullptr, *body = nullptr;
            uint32_t replaces = 0;
            int r = sd_bus_message_read(call, "susss", &app, &replaces, &icon, &summary, &body);
            if (r >= 0) {
                got = {app, icon, summary, body};
                r = sd_bus_message_skip(call, "as");
            }
            if (r >= 0) {
                r = readPropertyDictionary(call, [&got](const std::string& key, sd_bus_message* m) {
                    uint8_t urgency = 0;
                    if (key != "urgency") {
                        return sd_bus_message_skip(m, "v");
                    }
                    const int read = sd_bus_message_read(m, "v", "y", &urgency);
                    got.urgency = urgency;
                    return read;
                });
            }
            if (r >= 0) {
                r = sd_bus_message_read(call, "i", &got.timeout);
            }
            if (r < 0) {
                return r;
            }
            received.put(got);
            return DBusConnection::replyNow(
                call, [](sd_bus_message* m) { return sd_bus_message_append(m, "u", 7u); });
        };
        object.methods = {{"Notify", "susssasa{sv}i", "u",
                           "app_name replaces_id app_icon summary body actions hints "
                           "expire_timeout id",
                           notify}};
        ASSERT_NE(server->exportObject(std::move(object), kTimeout), 0U);
        ASSERT_TRUE(server->requestName(kService, kTimeout).ok());
    }

    test::Mailbox<Received> received;  // what the server was sent; outlives the server
    std::optional<test::BusDaemon> daemon;
    std::shared_ptr<DBusConnection> client;
    std::unique_ptr<DBusConnection> server;
};

TEST_F(LinuxNotificationsTest, ANoticeReachesTheServerAsACriticalNotificationFromNoctave) {
    serve();
    LinuxNotifications notifications(client);
    notifications.post("Noctave disarmed", "Battery dropped to 20%.");
    const auto got = received.take();
    ASSERT_TRUE(got);
    EXPECT_EQ(got->app, "Noctave");
    EXPECT_EQ(got->icon, "com.quillor.noctave");
    EXPECT_EQ(got->summary, "Noctave disarmed");
    EXPECT_EQ(got->body, "Battery dropped to 20%.");
    EXPECT_EQ(got->urgency, 2);
    EXPECT_EQ(got->timeout, -1);
}

TEST_F(LinuxNotificationsTest, WithoutANotificationServerThePostIsDroppedAndLogged) {
    test::LogCapture log;
    LinuxNotifications notifications(client);
    notifications.post("Noctave disarmed", "Battery dropped to 20%.");
    ASSERT_EQ(log.messages().size(), 1U);
    EXPECT_EQ(log.messages()[0].rfind("desktop notification not posted (", 0), 0U)
        << log.messages()[0];
}

}  // namespace
}  // namespace noctave::linuxos

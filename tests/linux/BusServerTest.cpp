// The bus layer's server half between two connections on a private bus: an object served
// from its table, answers kept and given later from another thread, the caller check, a
// well-known name and the peers watching it.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/bus/DBusConnection.hpp"
#include "tests/support/BusDaemon.hpp"
#include "tests/support/Mailbox.hpp"

namespace noctave::linuxos {
namespace {

constexpr const char* kName = "org.example.Served";
constexpr const char* kPath = "/org/example/Served";
constexpr const char* kInterface = "org.example.Served1";
constexpr double kTimeout = 5.0;

using test::Mailbox;

class BusServerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!test::hasProgram("dbus-daemon")) {
            GTEST_SKIP() << "dbus-daemon is not installed";
        }
        daemon.emplace("session");
        ASSERT_FALSE(address().empty()) << "dbus-daemon did not start";
        server = std::make_unique<DBusConnection>(BusKind::session, address());
        client = std::make_unique<DBusConnection>(BusKind::session, address());
    }

    // Echo (s -> s) answers at once; Later (u -> u) is kept and its serial handed to the test;
    // Count (u) is a property; Ping (s) a signal. Callers named in `refused` are turned away.
    ExportedObject served() {
        ExportedObject object;
        object.path = kPath;
        object.interface = kInterface;
        object.members = {{BusMember::Kind::method, "Echo", "s", "s", "text echo"},
                          {BusMember::Kind::method, "Later", "u", "u", "value value"},
                          {BusMember::Kind::property, "Count", "u"},
                          {BusMember::Kind::signal, "Ping", "s", "", "text"}};
        object.onMethod = [this](sd_bus_message* call) {
            if (sd_bus_message_is_method_call(call, kInterface, "Echo") > 0) {
                const char* text = nullptr;
                const int r = sd_bus_message_read(call, "s", &text);
                const std::string echoed = r >= 0 ? text : "";
                return r < 0 ? r : DBusConnection::replyNow(call, [&](sd_bus_message* m) {
                    return sd_bus_message_append(m, "s", echoed.c_str());
                });
            }
            uint32_t value = 0;
            const int r = sd_bus_message_read(call, "u", &value);
            if (r >= 0) {
                kept.put({server->defer(call), value});
            }
            return r;
        };
        object.onGetProperty = [this](const char*, sd_bus_message* reply) {
            return sd_bus_message_append(reply, "u", count.load());
        };
        object.isAllowed = [this](sd_bus_message* call) {
            std::lock_guard lock(refusedMutex);
            return refused != sd_bus_message_get_sender(call);
        };
        object.deniedMessage = "not you";
        object.goneMessage = "served no more";
        return object;
    }

    CallStatus callLater(DBusConnection& from, uint32_t value, uint32_t* answer) {
        return from.call(
            {kName, kPath, kInterface, "Later"},
            [value](sd_bus_message* m) { return sd_bus_message_append(m, "u", value); },
            [answer](sd_bus_message* m) { return sd_bus_message_read(m, "u", answer); }, kTimeout);
    }

    const std::string& address() const { return daemon->address(); }

    // What the connections' handlers write to goes before them, so it outlives them.
    Mailbox<std::pair<uint64_t, uint32_t>> kept;
    Mailbox<std::string> seen;
    Mailbox<std::string> lost;
    Mailbox<std::string> anyLost;
    std::atomic<uint32_t> count{7};
    std::mutex refusedMutex;
    std::string refused;
    std::optional<test::BusDaemon> daemon;
    std::unique_ptr<DBusConnection> server;
    std::unique_ptr<DBusConnection> client;
};

TEST_F(BusServerTest, AnObjectIsServedFromItsTableAndKeptCallsAreAnsweredLaterFromAnyThread) {
    ASSERT_NE(server->exportObject(served()), 0u);
    ASSERT_TRUE(server->requestName(kName, kTimeout).ok());

    std::string echoed;
    EXPECT_TRUE(client
                    ->call(
                        {kName, kPath, kInterface, "Echo"},
                        [](sd_bus_message* m) { return sd_bus_message_append(m, "s", "hi"); },
                        [&](sd_bus_message* m) {
                            const char* text = nullptr;
                            const int r = sd_bus_message_read(m, "s", &text);
                            echoed = r >= 0 ? text : "";
                            return r;
                        },
                        kTimeout)
                    .ok());
    EXPECT_EQ(echoed, "hi");

    // Two calls kept at once, answered out of order from the test's thread.
    uint32_t first = 0, second = 0;
    auto one = std::async(std::launch::async, [&] { return callLater(*client, 1, &first); });
    auto two = std::async(std::launch::async, [&] { return callLater(*client, 2, &second); });
    auto a = kept.take();
    auto b = kept.take();
    ASSERT_TRUE(a && b);
    server->replyError(a->second == 1 ? a->first : b->first, "org.example.Error.No", "refused");
    const uint64_t answered = a->second == 2 ? a->first : b->first;
    server->reply(answered, [](sd_bus_message* m) { return sd_bus_message_append(m, "u", 20u); });
    // A serial answers once: the second answer finds nothing to answer.
    server->reply(answered, [](sd_bus_message* m) { return sd_bus_message_append(m, "u", 99u); });
    const CallStatus refusedCall = one.get();
    EXPECT_EQ(refusedCall.errorName, "org.example.Error.No");
    EXPECT_EQ(refusedCall.errorMessage, "refused");
    EXPECT_TRUE(two.get().ok());
    EXPECT_EQ(second, 20u);

    uint32_t value = 0;
    EXPECT_TRUE(client
                    ->getProperty(
                        kName, kPath, kInterface, "Count", "u",
                        [&](sd_bus_message* m) { return sd_bus_message_read(m, "u", &value); },
                        kTimeout)
                    .ok());
    EXPECT_EQ(value, 7u);

    // PropertiesChanged carries the values the getter gives; a signal its arguments.
    ASSERT_NE(client->subscribe(std::string("type='signal',path='") + kPath + "'",
                                [&](sd_bus_message* m) {
                                    const char* member = sd_bus_message_get_member(m);
                                    const char* text = "";
                                    if (std::string(member) == "PropertiesChanged") {
                                        sd_bus_message_skip(m, "s");
                                        readPropertyDictionary(
                                            m, [&](const std::string& name, sd_bus_message* v) {
                                                uint32_t changed = 0;
                                                const int r =
                                                    sd_bus_message_read(v, "v", "u", &changed);
                                                seen.put(name + "=" + std::to_string(changed));
                                                return r;
                                            });
                                    } else {
                                        sd_bus_message_read(m, "s", &text);
                                        seen.put(std::string(member) + "=" + text);
                                    }
                                }),
              0u);
    count = 8;
    server->emitPropertiesChanged(kPath, kInterface, {"Count"});
    server->emitSignal({"", kPath, kInterface, "Ping"},
                       [](sd_bus_message* m) { return sd_bus_message_append(m, "s", "pong"); });
    EXPECT_EQ(seen.take(), "Count=8");
    EXPECT_EQ(seen.take(), "Ping=pong");
}

TEST_F(BusServerTest, ARefusedCallerIsDeniedBeforeAnyMethodRunsAndOthersAreStillServed) {
    ASSERT_NE(server->exportObject(served()), 0u);
    ASSERT_TRUE(server->requestName(kName, kTimeout).ok());
    {
        std::lock_guard lock(refusedMutex);
        refused = client->uniqueName(kTimeout).value_or("");
    }
    uint32_t answer = 0;
    const CallStatus denied = callLater(*client, 1, &answer);
    EXPECT_EQ(denied.errorName, "org.freedesktop.DBus.Error.AccessDenied");
    EXPECT_EQ(denied.errorMessage, "not you");
    // Properties are behind the same check.
    EXPECT_FALSE(client
                     ->getProperty(
                         kName, kPath, kInterface, "Count", "u",
                         [&](sd_bus_message* m) { return sd_bus_message_read(m, "u", &answer); },
                         kTimeout)
                     .ok());

    DBusConnection other(BusKind::session, address());
    auto call = std::async(std::launch::async, [&] { return callLater(other, 3, &answer); });
    auto serial = kept.take();
    ASSERT_TRUE(serial);
    EXPECT_EQ(serial->second, 3u) << "only the allowed caller's call reached the object";
    server->reply(serial->first,
                  [](sd_bus_message* m) { return sd_bus_message_append(m, "u", 4u); });
    EXPECT_TRUE(call.get().ok());
}

TEST_F(BusServerTest, ANameHasOneOwnerAndItsWatchersLearnWhenItGoesWithItsKeptCallsAnswered) {
    const uint64_t id = server->exportObject(served());
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(server->requestName(kName, kTimeout).ok());
    DBusConnection rival(BusKind::session, address());
    EXPECT_EQ(rival.requestName(kName, kTimeout).code, -EEXIST);

    ASSERT_NE(client->watchNameLost(kName, [&](const std::string& name) { lost.put(name); }), 0u);
    ASSERT_NE(client->watchNameLost("", [&](const std::string& name) { anyLost.put(name); }), 0u);

    // Withdrawn, the object answers what it kept rather than leaving the caller to time out.
    uint32_t answer = 0;
    auto call = std::async(std::launch::async, [&] { return callLater(*client, 5, &answer); });
    ASSERT_TRUE(kept.take());
    server->unexport(id);
    const CallStatus gone = call.get();
    EXPECT_EQ(gone.errorName, "org.freedesktop.DBus.Error.NoServer");
    EXPECT_EQ(gone.errorMessage, "served no more");
    EXPECT_EQ(client->call({kName, kPath, kInterface, "Echo"}, {}, {}, kTimeout).errorName,
              "org.freedesktop.DBus.Error.UnknownObject");

    const std::string serverName = server->uniqueName(kTimeout).value_or("?");
    server.reset();
    EXPECT_EQ(lost.take(), kName);
    // The catch-all watch sees both of the names the connection had, in either order.
    auto first = anyLost.take();
    auto second = anyLost.take();
    ASSERT_TRUE(first && second);
    EXPECT_TRUE((*first == kName && *second == serverName) ||
                (*first == serverName && *second == kName));
    EXPECT_TRUE(rival.requestName(kName, kTimeout).ok()) << "the name is free again";
}

TEST_F(BusServerTest,
       AConnectionItsCreatorDrivesCallsInlineUntilItWatchesAndAWatchedPeerGoesWithTheBus) {
    ASSERT_NE(server->exportObject(served()), 0u);
    ASSERT_TRUE(server->requestName(kName, kTimeout).ok());
    auto oneShot = std::make_unique<DBusConnection>(BusKind::session, address(),
                                                    BusThread::creatorUntilWatched);
    EXPECT_TRUE(oneShot->isCurrent());
    EXPECT_EQ(oneShot->nameHasOwner(kName, kTimeout), true);

    ASSERT_NE(oneShot->watchNameLost(kName, [&](const std::string& name) { lost.put(name); }), 0u);
    EXPECT_FALSE(oneShot->isCurrent()) << "a watch needs a thread to deliver it";
    EXPECT_EQ(oneShot->nameHasOwner(kName, kTimeout), true);

    // The bus itself going ends every owner as far as the watcher can know.
    daemon.reset();
    EXPECT_EQ(lost.take(), kName);
}

}  // namespace
}  // namespace noctave::linuxos

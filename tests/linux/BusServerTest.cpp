// The bus layer's server half between two connections on a private bus: an object served
// from its rows, answers kept and given later from another thread, the caller check against
// a real process of another user, a well-known name and the peers watching it.
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/bus/DBusConnection.hpp"
#include "tests/support/BusDaemon.hpp"
#include "tests/support/ChildProcess.hpp"
#include "tests/support/Mailbox.hpp"

namespace noctave::linuxos {
namespace {

constexpr const char* kName = "org.example.Served";
constexpr const char* kPath = "/org/example/Served";
constexpr const char* kInterface = "org.example.Served1";
constexpr double kTimeout = 5.0;

using test::Mailbox;
using test::ProgramRun;

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
    // Count (u) is a property; Ping (s) a signal. Open (s -> s) answers every user, the rest
    // only this process's.
    ExportedObject served() {
        auto echo = [](sd_bus_message* call) {
            std::string text;
            const int r = readString(call, text);
            return r < 0 ? r : DBusConnection::replyNow(call, [&](sd_bus_message* m) {
                return sd_bus_message_append(m, "s", text.c_str());
            });
        };
        ExportedObject object;
        object.path = kPath;
        object.interface = kInterface;
        object.methods = {{"Echo", "s", "s", "text echo", echo},
                          {"Later", "u", "u", "value value",
                           [this](sd_bus_message* call) {
                               uint32_t value = 0;
                               const int r = sd_bus_message_read(call, "u", &value);
                               if (r >= 0) {
                                   kept.put({server->defer(call), value});
                               }
                               return r;
                           }},
                          {"Open", "s", "s", "text echo", echo, Callers::anyone}};
        object.properties = {{"Count", "u", [this](sd_bus_message* reply) {
                                  return sd_bus_message_append(reply, "u", count.load());
                              }}};
        object.emits = {{"Ping", "s", "text"}};
        object.deniedMessage = "not you";
        object.goneMessage = "served no more";
        return object;
    }

    // dbus-send run as `nobody`: its exit status and what it printed.
    ProgramRun asNobody(const std::string& method, const std::vector<std::string>& arguments) {
        std::vector<std::string> argv = {"--reuid=65534",
                                         "--regid=65534",
                                         "--clear-groups",
                                         "dbus-send",
                                         "--bus=" + address(),
                                         "--print-reply",
                                         std::string("--dest=") + kName,
                                         kPath,
                                         method};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        return test::runProgram("setpriv", argv);
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
    Mailbox<bool> owned;
    std::atomic<uint32_t> count{7};
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

TEST_F(BusServerTest, AnotherUsersCallerIsDeniedByTheUsersRowsAndAnsweredByAnyonesRows) {
    if (geteuid() != 0 || !test::hasProgram("setpriv") || !test::hasProgram("dbus-send")) {
        GTEST_SKIP() << "needs root, setpriv and dbus-send to call as another user";
    }
    // A bus that admits other users: the check is the object's.
    server.reset();
    client.reset();
    daemon.emplace("session", true);
    server = std::make_unique<DBusConnection>(BusKind::session, address());
    ASSERT_NE(server->exportObject(served()), 0u);
    ASSERT_TRUE(server->requestName(kName, kTimeout).ok());

    struct Case {
        const char* method;
        const char* argument;
        bool answered;
    };
    const std::string interface = kInterface;
    for (const Case& c : {Case{"Later", "uint32:1", false}, Case{"Echo", "string:hi", false},
                          Case{"Open", "string:hi", true}}) {
        SCOPED_TRACE(c.method);
        const ProgramRun run = asNobody(interface + "." + c.method, {c.argument});
        if (c.answered) {
            EXPECT_EQ(run.status, 0) << run.err;
            EXPECT_NE(run.out.find("\"hi\""), std::string::npos) << run.out;
        } else {
            EXPECT_NE(run.status, 0);
            EXPECT_NE(run.err.find("AccessDenied: not you"), std::string::npos) << run.err;
        }
    }
    // Properties are behind the same check.
    const ProgramRun get =
        asNobody("org.freedesktop.DBus.Properties.Get", {"string:" + interface, "string:Count"});
    EXPECT_NE(get.err.find("AccessDenied: not you"), std::string::npos) << get.err;
    EXPECT_TRUE(kept.takeAll().empty()) << "no refused call reached its handler";

    // This user's caller is still served.
    DBusConnection mine(BusKind::session, address());
    uint32_t answer = 0;
    auto call = std::async(std::launch::async, [&] { return callLater(mine, 3, &answer); });
    auto serial = kept.take();
    ASSERT_TRUE(serial);
    EXPECT_EQ(serial->second, 3u);
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
    ASSERT_NE(client->watchNameOwner(kName, [&](bool present) { owned.put(present); }), 0u);

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
    EXPECT_EQ(owned.take(), false);
    EXPECT_TRUE(rival.requestName(kName, kTimeout).ok()) << "the name is free again";
    EXPECT_EQ(owned.take(), true);
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

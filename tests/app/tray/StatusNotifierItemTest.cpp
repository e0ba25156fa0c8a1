#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "app/tray/StatusNotifierItem.hpp"
#include "core/runtime/Runtime.hpp"
#include "core/runtime/ThreadedRuntime.hpp"
#include "tests/app/ShellTest.hpp"
#include "tests/support/BusDaemon.hpp"

namespace noctave::test {
namespace {

using app::StatusItem;
using linuxos::MethodRef;

constexpr const char* kItem = "org.kde.StatusNotifierItem";

// The item on a session bus of the test's own, with no tray on it, and a client playing a
// panel. The main queue runs only inside runUntil: everywhere else the main thread is busy.
class StatusNotifierItemTest : public ::testing::Test {
  protected:
    StatusNotifierItemTest() { ensureApplication(); }

    void start(bool hostShowsMenu) {
        ASSERT_FALSE(daemon.address().empty()) << "no dbus-daemon";
        app::StatusNotifierItem::Options options;
        options.bus =
            std::make_shared<linuxos::DBusConnection>(linuxos::BusKind::session, daemon.address());
        options.standInAfterSeconds = 600;  // not under test here
        options.hostShowsMenu = hostShowsMenu;
        item = std::make_unique<app::StatusNotifierItem>(std::move(options));
        item->onClick = [this](StatusItem::Click click) { clicks.push_back(click); };
        item->menuEntries = [] {
            return std::vector<app::MenuEntry>{
                {app::MenuEntry::Kind::action, QStringLiteral("Arm for Next Close"), {}, false, {}},
            };
        };
    }
    MethodRef method(const char* member, const char* path = "/StatusNotifierItem",
                     const char* interface = kItem) {
        return {item->serviceName(), path, interface, member};
    }
    bool runUntil(const std::function<bool()>& done) { return runtime.runUntil(done, 10.0); }

    BusDaemon daemon{"session"};
    runtime::ThreadedRuntime runtime;
    runtime::RuntimeInstaller installer{runtime};
    linuxos::DBusConnection panel{linuxos::BusKind::session, daemon.address()};
    std::unique_ptr<app::StatusNotifierItem> item;
    std::vector<StatusItem::Click> clicks;
};

TEST_F(StatusNotifierItemTest, ClicksAreAnsweredAtOnceWhileTheMainThreadIsBusyAndRunAfterwards) {
    start(false);
    auto xy = [](sd_bus_message* m) { return sd_bus_message_append(m, "ii", 40, 12); };
    double slowest = 0;
    for (const char* member : {"Activate", "ContextMenu", "SecondaryActivate"}) {
        const auto started = std::chrono::steady_clock::now();
        const auto status = panel.call(method(member), xy, {}, 5.0);
        slowest = std::max(
            slowest,
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
        EXPECT_TRUE(status.ok()) << member << ": " << status.describe();
    }
    EXPECT_LT(slowest, 0.1);
    EXPECT_TRUE(clicks.empty());  // nothing ran on the main thread yet
    ASSERT_TRUE(runUntil([&] { return clicks.size() == 3; }));
    // A middle click (SecondaryActivate) is a left click, as on the item's button.
    EXPECT_EQ(clicks,
              (std::vector<StatusItem::Click>{StatusItem::Click::left, StatusItem::Click::right,
                                              StatusItem::Click::left}));
}

TEST_F(StatusNotifierItemTest, WhereThePanelShowsTheMenuItIsAskedToOpenTheExportedOne) {
    start(true);
    bool isMenu = false;
    ASSERT_TRUE(panel
                    .getProperty(
                        item->serviceName(), "/StatusNotifierItem", kItem, "ItemIsMenu", "b",
                        [&](sd_bus_message* m) { return linuxos::readBool(m, isMenu); }, 5.0)
                    .ok());
    EXPECT_TRUE(isMenu);
    int requests = 0;
    ASSERT_NE(panel.subscribe("type='signal',interface='com.canonical.dbusmenu',"
                              "member='ItemActivationRequested'",
                              [&](sd_bus_message*) {
                                  // Counted on the main queue, which wakes runUntil.
                                  runtime::mainQueue().async([&] { ++requests; });
                              }),
              0U);
    item->popUpMenu(item->menuEntries());
    ASSERT_TRUE(runUntil([&] { return requests == 1; }));

    // The menu it asks for is there to read, at the revision the request announced.
    uint32_t revision = 0;
    const auto layout = panel.call(
        method("GetLayout", "/MenuBar", "com.canonical.dbusmenu"),
        [](sd_bus_message* m) { return sd_bus_message_append(m, "iias", 0, -1, 0); },
        [&](sd_bus_message* m) { return sd_bus_message_read(m, "u", &revision); }, 5.0);
    ASSERT_TRUE(layout.ok()) << layout.describe();
    EXPECT_EQ(revision, 1U);
    EXPECT_TRUE(clicks.empty());
}

}  // namespace
}  // namespace noctave::test

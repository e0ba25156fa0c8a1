// The reduce-motion setting from a mocked desktop portal on a private bus: the first reading,
// then each change the portal announces, for the standard key and the GNOME and KDE ones.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include "platform/linux/LinuxReduceMotion.hpp"
#include "platform/linux/bus/DBusConnection.hpp"
#include "tests/support/PrivateBus.hpp"

namespace noctave::test {
namespace {

constexpr const char* kPortal = "org.freedesktop.portal.Desktop";

// Waits for the bus thread to bring the reading up to date, with a deadline.
bool eventually(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

TEST(LinuxReduceMotionTest, FollowsThePortalsKeysFromTheFirstReadingThroughEachChange) {
    PrivateBus bus;
    if (!bus.unavailable().empty()) {
        GTEST_SKIP() << "no private system bus: " << bus.unavailable();
    }
    ASSERT_TRUE(bus.startTemplate(NOCTAVE_PORTAL_TEMPLATE, kPortal));
    auto connection = std::make_shared<linuxos::DBusConnection>(linuxos::BusKind::system);
    const auto set = [&](const char* ns, const char* key, const char* type, auto value) {
        const linuxos::MethodRef method{kPortal, "/org/freedesktop/portal/desktop",
                                        "org.freedesktop.portal.Settings", "Set"};
        return connection
            ->call(
                method,
                [&](sd_bus_message* m) {
                    return sd_bus_message_append(m, "ssv", ns, key, type, value);
                },
                {}, 5.0)
            .ok();
    };

    // Nothing known yet, then GNOME's switch already off when the program starts.
    ASSERT_TRUE(set("org.gnome.desktop.interface", "enable-animations", "b", 0));
    linuxos::LinuxReduceMotion motion(connection);
    EXPECT_TRUE(eventually([&] { return motion.isEnabled(); }));

    const struct {
        const char* ns;
        const char* key;
        char type;
        double value;
        bool reduce;
    } changes[] = {
        {"org.gnome.desktop.interface", "enable-animations", 'b', 1, false},
        {"org.freedesktop.appearance", "reduced-motion", 'u', 1, true},
        {"org.freedesktop.appearance", "reduced-motion", 'u', 0, false},
        {"org.freedesktop.appearance", "reduced-motion", 'u', 7, false},  // unknown: no preference
        {"org.kde.kdeglobals.KDE", "AnimationDurationFactor", 'd', 0.0, true},
        {"org.kde.kdeglobals.KDE", "AnimationDurationFactor", 'd', 0.5, false},
        {"org.gnome.desktop.interface", "color-scheme", 's', 0, false},  // not ours
    };
    for (const auto& c : changes) {
        SCOPED_TRACE(testing::Message() << c.ns << " " << c.key << " = " << c.value);
        bool sent = false;
        switch (c.type) {
            case 'b':
                sent = set(c.ns, c.key, "b", static_cast<int>(c.value));
                break;
            case 'u':
                sent = set(c.ns, c.key, "u", static_cast<uint32_t>(c.value));
                break;
            case 'd':
                sent = set(c.ns, c.key, "d", c.value);
                break;
            default:
                sent = set(c.ns, c.key, "s", "prefer-dark");
        }
        ASSERT_TRUE(sent);
        EXPECT_TRUE(eventually([&] { return motion.isEnabled() == c.reduce; }));
    }
}

}  // namespace
}  // namespace noctave::test

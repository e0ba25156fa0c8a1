// The Wayland client pieces against a real compositor: run by the `client_pieces` story inside
// a headless sway with two 640 x 480 outputs side by side (HEADLESS-1 at 0, HEADLESS-2 at 640).
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/linux/wayland/LayerSurface.hpp"
#include "platform/linux/wayland/OutputPower.hpp"
#include "platform/linux/wayland/WaylandClient.hpp"
#include "wlr-output-power-management-unstable-v1-client-protocol.h"

namespace noctave::test {
namespace {

using linuxos::wayland::LayerSurface;
using linuxos::wayland::WaylandClient;
namespace OutputPower = linuxos::wayland::OutputPower;

class WaylandClientTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (std::getenv("WAYLAND_DISPLAY") == nullptr) {
            GTEST_SKIP() << "no compositor (run by tests/wayland/stories.py)";
        }
        client = WaylandClient::connect();
        ASSERT_NE(client, nullptr);
        ASSERT_EQ(client->outputs().size(), 2U);
    }

    // Round trips until `done`, with a deadline.
    bool until(const std::function<bool()>& done) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline || !client->roundtrip()) {
                return false;
            }
        }
        return true;
    }

    std::unique_ptr<WaylandClient> client;
};

TEST_F(WaylandClientTest, OutputsAreFoundByNameElseByTheirOrder) {
    const auto& outputs = client->outputs();
    // In the compositor's order, which is its own (sway 1.10 lists HEADLESS-2 first).
    EXPECT_EQ((std::set<std::string>{outputs[0]->name, outputs[1]->name}),
              (std::set<std::string>{"HEADLESS-1", "HEADLESS-2"}));
    EXPECT_EQ(client->findOutput(outputs[1]->name, 0), outputs[1].get()) << "the name wins";
    EXPECT_EQ(client->findOutput("", 1), outputs[1].get());
    EXPECT_EQ(client->findOutput("HDMI-A-9", 0), outputs[0].get());
    EXPECT_EQ(client->findOutput("HDMI-A-9", 2), nullptr);
}

// The surface takes its output's size; two frames may be on screen, a third waits for one to
// come back, and the owner hears when it has.
TEST_F(WaylandClientTest, ALayerSurfaceCoversItsOutputAndNeverDrawsIntoABusyBuffer) {
    ASSERT_NE(client->layerShell(), nullptr);
    LayerSurface surface(*client, *client->outputs()[1], "noctave-test");
    int ready = 0;
    surface.onReady = [&] { ++ready; };
    ASSERT_TRUE(until([&] { return surface.isConfigured(); }));
    EXPECT_EQ(ready, 1);
    EXPECT_EQ(surface.width(), 640);
    EXPECT_EQ(surface.height(), 480);

    std::vector<std::uint8_t*> drawnInto;
    const auto paint = [&](std::uint8_t* pixels, int width, int height, int stride, int scale) {
        EXPECT_EQ(width, 640);
        EXPECT_EQ(height, 480);
        EXPECT_EQ(stride, 640 * 4);
        EXPECT_EQ(scale, 1);
        pixels[0] = 0xff;  // the memory is there to write
        pixels[static_cast<std::size_t>(stride) * 480 - 1] = 0xff;
        drawnInto.push_back(pixels);
    };
    ASSERT_TRUE(surface.present(paint));
    ASSERT_TRUE(surface.present(paint));
    ASSERT_EQ(drawnInto.size(), 2U);
    EXPECT_NE(drawnInto[0], drawnInto[1]) << "the second frame went into the shown buffer";
    // Nothing read from the compositor yet: both buffers may still be on screen.
    EXPECT_FALSE(surface.present(paint));
    EXPECT_EQ(drawnInto.size(), 2U);
    ASSERT_TRUE(until([&] { return ready == 2; }));
    EXPECT_TRUE(surface.present(paint));
    EXPECT_EQ(drawnInto.back(), drawnInto[0]) << "the first buffer came back and is reused";
    EXPECT_FALSE(surface.isClosed());
}

// The headless backend cannot really turn an output off (sway logs that the commit failed and
// keeps it on), so this checks the exchange: the request is taken without a protocol error,
// and a refusal (another client holds an output's control) is a failure, never a success.
TEST_F(WaylandClientTest, OutputPowerAsksForEveryOutputOffAndReportsARefusal) {
    ASSERT_TRUE(OutputPower::isOffered(*client));
    auto sleeper = WaylandClient::connect();
    ASSERT_NE(sleeper, nullptr);
    EXPECT_EQ(OutputPower::sleepAll(*sleeper), 0);
    EXPECT_TRUE(sleeper->roundtrip()) << "the compositor ended the connection";

    auto* held = zwlr_output_power_manager_v1_get_output_power(client->outputPowerManager(),
                                                               client->outputs()[1]->proxy);
    ASSERT_TRUE(client->roundtrip());
    EXPECT_EQ(OutputPower::sleepAll(*sleeper), EIO);
    zwlr_output_power_v1_destroy(held);
    ASSERT_TRUE(client->roundtrip());
    EXPECT_EQ(OutputPower::sleepAll(*sleeper), 0) << "the control is free again";
}

}  // namespace
}  // namespace noctave::test

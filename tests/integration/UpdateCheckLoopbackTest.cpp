#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "app/UpdateController.hpp"
#include "core/os/System.hpp"
#include "core/runtime/ThreadedRuntime.hpp"
#include "core/support/AppInfo.hpp"
#include "core/support/Prefs.hpp"
#include "platform/linux/http/CurlHttpClient.hpp"
#include "platform/sim/VirtualLaptop.hpp"
#include "tests/remote/LoopbackHttpServer.hpp"
#include "tests/support/LogCapture.hpp"
#include "tests/support/TempDir.hpp"

namespace noctave::app {
namespace {

// A configured build checking a feed served on 127.0.0.1 with the real HTTP client. The
// program's files live in a temporary folder (the virtual laptop's), the network is real.
class UpdateCheckLoopbackTest : public ::testing::Test {
  protected:
    UpdateCheckLoopbackTest() {
        for (const char* name :
             {"http_proxy", "https_proxy", "HTTPS_PROXY", "ALL_PROXY", "all_proxy", "HTTP_PROXY"}) {
            ::unsetenv(name);
        }
        laptop_.system().httpClient = std::make_shared<linuxos::CurlHttpClient>();
        Prefs::registerDefaults();
    }

    std::unique_ptr<UpdateController> make(const std::string& feed) {
        AppInfo::Values values;
        values.shortVersion = "1.4.2";
        values.feedURL = feed;
        values.publicEDKey = "key";
        build_.emplace(values);
        return std::make_unique<UpdateController>(
            [feed] { return feed; }, nullptr,
            [this](const Alert& alert) {
                alerts_.push_back(alert.message.toStdString());
                return 0;
            });
    }

    bool waitForAlerts(std::size_t count) {
        return runtime_.runUntil([&] { return alerts_.size() >= count; }, 30);
    }

    test::TempDir temp_;
    runtime::ThreadedRuntime runtime_;
    runtime::RuntimeInstaller runtimeInstaller_{runtime_};
    sim::VirtualLaptop laptop_{temp_.path()};
    os::SystemInstaller systemInstaller_{laptop_.system()};
    test::LogCapture log_;
    std::optional<AppInfo::Override> build_;
    std::vector<std::string> alerts_;
};

TEST_F(UpdateCheckLoopbackTest, UserCheckReadsTheFeedAndReportsWhatItFound) {
    std::string newest = "1.5.0";
    test::LoopbackHttpServer server([&](const test::LoopbackHttpServer::Request& request) {
        test::LoopbackHttpServer::Response response;
        if (request.target != "/appcast.xml") {
            response.status = 404;
            return response;
        }
        response.headers = {{"Content-Type", "application/rss+xml"}};
        response.body =
            "<?xml version=\"1.0\"?><rss version=\"2.0\" "
            "xmlns:u=\"http://example.com/ns\"><channel><item><enclosure url=\"x\" "
            "u:shortVersionString=\"" +
            newest + "\"/></item></channel></rss>";
        return response;
    });
    auto controller = make(server.url("/appcast.xml"));
    ASSERT_TRUE(controller->hasUpdater());
    EXPECT_TRUE(log_.contains("updater ready (feed " + server.url("/appcast.xml") + ")"));

    controller->checkForUpdates();
    ASSERT_TRUE(waitForAlerts(1));
    EXPECT_EQ(alerts_[0], "A new version of Noctave is available");
    ASSERT_EQ(server.requests().size(), 1U);
    EXPECT_EQ(server.requests()[0].method, "GET");
    EXPECT_TRUE(server.requests()[0].hasHeader("User-Agent: Noctave/1.4.2"));

    newest = "1.4.2";
    controller->checkForUpdates();
    ASSERT_TRUE(waitForAlerts(2));
    EXPECT_EQ(alerts_[1], "You're up to date");
}

}  // namespace
}  // namespace noctave::app

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "app/integration/UpdateController.hpp"
#include "core/os/System.hpp"
#include "core/runtime/ThreadedRuntime.hpp"
#include "core/support/AppInfo.hpp"
#include "core/support/Prefs.hpp"
#include "platform/linux/http/CurlHttpClient.hpp"
#include "platform/sim/VirtualLaptop.hpp"
#include "tests/support/LogCapture.hpp"
#include "tests/support/LoopbackHttpServer.hpp"
#include "tests/support/TempDir.hpp"

namespace noctave::app {
namespace {

// A configured build checking a feed on 127.0.0.1 with the real HTTP client; the program's
// files live in the virtual laptop's temporary folder.
TEST(UpdateCheckLoopback, UserCheckReadsTheFeedAndReportsWhatItFound) {
    for (const char* name :
         {"http_proxy", "https_proxy", "HTTPS_PROXY", "ALL_PROXY", "all_proxy", "HTTP_PROXY"}) {
        ::unsetenv(name);
    }
    test::TempDir temp;
    runtime::ThreadedRuntime runtime;
    runtime::RuntimeInstaller runtimeInstaller{runtime};
    sim::VirtualLaptop laptop{temp.path()};
    laptop.system().httpClient = std::make_shared<linuxos::CurlHttpClient>();
    os::SystemInstaller systemInstaller{laptop.system()};
    Prefs::registerDefaults();
    test::LogCapture log;

    test::LoopbackHttpServer server([&](const test::LoopbackHttpServer::Request&) {
        test::LoopbackHttpServer::Response response;
        response.body =
            "<?xml version=\"1.0\"?><rss version=\"2.0\" xmlns:u=\"http://e.com/ns\">"
            "<channel><item><enclosure url=\"x\" u:shortVersionString=\"1.5.0\"/>"
            "</item></channel></rss>";
        return response;
    });
    const std::string feed = server.url("/appcast.xml");
    AppInfo::Override build({"1.4.2", false, "", feed, "key", ""});
    std::vector<std::string> alerts;
    UpdateController controller([feed] { return feed; }, nullptr,
                                [&](const Alert& alert) {
                                    alerts.push_back(alert.message.toStdString());
                                    return 0;
                                });
    ASSERT_TRUE(controller.hasUpdater());
    EXPECT_TRUE(log.contains("updater ready (feed " + feed + ")"));

    controller.checkForUpdates();
    ASSERT_TRUE(runtime.runUntil([&] { return alerts.size() == 1; }, 30));
    EXPECT_EQ(alerts[0], "A new version of Noctave is available");
    ASSERT_EQ(server.requests().size(), 1U);
    EXPECT_EQ(server.requests()[0].method, "GET");
    EXPECT_TRUE(server.requests()[0].hasHeader("User-Agent: Noctave/1.4.2"));
}

}  // namespace
}  // namespace noctave::app

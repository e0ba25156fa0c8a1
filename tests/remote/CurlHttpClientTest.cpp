#include "platform/linux/http/CurlHttpClient.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <memory>
#include <string>

#include "core/os/System.hpp"
#include "core/remote/RemoteConfigLoader.hpp"
#include "core/runtime/ThreadedRuntime.hpp"
#include "core/support/AppInfo.hpp"
#include "platform/sim/VirtualLaptop.hpp"
#include "tests/remote/LoopbackHttpServer.hpp"
#include "tests/support/LogCapture.hpp"
#include "tests/support/TempDir.hpp"

namespace noctave {
namespace {

using Server = test::LoopbackHttpServer;
using Kind = Server::Response::Kind;
using namespace std::chrono_literals;

class CurlHttpClientTest : public ::testing::Test {
  protected:
    CurlHttpClientTest() {
        // Only loopback: no proxy may take the requests elsewhere.
        for (const char* name :
             {"http_proxy", "https_proxy", "HTTPS_PROXY", "ALL_PROXY", "all_proxy", "HTTP_PROXY"}) {
            ::unsetenv(name);
        }
    }

    std::shared_ptr<os::HttpSession> session(double requestTimeout = 10,
                                             double resourceTimeout = 20) {
        os::HttpClient::Configuration configuration;
        configuration.requestTimeout = requestTimeout;
        configuration.resourceTimeout = resourceTimeout;
        configuration.headers = {{"Accept", "application/json"},
                                 {"User-Agent", "Noctave/2.1.0 (macOS)"}};
        return client.makeSession(configuration);
    }

    // Runs one GET and waits (with a generous cap) for its completion.
    static os::HttpResult get(os::HttpSession& session, const std::string& url,
                              std::size_t maxBodyBytes = 65536) {
        auto promise = std::make_shared<std::promise<os::HttpResult>>();
        auto future = promise->get_future();
        os::HttpRequest request;
        request.url = url;
        request.maxBodyBytes = maxBodyBytes;
        session.get(request, [promise](os::HttpResult result) { promise->set_value(result); });
        if (future.wait_for(30s) != std::future_status::ready) {
            ADD_FAILURE() << "no completion for " << url;
            return {};
        }
        return future.get();
    }

    linuxos::CurlHttpClient client;
};

TEST_F(CurlHttpClientTest, FetchesADocumentWithTheSessionHeaders) {
    Server server([](const Server::Request&) {
        return Server::Response{Kind::answer, 200, {{"Set-Cookie", "a=b"}}, R"({"feedURL":null})"};
    });
    auto http = session();
    for (int i = 0; i < 2; ++i) {
        const auto result = get(*http, server.url("/config.json"));
        ASSERT_FALSE(result.error) << *result.error;
        EXPECT_TRUE(result.response.isHttp);
        EXPECT_EQ(result.response.status, 200);
        EXPECT_EQ(result.response.body, R"({"feedURL":null})");
    }
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].method, "GET");
    EXPECT_EQ(requests[0].target, "/config.json");
    for (const auto& request : requests) {
        EXPECT_TRUE(request.hasHeader("Accept: application/json"));
        EXPECT_TRUE(request.hasHeader("User-Agent: Noctave/2.1.0 (macOS)"));
        for (const auto& line : request.headerLines) {
            EXPECT_FALSE(line.starts_with("Cookie")) << "no cookie may be kept: " << line;
            EXPECT_FALSE(line.starts_with("Authorization")) << line;
        }
    }
}

TEST_F(CurlHttpClientTest, ReportsOtherStatusesAndFollowsRedirects) {
    Server server([&](const Server::Request& request) {
        if (request.target == "/old") {
            return Server::Response{Kind::answer, 302, {{"Location", "/new"}}, "moved"};
        }
        if (request.target == "/new") {
            return Server::Response{Kind::answer, 200, {}, "{}"};
        }
        return Server::Response{Kind::answer, 404, {}, "not here"};
    });
    auto http = session();
    const auto missing = get(*http, server.url("/missing"));
    ASSERT_FALSE(missing.error);
    EXPECT_EQ(missing.response.status, 404);

    const auto moved = get(*http, server.url("/old"));
    ASSERT_FALSE(moved.error) << *moved.error;
    EXPECT_EQ(moved.response.status, 200);
    EXPECT_EQ(moved.response.body, "{}") << "only the final response's body counts";
    EXPECT_EQ(server.requests().size(), 3u);
}

TEST_F(CurlHttpClientTest, StopsReceivingOneBytePastTheLimit) {
    std::string body;
    Server server([&](const Server::Request&) {
        return Server::Response{Kind::answer, 200, {}, body};
    });
    auto http = session();
    body = std::string(65536, 'a');
    auto result = get(*http, server.url("/exact"));
    ASSERT_FALSE(result.error);
    EXPECT_EQ(result.response.body.size(), 65536u);

    body = std::string(65537, 'b');
    result = get(*http, server.url("/one-more"));
    ASSERT_FALSE(result.error);
    EXPECT_EQ(result.response.status, 200);
    EXPECT_EQ(result.response.body.size(), 65537u);

    // A huge answer is cut off, not read to the end.
    body = std::string(64u << 20, 'c');
    const std::size_t before = server.bodyBytesSent();
    result = get(*http, server.url("/huge"));
    ASSERT_FALSE(result.error);
    EXPECT_EQ(result.response.body.size(), 65537u);
    EXPECT_LT(server.bodyBytesSent() - before, body.size());
}

TEST_F(CurlHttpClientTest, TimesOutOnAServerThatStalls) {
    Server server([](const Server::Request& request) {
        return Server::Response{
            request.target == "/silent" ? Kind::stall : Kind::trickle, 200, {}, ""};
    });
    // Nothing at all for longer than the request timeout.
    auto idle = session(0.3, 30);
    const auto started = std::chrono::steady_clock::now();
    const auto silent = get(*idle, server.url("/silent"));
    ASSERT_TRUE(silent.error);
    EXPECT_EQ(*silent.error, "The request timed out.");
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);

    // Bytes keep coming, but the whole transfer takes longer than the resource timeout.
    auto slow = session(5, 0.4);
    const auto trickle = get(*slow, server.url("/trickle"));
    ASSERT_TRUE(trickle.error);
    EXPECT_NE(trickle.error->find("timed out"), std::string::npos) << *trickle.error;
}

TEST_F(CurlHttpClientTest, FailsAtOnceWhenNothingListens) {
    const auto [fd, port] = Server::refusingPort();
    auto http = session();
    const auto started = std::chrono::steady_clock::now();
    const auto result = get(*http, "http://127.0.0.1:" + std::to_string(port) + "/");
    ::close(fd);
    ASSERT_TRUE(result.error);
    EXPECT_FALSE(result.error->empty());
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);

    const auto unsupported = get(*http, "file:///etc/passwd");
    ASSERT_TRUE(unsupported.error) << "only http and https are spoken";
}

TEST_F(CurlHttpClientTest, DestroyingTheSessionAbandonsItsTransfer) {
    Server server([](const Server::Request&) {
        return Server::Response{Kind::stall, 200, {}, ""};
    });
    auto http = session(30, 30);
    std::promise<void> called;
    auto future = called.get_future();
    os::HttpRequest request;
    request.url = server.url("/");
    http->get(request, [&called](const os::HttpResult&) { called.set_value(); });
    while (server.requests().empty()) {
        std::this_thread::yield();
    }
    const auto started = std::chrono::steady_clock::now();
    http.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
    EXPECT_EQ(future.wait_for(0s), std::future_status::timeout) << "no completion after the end";
}

// The whole road: the loader asks the real client, the document comes from a real server, the
// notice arrives on the main queue.
TEST_F(CurlHttpClientTest, TheLoaderFetchesAndAppliesARealDocument) {
    Server server([](const Server::Request&) {
        return Server::Response{
            Kind::answer,
            200,
            {},
            R"({"minimumVersion": "3.0", "feedURL": "https://noctave.app/feed.xml",
                "notice": {"id": "hello", "title": "Hello", "body": "World"}})"};
    });
    runtime::ThreadedRuntime runtime;
    runtime::RuntimeInstaller runtimeInstaller(runtime);
    test::TempDir temp;
    sim::VirtualLaptop laptop(temp.path());
    laptop.system().httpClient = std::make_shared<linuxos::CurlHttpClient>();
    os::SystemInstaller systemInstaller(laptop.system());
    test::LogCapture log;
    AppInfo::Values values;
    values.shortVersion = "2.0";
    values.configURL = server.url("/noctave.json");
    AppInfo::Override appInfo(values);

    RemoteConfigLoader loader;
    std::string notice;
    std::string outdated;
    loader.onNotice = [&](const RemoteConfig::Notice& n) {
        EXPECT_TRUE(runtime.mainQueue().isCurrent());
        notice = n.id;
    };
    loader.onOutdated = [&](const std::string& minimum) { outdated = minimum; };
    loader.refresh(false);
    EXPECT_TRUE(runtime.runUntil([&] { return !notice.empty() && !outdated.empty(); }, 30));
    EXPECT_EQ(notice, "hello");
    EXPECT_EQ(outdated, "3.0");
    EXPECT_EQ(loader.effectiveFeedURL(), "https://noctave.app/feed.xml");
    ASSERT_EQ(server.requests().size(), 1u);
    EXPECT_TRUE(server.requests()[0].hasHeader("User-Agent: Noctave/2.0 (macOS)"));
}

}  // namespace
}  // namespace noctave

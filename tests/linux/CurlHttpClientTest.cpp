#include "platform/linux/http/CurlHttpClient.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "tests/support/LoopbackHttpServer.hpp"

namespace noctave {
namespace {

using Server = test::LoopbackHttpServer;
using Kind = Server::Response::Kind;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr const char* kDocument = R"({"feedURL":null})";

// "/doc" is a document, "/old" redirects to it, "/bytes/N" is N bytes, "/silent" never
// answers, "/trickle" sends a byte now and then; anything else is missing.
Server::Response route(const Server::Request& request) {
    const std::string& target = request.target;
    if (target == "/doc" || target == "/old") {
        return target == "/doc"
                   ? Server::Response{Kind::answer, 200, {{"Set-Cookie", "a=b"}}, kDocument}
                   : Server::Response{Kind::answer, 302, {{"Location", "/doc"}}, "moved"};
    }
    if (target.starts_with("/bytes/")) {
        return {Kind::answer, 200, {}, std::string(std::stoul(target.substr(7)), 'a')};
    }
    if (target == "/silent" || target == "/trickle") {
        return {target == "/silent" ? Kind::stall : Kind::trickle, 200, {}, ""};
    }
    return {Kind::answer, 404, {}, "not here"};
}

class CurlHttpClientTest : public ::testing::Test {
  protected:
    // Only loopback: no proxy from the environment may take the requests elsewhere.
    CurlHttpClientTest() { ::setenv("no_proxy", "*", 1); }

    std::shared_ptr<os::HttpSession> session(double requestTimeout = 10, double wholeTimeout = 20) {
        return client.makeSession(
            {requestTimeout,
             wholeTimeout,
             {{"Accept", "application/json"}, {"User-Agent", "Noctave/2.1.0 (macOS)"}}});
    }

    // Runs one GET and waits (with a generous cap) for its completion.
    static os::HttpResult get(const std::shared_ptr<os::HttpSession>& session,
                              const std::string& url) {
        auto promise = std::make_shared<std::promise<os::HttpResult>>();
        auto future = promise->get_future();
        session->get({url, 60, 65536},
                     [promise](os::HttpResult result) { promise->set_value(result); });
        if (future.wait_for(30s) != std::future_status::ready) {
            ADD_FAILURE() << "no completion for " << url;
            return {};
        }
        return future.get();
    }

    linuxos::CurlHttpClient client;
    Server server{route};
};

TEST_F(CurlHttpClientTest, FetchesDocumentsFollowsRedirectsAndReportsStatuses) {
    auto http = session();
    for (const char* path : {"/doc", "/old"}) {
        const auto result = get(http, server.url(path));
        ASSERT_FALSE(result.error) << *result.error;
        EXPECT_TRUE(result.response.isHttp);
        EXPECT_EQ(result.response.status, 200);
        EXPECT_EQ(result.response.body, kDocument) << path << ": only the final body counts";
    }
    const auto missing = get(http, server.url("/missing"));
    ASSERT_FALSE(missing.error);
    EXPECT_EQ(missing.response.status, 404);

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 4u);
    for (const auto& request : requests) {
        EXPECT_TRUE(request.hasHeader("Accept: application/json"));
        EXPECT_TRUE(request.hasHeader("User-Agent: Noctave/2.1.0 (macOS)"));
        for (const auto& line : request.headerLines) {
            EXPECT_FALSE(line.starts_with("Cookie")) << "no cookie may be kept: " << line;
        }
    }
}

TEST_F(CurlHttpClientTest, StopsReceivingOneBytePastTheLimit) {
    auto http = session();
    for (const std::size_t size : {std::size_t{65536}, std::size_t{65537}, std::size_t{64} << 20}) {
        const std::size_t sentBefore = server.bodyBytesSent();
        const auto result = get(http, server.url("/bytes/" + std::to_string(size)));
        ASSERT_FALSE(result.error) << size;
        EXPECT_EQ(result.response.status, 200);
        EXPECT_EQ(result.response.body.size(), std::min<std::size_t>(size, 65537)) << size;
        if (size > 65537) {
            EXPECT_LT(server.bodyBytesSent() - sentBefore, size) << "read to the end";
        }
    }
}

TEST_F(CurlHttpClientTest, ReportsTimeoutsRefusedConnectionsAndOtherSchemesAsErrors) {
    // Nothing at all for longer than the request timeout.
    const auto started = Clock::now();
    const auto silent = get(session(0.3, 30), server.url("/silent"));
    ASSERT_TRUE(silent.error);
    EXPECT_EQ(*silent.error, "The request timed out.");
    EXPECT_LT(Clock::now() - started, 5s);

    // Bytes keep coming, but the whole transfer takes longer than the resource timeout.
    const auto trickle = get(session(5, 0.4), server.url("/trickle"));
    ASSERT_TRUE(trickle.error);
    EXPECT_NE(trickle.error->find("timed out"), std::string::npos) << *trickle.error;

    // A refused connection fails at once.
    const auto [fd, port] = Server::refusingPort();
    const auto refusedAt = Clock::now();
    const auto refused = get(session(), "http://127.0.0.1:" + std::to_string(port) + "/");
    ::close(fd);
    ASSERT_TRUE(refused.error);
    EXPECT_FALSE(refused.error->empty());
    EXPECT_LT(Clock::now() - refusedAt, 5s);
    EXPECT_TRUE(get(session(), "file:///etc/passwd").error) << "only http and https are spoken";
}

TEST_F(CurlHttpClientTest, DestroyingTheSessionAbandonsItsTransfer) {
    auto http = session(30, 30);
    std::promise<void> called;
    http->get({server.url("/silent"), 60, 65536},
              [&called](const os::HttpResult&) { called.set_value(); });
    while (server.requests().empty()) {
        std::this_thread::yield();
    }
    const auto started = Clock::now();
    http.reset();
    EXPECT_LT(Clock::now() - started, 5s);
    EXPECT_EQ(called.get_future().wait_for(0s), std::future_status::timeout)
        << "no completion after the end";
}

}  // namespace
}  // namespace noctave

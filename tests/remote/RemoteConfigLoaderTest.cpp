#include "core/remote/RemoteConfigLoader.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "core/support/AppInfo.hpp"
#include "core/support/Log.hpp"
#include "core/support/UserDefaults.hpp"
#include "platform/sim/SimHttpClient.hpp"
#include "tests/support/SimTest.hpp"

namespace noctave {
namespace {

using Reply = sim::SimHttpClient::Reply;

constexpr const char* kEndpoint = "https://config.example.net/noctave.json";
constexpr const char* kBuildFeed = "https://updates.example.net/appcast.xml";

std::string noticeDocument(const std::string& id) {
    return R"({"notice": {"id": ")" + id + R"(", "title": "T", "body": "B"}})";
}

class RemoteConfigLoaderTest : public test::SimTest {
  protected:
    RemoteConfigLoaderTest() { restart(); }

    // A loader as the delegate sets it up: callbacks recorded, checked to run on the main queue.
    void restart() {
        loader = std::make_unique<RemoteConfigLoader>();
        loader->onNotice = [this](const RemoteConfig::Notice& notice) {
            EXPECT_TRUE(runtime.mainQueue().isCurrent());
            // The id is remembered before the notice is offered.
            EXPECT_EQ(defaults().stringForKey(RemoteConfigLoader::seenNoticeKey), notice.id);
            notices.push_back(notice.id);
        };
        loader->onOutdated = [this](const std::string& minimum) {
            EXPECT_TRUE(runtime.mainQueue().isCurrent());
            outdated.push_back(minimum);
        };
    }

    // Answers the next fetch with `reply` and runs it to the end.
    void fetch(const Reply& reply, bool force = true) {
        http().script(reply);
        loader->refresh(force);
        runUntilIdle();
    }
    void fetch(const std::string& body) { fetch(Reply::document(body)); }

    sim::SimHttpClient& http() { return laptop.http(); }
    static UserDefaults& defaults() { return UserDefaults::standard(); }
    std::size_t requestCount() { return http().requests().size(); }

    AppInfo::Override appInfo{{"1.3.9", false, kEndpoint, kBuildFeed, "", ""}};
    std::unique_ptr<RemoteConfigLoader> loader;
    std::vector<std::string> notices;
    std::vector<std::string> outdated;
};

TEST_F(RemoteConfigLoaderTest, FetchesTheEndpointAtMostEverySixHours) {
    fetch(Reply::document("{}"), false);
    ASSERT_EQ(requestCount(), 1u);
    EXPECT_EQ(http().requests()[0].url, kEndpoint);
    EXPECT_EQ(
        http().requests()[0].configuration.headers,
        (os::HttpHeaders{{"Accept", "application/json"}, {"User-Agent", "Noctave/1.3.9 (macOS)"}}));

    advance(6 * 3600 - 1);
    loader->refresh(false);
    runUntilIdle();
    EXPECT_EQ(requestCount(), 1u);
    advance(1);
    fetch(Reply::document("{}"), false);
    EXPECT_EQ(requestCount(), 2u);
    fetch(Reply::document("{}"), true);
    EXPECT_EQ(requestCount(), 3u) << "a forced refresh ignores the interval";

    // A fetch date in the future (the clock was set back) does not hold fetches off.
    defaults().set(RemoteConfigLoader::lastFetchKey,
                   runtime.clock().wall() + std::chrono::hours(24 * 400));
    fetch(Reply::document("{}"), false);
    EXPECT_EQ(requestCount(), 4u);
}

TEST_F(RemoteConfigLoaderTest, NeverFetchesWithoutAUsableEndpoint) {
    for (const char* endpoint : {"", "REPLACE_ME", "https://exa mple.net/"}) {
        AppInfo::Override override({"1.3.9", false, endpoint, "", "", ""});
        loader->refresh(true);
        runUntilIdle();
    }
    EXPECT_EQ(requestCount(), 0u);
}

TEST_F(RemoteConfigLoaderTest, FailuresAreLoggedAndRetriedAtTheNextRefresh) {
    const Reply failures[] = {Reply::failure("The request timed out."), Reply::document("{}", 503),
                              Reply::document(""), Reply::document(R"({"minimumVersion": 2})"),
                              Reply::document(std::string(70000, ' '))};
    for (const bool isVerbose : {false, true}) {
        Log::setVerbose(isVerbose);
        for (const auto& failure : failures) {
            fetch(failure, false);
        }
    }
    EXPECT_EQ(requestCount(), 10u);
    EXPECT_FALSE(defaults().dateForKey(RemoteConfigLoader::lastFetchKey));
    EXPECT_EQ(log.lines(), (std::vector<std::string>{
                               "WRN remote config could not be parsed; ignoring it",
                               "WRN remote config was implausibly large; ignoring it",
                               "DBG remote config unavailable: The request timed out.",
                               "DBG remote config returned no usable document",
                               "DBG remote config returned no usable document",
                               "WRN remote config could not be parsed; ignoring it",
                               "WRN remote config was implausibly large; ignoring it",
                           }));
}

TEST_F(RemoteConfigLoaderTest,
       ReportsAnOutdatedBuildOnlyWhenOlderAndCutsAnAnswerOffAtTheExactSizeLimit) {
    fetch(R"({"minimumVersion": "1.3.9.0"})");
    EXPECT_TRUE(outdated.empty());

    std::string exact = R"({"minimumVersion":"1.4"})";
    exact.resize(65536, ' ');
    fetch(exact);
    EXPECT_EQ(outdated, std::vector<std::string>{"1.4"});
    fetch(exact + " ");
    EXPECT_EQ(outdated.size(), 1u);

    // An oversized answer is cut off while it arrives, not read to the end.
    fetch(std::string(8 << 20, ' '));
    EXPECT_EQ(http().largestBodyDelivered(), 65537u);
}

TEST_F(RemoteConfigLoaderTest,
       OffersANoticeAgainOnlyWhenItsIdDiffersFromTheLastEvenAcrossARestart) {
    fetch(noticeDocument("spring"));
    fetch(noticeDocument("spring"));
    fetch(noticeDocument("Spring"));
    EXPECT_EQ(notices, (std::vector<std::string>{"spring", "Spring"}));
    // Only the latest id is remembered: alternating documents offer each again.
    fetch(noticeDocument("spring"));
    EXPECT_EQ(notices.size(), 3u);
    // The memory survives a restart.
    restart();
    fetch(noticeDocument("spring"));
    EXPECT_EQ(notices.size(), 3u);
}

TEST_F(RemoteConfigLoaderTest,
       KeepsTheLastHttpsFeedAndFallsBackToTheBuildsOverAnUnusableStoredOne) {
    EXPECT_EQ(loader->effectiveFeedURL(), kBuildFeed);
    fetch(R"({"feedURL": "https://noctave.app/beta.xml"})");
    for (const char* rejected :
         {R"({"feedURL": "http://noctave.app/plain.xml"})", R"({"feedURL": "https:nohost.xml"})",
          R"({"feedURL": "not a url"})", "{}"}) {
        fetch(rejected);
        EXPECT_EQ(loader->effectiveFeedURL(), "https://noctave.app/beta.xml") << rejected;
    }
    // A hand-edited store with an unusable value falls back to the build's feed.
    defaults().set(RemoteConfigLoader::cachedFeedKey, std::string("http://noctave.app/x.xml"));
    EXPECT_EQ(loader->effectiveFeedURL(), kBuildFeed);
}

TEST_F(RemoteConfigLoaderTest, NothingHappensOnceTheLoaderIsGone) {
    loader->refresh(true);
    runUntilIdle();
    ASSERT_EQ(http().pendingCount(), 1u);
    loader.reset();
    http().answerPending(Reply::document(R"({"minimumVersion": "9", "notice": {"id": "n",
                                             "title": "T", "body": "B"}})"));
    runUntilIdle();
    EXPECT_TRUE(notices.empty());
    EXPECT_TRUE(outdated.empty());
    EXPECT_FALSE(defaults().stringForKey(RemoteConfigLoader::seenNoticeKey));
}

TEST(RemoteConfigCompareTest, ComparesNumericPiecesOnly) {
    // "a < b" reads: compare(a, b) is ascending. Pieces that are not whole numbers ("0rc1",
    // "beta", one too large) are left out.
    for (const std::string c : {"1.2 = 1.2.0", "1.9 < 1.10", "2.0-beta = 2.0", "2.0.0-1 > 2.0.0",
                                "2.0rc1 = 2", "1..2 = 1.2", "1.+2 = 1.2", " = 0.0", "beta < 0.1",
                                "10 > 9.9.9", "1.99999999999999999999 = 1"}) {
        const auto space = c.find(' ');
        const auto order = RemoteConfigLoader::compare(c.substr(0, space), c.substr(space + 3));
        EXPECT_EQ("<=>"[static_cast<int>(order)], c[space + 1]) << c;
    }
}

}  // namespace
}  // namespace noctave

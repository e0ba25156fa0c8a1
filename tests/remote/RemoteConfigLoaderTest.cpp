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
using Order = RemoteConfigLoader::Order;

constexpr const char* kEndpoint = "https://config.example.net/noctave.json";

AppInfo::Values buildValues(std::string shortVersion = "1.3.9") {
    AppInfo::Values values;
    values.shortVersion = std::move(shortVersion);
    values.configURL = kEndpoint;
    values.feedURL = "https://updates.example.net/appcast.xml";
    values.webDomain = "noctave.app";
    return values;
}

class RemoteConfigLoaderTest : public test::SimTest {
  protected:
    // A loader as the delegate sets it up: callbacks recorded, checked to run on the main queue.
    std::unique_ptr<RemoteConfigLoader> makeLoader() {
        auto loader = std::make_unique<RemoteConfigLoader>();
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
        return loader;
    }

    // Answers the next fetch with `body` and runs it to the end.
    void fetch(RemoteConfigLoader& loader, const std::string& body, bool force = true) {
        http().script(Reply::document(body));
        loader.refresh(force);
        runUntilIdle();
    }

    sim::SimHttpClient& http() { return laptop.http(); }
    UserDefaults& defaults() { return UserDefaults::standard(); }

    std::unique_ptr<AppInfo::Override> appInfo = std::make_unique<AppInfo::Override>(buildValues());
    std::vector<std::string> notices;
    std::vector<std::string> outdated;
};

TEST_F(RemoteConfigLoaderTest, RequestsTheEndpointWithTheSessionSettings) {
    auto loader = makeLoader();
    fetch(*loader, "{}");
    const auto requests = http().requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].url, kEndpoint);
    EXPECT_EQ(requests[0].timeoutSeconds, 60);
    EXPECT_EQ(requests[0].maxBodyBytes, 65536u);
    EXPECT_EQ(requests[0].configuration.requestTimeout, 10);
    EXPECT_EQ(requests[0].configuration.resourceTimeout, 20);
    EXPECT_EQ(
        requests[0].configuration.headers,
        (os::HttpHeaders{{"Accept", "application/json"}, {"User-Agent", "Noctave/1.3.9 (macOS)"}}));
}

TEST_F(RemoteConfigLoaderTest, NeverFetchesWithoutAUsableEndpoint) {
    for (const char* endpoint : {"", "REPLACE_ME", "REPLACE_ME_LATER", "https://exa mple.net/"}) {
        AppInfo::Values values = buildValues();
        values.configURL = endpoint;
        AppInfo::Override override(values);
        auto loader = makeLoader();
        loader->refresh(true);
        runUntilIdle();
    }
    EXPECT_TRUE(http().requests().empty());
}

TEST_F(RemoteConfigLoaderTest, FetchesAtMostEverySixHoursAfterASuccess) {
    auto loader = makeLoader();
    fetch(*loader, "{}", false);
    const auto stored = defaults().dateForKey(RemoteConfigLoader::lastFetchKey);
    ASSERT_TRUE(stored);
    EXPECT_LT(std::chrono::abs(*stored - runtime.clock().wall()), std::chrono::milliseconds(1));

    loader->refresh(false);
    advance(6 * 3600 - 1);
    loader->refresh(false);
    runUntilIdle();
    EXPECT_EQ(http().requests().size(), 1u);

    advance(1);
    fetch(*loader, "{}", false);
    EXPECT_EQ(http().requests().size(), 2u);
    fetch(*loader, "{}", true);
    EXPECT_EQ(http().requests().size(), 3u) << "a forced refresh ignores the interval";
}

TEST_F(RemoteConfigLoaderTest, FailedFetchesAreRetriedAtTheNextRefresh) {
    auto loader = makeLoader();
    const std::vector<Reply> failures = {
        Reply::failure("The Internet connection appears to be offline."),
        Reply::document("{}", 404), Reply::document("", 200), Reply::document("{", 200),
        Reply::document(std::string(65537, ' '), 200)};
    for (const auto& failure : failures) {
        http().script(failure);
        loader->refresh(false);
        runUntilIdle();
    }
    EXPECT_EQ(http().requests().size(), failures.size());
    EXPECT_FALSE(defaults().dateForKey(RemoteConfigLoader::lastFetchKey));
}

TEST_F(RemoteConfigLoaderTest, AFetchDateInTheFutureDoesNotHoldFetchesOff) {
    auto loader = makeLoader();
    defaults().set(RemoteConfigLoader::lastFetchKey,
                   runtime.clock().wall() + std::chrono::hours(24 * 400));
    fetch(*loader, "{}", false);
    EXPECT_EQ(http().requests().size(), 1u);
}

TEST_F(RemoteConfigLoaderTest, LogsEachKindOfFailure) {
    auto loader = makeLoader();
    http().script(Reply::failure("The request timed out."));
    http().script(Reply::document("{}", 503));
    for (int i = 0; i < 2; ++i) {
        loader->refresh(true);
        runUntilIdle();
    }
    EXPECT_TRUE(log.lines().empty()) << "transport and status failures are debug lines only";

    Log::setVerbose(true);
    http().script(Reply::failure("The request timed out."));
    http().script(Reply::document("{}", 503));
    http().script(Reply::document(""));
    http().script(Reply::document(R"({"minimumVersion": 2})"));
    http().script(Reply::document(std::string(70000, ' ')));
    for (int i = 0; i < 5; ++i) {
        loader->refresh(true);
        runUntilIdle();
    }
    EXPECT_EQ(log.lines(), (std::vector<std::string>{
                               "DBG remote config unavailable: The request timed out.",
                               "DBG remote config returned no usable document",
                               "DBG remote config returned no usable document",
                               "WRN remote config could not be parsed; ignoring it",
                               "WRN remote config was implausibly large; ignoring it",
                           }));
}

TEST_F(RemoteConfigLoaderTest, TheSizeLimitIsExactAndEnforcedWhileReceiving) {
    auto loader = makeLoader();
    std::string exact = R"({"minimumVersion":"9.0"})";
    exact.resize(65536, ' ');
    fetch(*loader, exact);
    EXPECT_EQ(outdated, std::vector<std::string>{"9.0"});

    std::string tooLong = exact + " ";
    fetch(*loader, tooLong);
    EXPECT_EQ(outdated.size(), 1u);
    EXPECT_TRUE(log.contains("remote config was implausibly large; ignoring it"));

    fetch(*loader, std::string(8 << 20, ' '));
    EXPECT_EQ(http().largestBodyDelivered(), 65537u);
}

TEST_F(RemoteConfigLoaderTest, ReportsAnOutdatedBuildOnlyWhenOlder) {
    auto loader = makeLoader();
    fetch(*loader, R"({"minimumVersion": "1.4.0"})");
    EXPECT_EQ(outdated, std::vector<std::string>{"1.4.0"});

    appInfo.reset();
    appInfo = std::make_unique<AppInfo::Override>(buildValues("1.4"));
    fetch(*loader, R"({"minimumVersion": "1.4.0"})");
    fetch(*loader, R"({"minimumVersion": "1.3.10"})");
    EXPECT_EQ(outdated.size(), 1u);
}

TEST_F(RemoteConfigLoaderTest, OffersEachNoticeOnce) {
    auto loader = makeLoader();
    const auto notice = [](const char* id) {
        return std::string(R"({"notice": {"id": ")") + id + R"(", "title": "T", "body": "B"}})";
    };
    fetch(*loader, notice("spring"));
    fetch(*loader, notice("spring"));
    fetch(*loader, notice("Spring"));
    EXPECT_EQ(notices, (std::vector<std::string>{"spring", "Spring"}));

    // Only the latest id is remembered: alternating documents offer each again.
    fetch(*loader, notice("spring"));
    EXPECT_EQ(notices.size(), 3u);

    // The memory survives a restart.
    loader = makeLoader();
    fetch(*loader, notice("spring"));
    EXPECT_EQ(notices.size(), 3u);
}

TEST_F(RemoteConfigLoaderTest, AnInvalidNoticeDiscardsTheWholeDocument) {
    auto loader = makeLoader();
    fetch(*loader,
          R"({"minimumVersion": "5.0", "feedURL": "https://noctave.app/new.xml",
              "notice": {"id": "x", "title": "no body"}})");
    EXPECT_TRUE(outdated.empty());
    EXPECT_TRUE(notices.empty());
    EXPECT_FALSE(defaults().stringForKey(RemoteConfigLoader::cachedFeedKey));
    EXPECT_FALSE(defaults().stringForKey(RemoteConfigLoader::seenNoticeKey));
    EXPECT_FALSE(defaults().dateForKey(RemoteConfigLoader::lastFetchKey));
}

TEST_F(RemoteConfigLoaderTest, KeepsTheLastHttpsFeed) {
    auto loader = makeLoader();
    EXPECT_EQ(loader->effectiveFeedURL(), "https://updates.example.net/appcast.xml");

    fetch(*loader, R"({"feedURL": "https://noctave.app/beta.xml"})");
    EXPECT_EQ(loader->effectiveFeedURL(), "https://noctave.app/beta.xml");
    for (const char* rejected :
         {R"({"feedURL": "http://noctave.app/plain.xml"})", R"({"feedURL": "https:nohost.xml"})",
          R"({"feedURL": "not a url"})", "{}"}) {
        fetch(*loader, rejected);
        EXPECT_EQ(loader->effectiveFeedURL(), "https://noctave.app/beta.xml") << rejected;
    }

    // A hand-edited store with an unusable value falls back to the build's feed, or to none.
    defaults().set(RemoteConfigLoader::cachedFeedKey, std::string("http://noctave.app/x.xml"));
    EXPECT_EQ(loader->effectiveFeedURL(), "https://updates.example.net/appcast.xml");
    AppInfo::Values values = buildValues();
    values.feedURL = "REPLACE_ME";
    AppInfo::Override noFeed(values);
    EXPECT_FALSE(loader->effectiveFeedURL());
}

TEST_F(RemoteConfigLoaderTest, NothingHappensOnceTheLoaderIsGone) {
    auto loader = makeLoader();
    loader->refresh(true);
    runUntilIdle();
    ASSERT_EQ(http().pendingCount(), 1u);
    loader.reset();
    http().answerPending(Reply::document(
        R"({"minimumVersion": "9", "notice": {"id": "n", "title": "T", "body": "B"}})"));
    runUntilIdle();
    EXPECT_TRUE(notices.empty());
    EXPECT_TRUE(outdated.empty());
    EXPECT_FALSE(defaults().stringForKey(RemoteConfigLoader::seenNoticeKey));
}

TEST(RemoteConfigCompareTest, ComparesNumericPiecesOnly) {
    struct Case {
        const char* a;
        const char* b;
        Order expected;
    };
    const Case cases[] = {
        {"1.2", "1.2.0", Order::same},
        {"1.9", "1.10", Order::ascending},
        {"2.0-beta", "2.0", Order::same},
        {"2.0.0-1", "2.0.0", Order::descending},
        {"1.3.9", "1.4.0", Order::ascending},
        {"1.4", "1.4.0", Order::same},
        {"2.0rc1", "2", Order::same},  // "0rc1" is not a number and is left out
        {"1..2", "1.2", Order::same},
        {"1.+2", "1.2", Order::same},
        {"", "0.0", Order::same},
        {"beta", "0.1", Order::ascending},
        {"1.99999999999999999999", "1", Order::same},  // too large to be a number
        {"10", "9.9.9", Order::descending},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(RemoteConfigLoader::compare(c.a, c.b), c.expected) << c.a << " vs " << c.b;
    }
}

}  // namespace
}  // namespace noctave

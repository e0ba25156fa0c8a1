#include "app/integration/UpdateController.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/integration/AppcastUpdater.hpp"
#include "core/support/AppInfo.hpp"
#include "core/support/Log.hpp"
#include "core/support/Prefs.hpp"
#include "platform/sim/SimHttpClient.hpp"
#include "tests/support/SimTest.hpp"

namespace noctave::app {
namespace {

using Reply = sim::SimHttpClient::Reply;

std::string appcast(const std::vector<std::string>& items) {
    std::string text =
        "<?xml version=\"1.0\"?>\n<rss version=\"2.0\" "
        "xmlns:u=\"http://example.com/update-ns\"><channel><title>Noctave</title>";
    for (const auto& item : items) {
        text += "<item>" + item + "</item>";
    }
    return text + "</channel></rss>";
}

// The update adapter with its appcast updater, on the virtual laptop's network.
class UpdateControllerTest : public test::SimTest {
  protected:
    std::unique_ptr<UpdateController> make(std::string feed = "https://built-in.example.com/a.xml",
                                           std::string key = "key") {
        build.emplace(AppInfo::Values{"1.4.2", false, "", std::move(feed), std::move(key), ""});
        return std::make_unique<UpdateController>(
            [this] { return remoteFeed; }, nullptr,
            [this](const Alert& alert) {
                shown.push_back(alert.message.toStdString() + " | " +
                                alert.informativeText.toStdString());
                return 0;
            });
    }
    std::vector<sim::SimHttpClient::Request> requests() { return laptop.http().requests(); }

    std::optional<AppInfo::Override> build;
    std::optional<std::string> remoteFeed = "https://updates.example.com/appcast.xml";
    std::vector<std::string> shown;
};

TEST_F(UpdateControllerTest, UnusableBuildSettingsMeanNoUpdaterAtAll) {
    const std::pair<const char*, const char*> unusable[] = {
        {"REPLACE_ME", "key"},
        {"REPLACE_ME_WITH_FEED", "key"},
        {"", "key"},
        {"no address at all", "key"},
        {"https://updates.example.com/appcast.xml", ""},
        {"https://updates.example.com/appcast.xml", "REPLACE_ME"},
    };
    for (const auto& [feed, key] : unusable) {
        SCOPED_TRACE(std::string(feed) + " / " + key);
        log.clear();
        auto controller = make(feed, key);
        EXPECT_FALSE(controller->isConfigured());
        EXPECT_FALSE(controller->hasUpdater());
        EXPECT_EQ(log.lines(),
                  std::vector<std::string>{"INF no update feed configured in this build"});
    }
}

TEST_F(UpdateControllerTest, DailyBackgroundCheckReadsTheCurrentFeedAndTellsOfANewVersionOnce) {
    Prefs::setAutomaticUpdates(true);
    auto controller = make();
    EXPECT_EQ(log.lines(), std::vector<std::string>{
                               "INF updater ready (feed https://updates.example.com/appcast.xml)"});
    const std::string newer = appcast({"<u:shortVersionString>1.5</u:shortVersionString>"});
    advance(86399);
    EXPECT_EQ(requests().size(), 0U);
    laptop.http().script(Reply::document(newer));
    advance(1);
    ASSERT_EQ(requests().size(), 1U);
    EXPECT_EQ(requests()[0].url, "https://updates.example.com/appcast.xml");
    EXPECT_EQ(shown, std::vector<std::string>{
                         "A new version of Noctave is available | Noctave 1.5 is available; you "
                         "have 1.4.2. Install it the way you installed Noctave, for example with "
                         "your package manager."});

    // The next day: the moved feed is read, the same version is not announced again.
    remoteFeed = "https://moved.example.com/feed.xml";
    laptop.http().script(Reply::document(newer));
    advance(86400);
    ASSERT_EQ(requests().size(), 2U);
    EXPECT_EQ(requests()[1].url, "https://moved.example.com/feed.xml");
    EXPECT_EQ(shown.size(), 1U);
}

TEST_F(UpdateControllerTest, UserChecksReportEveryOutcomeAndShowWhileOneRuns) {
    auto controller = make();
    Log::setVerbose(true);
    laptop.http().script(Reply::document(std::string(AppcastUpdater::maxAppcastBytes + 1, ' ')));
    controller->checkForUpdates();
    runUntilIdle();
    EXPECT_EQ(shown, std::vector<std::string>{
                         "Noctave could not check for updates | The check failed: the update "
                         "feed is larger than 1048576 bytes."});

    // Plain HTTP is refused before anything is sent.
    remoteFeed = "http://updates.example.com/appcast.xml";
    controller->checkForUpdates();
    runUntilIdle();
    Log::setVerbose(false);
    EXPECT_EQ(requests().size(), 1U);
    EXPECT_TRUE(log.contains("update check ended: the update feed is not an https address"));

    // Without a remote feed the build's own is read; being current is reported too.
    remoteFeed.reset();
    laptop.http().script(Reply::document(appcast({"<u:version>1.4.2</u:version>"})));
    controller->checkForUpdates();
    runUntilIdle();
    EXPECT_EQ(requests().back().url, "https://built-in.example.com/a.xml");
    EXPECT_EQ(shown.back(), "You're up to date | Noctave 1.4.2 is the newest version available.");

    // While the feed has not answered, the adapter says a check runs; the answer ends it.
    EXPECT_FALSE(controller->isChecking());
    controller->checkForUpdates();
    runUntilIdle();
    EXPECT_TRUE(controller->isChecking());
    ASSERT_TRUE(laptop.http().answerPending(Reply::failure("timed out")));
    runUntilIdle();
    EXPECT_FALSE(controller->isChecking());
    EXPECT_EQ(shown.back(), "Noctave could not check for updates | The check failed: timed out.")
        << "a failure the user waits for is answered too";
}

}  // namespace
}  // namespace noctave::app

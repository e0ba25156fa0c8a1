#include "app/AppcastUpdater.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "core/support/AppInfo.hpp"
#include "core/support/UserDefaults.hpp"
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

class RecordingDelegate final : public Updater::Delegate {
  public:
    std::optional<std::string> feedURLString() override { return feed; }
    std::vector<std::string> allowedSystemProfileKeys() override { return {}; }
    bool shouldPromptForPermissionToCheckForUpdates() override { return wantsPrompt; }
    void didFinishUpdateCycle(const std::optional<std::string>& error) override {
        cycles.push_back(error.value_or("ok"));
    }
    void updaterWillInstallUpdate(const std::string& version) override {
        installs.push_back(version);
    }

    std::optional<std::string> feed = "https://updates.example.com/appcast.xml";
    bool wantsPrompt = false;
    std::vector<std::string> cycles;
    std::vector<std::string> installs;
};

class AppcastUpdaterTest : public test::SimTest {
  protected:
    AppcastUpdaterTest() {
        AppInfo::Values values;
        values.shortVersion = "1.4.2";
        values.feedURL = "https://built-in.example.com/appcast.xml";
        values.publicEDKey = "key";
        build_.emplace(values);
    }

    std::unique_ptr<AppcastUpdater> make() {
        return std::make_unique<AppcastUpdater>(delegate, nullptr, [this](const Alert& alert) {
            shown.push_back(alert.message.toStdString() + " | " +
                            alert.informativeText.toStdString());
            return 0;
        });
    }
    std::size_t requestCount() { return laptop.http().requests().size(); }

    std::optional<AppInfo::Override> build_;
    RecordingDelegate delegate;
    std::vector<std::string> shown;
};

TEST(AppcastVersions, NewestItemWinsWhereverItsVersionIsWritten) {
    EXPECT_EQ(AppcastUpdater::newestVersion(appcast({
                  "<title>old</title><enclosure url=\"a\" u:version=\"140\" "
                  "u:shortVersionString=\"1.4.0\"/>",
                  "<u:version>1.10</u:version>",
                  "<u:version>151</u:version><u:shortVersionString>1.9</u:shortVersionString>",
              })),
              "1.10");
    EXPECT_EQ(AppcastUpdater::newestVersion(appcast({"<title>no version</title>"})), std::nullopt);
    EXPECT_EQ(AppcastUpdater::newestVersion(appcast({})), std::nullopt);
    EXPECT_EQ(AppcastUpdater::newestVersion("<rss><channel><item><u:version>2"), std::nullopt)
        << "a truncated or broken document must not yield a version";
    EXPECT_EQ(AppcastUpdater::newestVersion("{\"version\": \"9.9\"}"), std::nullopt);
}

TEST_F(AppcastUpdaterTest, DailyBackgroundCheckTellsOfANewVersionOnce) {
    auto updater = make();
    updater->setAutomaticallyChecksForUpdates(true);
    updater->setUpdateCheckInterval(86400);

    advance(86399);
    EXPECT_EQ(requestCount(), 0U);
    laptop.http().script(
        Reply::document(appcast({"<u:shortVersionString>1.5</u:shortVersionString>"})));
    advance(1);
    runUntilIdle();
    ASSERT_EQ(requestCount(), 1U);
    EXPECT_EQ(laptop.http().requests()[0].url, "https://updates.example.com/appcast.xml");
    ASSERT_EQ(shown.size(), 1U);
    EXPECT_EQ(shown[0],
              "A new version of Noctave is available | Noctave 1.5 is available; you have 1.4.2. "
              "Install it the way you installed Noctave, for example with your package manager.");

    // The next day: same version, no second alert; the feed is asked for again.
    delegate.feed = "https://moved.example.com/feed.xml";
    laptop.http().script(
        Reply::document(appcast({"<u:shortVersionString>1.5</u:shortVersionString>"})));
    advance(86400);
    runUntilIdle();
    ASSERT_EQ(requestCount(), 2U);
    EXPECT_EQ(laptop.http().requests()[1].url, "https://moved.example.com/feed.xml");
    EXPECT_EQ(shown.size(), 1U);
    EXPECT_EQ(delegate.cycles, (std::vector<std::string>{"ok", "ok"}));
    EXPECT_TRUE(delegate.installs.empty()) << "this updater never installs";
}

TEST_F(AppcastUpdaterTest, BackgroundChecksKeepTheirRhythmAcrossRuns) {
    const auto now = runtime::clock().wall();
    UserDefaults::standard().set(AppcastUpdater::lastCheckKey, now - std::chrono::seconds(86000));
    auto updater = make();
    updater->setAutomaticallyChecksForUpdates(true);
    laptop.http().script(Reply::document(appcast({"<u:version>1.4.2</u:version>"})));
    advance(399);
    EXPECT_EQ(requestCount(), 0U);
    advance(1);
    runUntilIdle();
    EXPECT_EQ(requestCount(), 1U);
    EXPECT_TRUE(shown.empty()) << "an up-to-date background check is silent";
}

TEST_F(AppcastUpdaterTest, NoBackgroundChecksWhenOffOrWhenPermissionWouldBeNeeded) {
    auto updater = make();
    updater->setAutomaticallyChecksForUpdates(false);
    advance(3 * 86400);
    delegate.wantsPrompt = true;
    updater->setAutomaticallyChecksForUpdates(true);
    advance(3 * 86400);
    EXPECT_EQ(requestCount(), 0U);

    // The user may still check; being current is reported to them.
    laptop.http().script(Reply::document(appcast({"<u:version>1.4.2</u:version>"})));
    updater->checkForUpdates();
    runUntilIdle();
    EXPECT_EQ(shown, std::vector<std::string>{
                         "You're up to date | Noctave 1.4.2 is the newest version available."});
}

TEST_F(AppcastUpdaterTest, FailedChecksEndTheCycleWithTheReason) {
    auto updater = make();
    laptop.http().script(Reply::document("not found", 404));
    updater->checkForUpdates();
    runUntilIdle();
    laptop.http().script(Reply::failure("Could not resolve host: updates.example.com"));
    updater->checkForUpdates();
    runUntilIdle();
    laptop.http().script(Reply::document(std::string(AppcastUpdater::maxAppcastBytes + 1, ' ')));
    updater->checkForUpdates();
    runUntilIdle();
    EXPECT_EQ(delegate.cycles,
              (std::vector<std::string>{"the update feed answered with status 404",
                                        "Could not resolve host: updates.example.com",
                                        "the update feed is larger than 1048576 bytes"}));
    ASSERT_EQ(shown.size(), 3U);
    EXPECT_EQ(shown[0],
              "Noctave could not check for updates | The check failed: the update feed "
              "answered with status 404.");

    // Plain HTTP is refused before anything is sent, except from this machine.
    delegate.feed = "http://updates.example.com/appcast.xml";
    updater->checkForUpdates();
    EXPECT_EQ(requestCount(), 3U);
    EXPECT_EQ(delegate.cycles.back(), "the update feed is not an https address");
}

TEST_F(AppcastUpdaterTest, WithoutARemoteFeedTheBuiltInOneIsRead) {
    delegate.feed.reset();
    auto updater = make();
    laptop.http().script(Reply::document(appcast({"<u:version>1.4.2</u:version>"})));
    updater->checkForUpdates();
    runUntilIdle();
    ASSERT_EQ(requestCount(), 1U);
    EXPECT_EQ(laptop.http().requests()[0].url, "https://built-in.example.com/appcast.xml");
}

}  // namespace
}  // namespace noctave::app

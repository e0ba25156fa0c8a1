#include "app/UpdateController.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/support/AppInfo.hpp"
#include "core/support/Log.hpp"
#include "core/support/Prefs.hpp"
#include "tests/support/SimTest.hpp"

namespace noctave::app {
namespace {

// Stands in for the update framework: records how it was set up and lets the test ask the
// delegate what the framework would ask.
class RecordingUpdater final : public Updater {
  public:
    explicit RecordingUpdater(Delegate& delegate) : delegate(delegate) {}
    void setSendsSystemProfile(bool sends) override {
        calls.push_back(sends ? "profile" : "no profile");
    }
    bool automaticallyChecksForUpdates() const override { return isAutomatic; }
    void setAutomaticallyChecksForUpdates(bool checks) override {
        isAutomatic = checks;
        calls.push_back(checks ? "auto checks" : "no auto checks");
    }
    void setAutomaticallyDownloadsUpdates(bool downloads) override {
        calls.push_back(downloads ? "auto downloads" : "no auto downloads");
    }
    void setUpdateCheckInterval(double seconds) override {
        calls.push_back("interval " + std::to_string(static_cast<long>(seconds)));
    }
    void checkForUpdates() override { calls.push_back("check"); }

    Delegate& delegate;
    bool isAutomatic = false;
    std::vector<std::string> calls;
};

class UpdateControllerTest : public test::SimTest {
  protected:
    static AppInfo::Values build(std::string feed, std::string key, std::string version = "1.4.2") {
        AppInfo::Values values;
        values.shortVersion = std::move(version);
        values.feedURL = std::move(feed);
        values.publicEDKey = std::move(key);
        return values;
    }

    std::unique_ptr<UpdateController> make() {
        return std::make_unique<UpdateController>(
            [this] { return remoteFeed; },
            [this](Updater::Delegate& delegate) {
                auto updater = std::make_unique<RecordingUpdater>(delegate);
                made = updater.get();
                return updater;
            },
            [this](const Alert& alert) {
                alerts.push_back(alert);
                return 0;
            });
    }

    std::optional<std::string> remoteFeed = "https://updates.example.com/appcast.xml";
    RecordingUpdater* made = nullptr;
    std::vector<Alert> alerts;
};

TEST_F(UpdateControllerTest, UnusableBuildSettingsMeanNoUpdaterAtAll) {
    const std::vector<AppInfo::Values> unusable = {
        build("REPLACE_ME", "key"),
        build("REPLACE_ME_WITH_FEED", "key"),
        build("https://updates.example.com/appcast.xml", ""),
        build("https://updates.example.com/appcast.xml", "REPLACE_ME"),
        build("", "key"),
        build("no address at all", "key"),
    };
    for (const auto& values : unusable) {
        AppInfo::Override override(values);
        log.clear();
        auto controller = make();
        EXPECT_FALSE(controller->isConfigured()) << values.feedURL << " / " << values.publicEDKey;
        EXPECT_FALSE(controller->hasUpdater());
        EXPECT_EQ(made, nullptr);
        EXPECT_EQ(log.lines(),
                  std::vector<std::string>{"INF no update feed configured in this build"});
    }
}

TEST_F(UpdateControllerTest, MissingFeedAlertNamesTheVersion) {
    {
        AppInfo::Override override(build("REPLACE_ME", "", "1.4.2"));
        make()->explainMissingFeed();
    }
    {
        AppInfo::Override override(build("", "", ""));
        make()->explainMissingFeed();
    }
    ASSERT_EQ(alerts.size(), 2U);
    EXPECT_EQ(alerts[0].message.toStdString(), "This build has no update source");
    EXPECT_EQ(alerts[0].informativeText.toStdString(),
              "Noctave 1.4.2 was built without an update feed, which is normal for a build you "
              "compiled yourself. Released builds update themselves.");
    EXPECT_EQ(alerts[0].style, Alert::Style::informational);
    EXPECT_EQ(alerts[0].buttons, QStringList{QStringLiteral("OK")});
    EXPECT_TRUE(alerts[1].informativeText.startsWith(QStringLiteral("Noctave 0.0.0 was built")));
}

TEST_F(UpdateControllerTest, ConfiguredBuildStartsTheUpdaterWithTheProgramsPolicy) {
    AppInfo::Override override(build("https://example.com/appcast.xml", "key"));
    Prefs::setAutomaticUpdates(false);
    auto controller = make();
    ASSERT_TRUE(controller->isConfigured());
    ASSERT_NE(made, nullptr);
    EXPECT_EQ(controller->updater(), made);
    EXPECT_EQ(made->calls, (std::vector<std::string>{"no profile", "no auto checks",
                                                     "no auto downloads", "interval 86400"}));
    EXPECT_EQ(log.lines(), std::vector<std::string>{
                               "INF updater ready (feed https://updates.example.com/appcast.xml)"});

    controller->checkForUpdates();
    EXPECT_EQ(made->calls.back(), "check");

    Prefs::setAutomaticUpdates(true);
    remoteFeed.reset();
    log.clear();
    controller = make();
    EXPECT_TRUE(made->isAutomatic);
    EXPECT_EQ(log.lines(), std::vector<std::string>{"INF updater ready (feed  - )"});
}

TEST_F(UpdateControllerTest, AnswersTheUpdatersQuestionsAtEveryAsking) {
    AppInfo::Override override(build("https://example.com/appcast.xml", "key"));
    auto controller = make();
    ASSERT_NE(made, nullptr);
    Updater::Delegate& delegate = made->delegate;

    EXPECT_EQ(delegate.feedURLString(), "https://updates.example.com/appcast.xml");
    remoteFeed = "https://moved.example.com/feed.xml";
    EXPECT_EQ(delegate.feedURLString(), "https://moved.example.com/feed.xml");
    remoteFeed.reset();
    EXPECT_EQ(delegate.feedURLString(), std::nullopt);
    EXPECT_TRUE(delegate.allowedSystemProfileKeys().empty());
    EXPECT_FALSE(delegate.shouldPromptForPermissionToCheckForUpdates());

    Log::setVerbose(true);
    log.clear();
    delegate.didFinishUpdateCycle(std::nullopt);
    delegate.didFinishUpdateCycle("the update feed answered with status 404");
    Log::setVerbose(false);
    EXPECT_EQ(log.lines(), std::vector<std::string>{
                               "DBG update check ended: the update feed answered with status 404"});
}

TEST_F(UpdateControllerTest, InstallIsAnnouncedAndTheProgramReadiedBeforeItProceeds) {
    AppInfo::Override override(build("https://example.com/appcast.xml", "key"));
    auto controller = make();
    ASSERT_NE(made, nullptr);
    std::vector<std::string> seenWhenCalled;
    controller->willInstallUpdate = [&] { seenWhenCalled = log.lines(); };
    log.clear();
    made->delegate.updaterWillInstallUpdate("2.0");
    EXPECT_EQ(seenWhenCalled, std::vector<std::string>{"INF installing update 2.0"});

    // Without a callback the announcement still happens.
    controller->willInstallUpdate = nullptr;
    made->delegate.updaterWillInstallUpdate("2.1");
    EXPECT_TRUE(log.contains("installing update 2.1"));
}

}  // namespace
}  // namespace noctave::app

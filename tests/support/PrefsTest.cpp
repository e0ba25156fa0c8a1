#include "core/support/Prefs.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "core/support/UserDefaults.hpp"
#include "tests/support/SimTest.hpp"

namespace noctave {
namespace {

namespace fs = std::filesystem;

class PrefsTest : public test::SimTest {
  protected:
    fs::path file() const { return UserDefaults::standard().file(); }
    void writeFromOutside(const std::string& text) {
        fs::create_directories(file().parent_path());
        std::ofstream(file(), std::ios::binary | std::ios::trunc) << text;
    }
    std::string fileText() const {
        std::ifstream in(file());
        std::ostringstream out;
        out << in.rdbuf();
        return out.str();
    }
};

TEST_F(PrefsTest, FreshUserReadsEveryDefaultAndNothingIsWritten) {
    EXPECT_TRUE(Prefs::armWithGesture());
    EXPECT_TRUE(Prefs::armWithRightClick());
    EXPECT_TRUE(Prefs::armWithShortcut());
    EXPECT_FALSE(Prefs::stayOnAfterOpeningLid());
    EXPECT_TRUE(Prefs::disarmOnLowBattery());
    EXPECT_EQ(Prefs::lowBatteryPercent(), 20);
    EXPECT_FALSE(Prefs::keepAwake());
    EXPECT_FALSE(Prefs::openAtLogin());
    EXPECT_FALSE(Prefs::verboseLogging());
    EXPECT_TRUE(Prefs::automaticUpdates());
    EXPECT_FALSE(Prefs::hasSeenOnboarding());
    EXPECT_FALSE(fs::exists(file())) << "registered defaults are never saved";
}

TEST_F(PrefsTest, WritesUseTheStoredKeyNamesAndSurviveANewStore) {
    Prefs::setKeepAwake(true);
    Prefs::setLowBatteryPercent(35);
    Prefs::setArmWithGesture(false);
    const std::string text = fileText();
    EXPECT_NE(text.find("keepAwakeWithLidOpen = true\n"), std::string::npos) << text;
    EXPECT_NE(text.find("lowBatteryDisarmPercent = 35\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("armWithRightClick"), std::string::npos) << "defaults stay unwritten";

    // A new process: another store over the same file, defaults registered again.
    UserDefaults restarted(file());
    restarted.registerDefaults({{"keepAwakeWithLidOpen", false}, {"armWithGesture", true}});
    EXPECT_TRUE(restarted.boolForKey("keepAwakeWithLidOpen"));
    EXPECT_FALSE(restarted.boolForKey("armWithGesture"));
    EXPECT_EQ(restarted.integerForKey("lowBatteryDisarmPercent"), 35);
}

TEST_F(PrefsTest, AValueWrittenFromOutsideIsSeenByTheNextRead) {
    EXPECT_EQ(Prefs::lowBatteryPercent(), 20);
    writeFromOutside("lowBatteryDisarmPercent = 70\n");
    EXPECT_EQ(Prefs::lowBatteryPercent(), 70) << "not range-checked";
    writeFromOutside("lowBatteryDisarmPercent = 70\nverboseLogging = true\n");
    EXPECT_TRUE(Prefs::verboseLogging());
    EXPECT_FALSE(Log::verbose()) << "reading the setting does not switch the log";
    Prefs::setVerboseLogging(true);
    EXPECT_TRUE(Log::verbose());
}

TEST_F(PrefsTest, TypesAreKeptThroughTheFile) {
    auto& store = UserDefaults::standard();
    const auto when = runtime.clock().wall() + std::chrono::milliseconds(7);
    store.set("remoteFeedURL", std::string("https://example.org/a \"quoted\"\\path\n"));
    store.set("remoteConfigFetchedAt", when);
    store.set("remoteNoticeSeen", std::string("notice-7"));
    UserDefaults again(file());
    EXPECT_EQ(again.stringForKey("remoteFeedURL"), "https://example.org/a \"quoted\"\\path\n");
    EXPECT_EQ(again.dateForKey("remoteConfigFetchedAt"), when);
    EXPECT_FALSE(again.dateForKey("remoteNoticeSeen").has_value());
    EXPECT_TRUE(again.remove("remoteNoticeSeen"));
    EXPECT_FALSE(UserDefaults(file()).object("remoteNoticeSeen").has_value());
}

TEST_F(PrefsTest, AnUnreadableFileIsKeptAsideNotOverwritten) {
    writeFromOutside("armWithGesture = false\nthis line is not a setting\n");
    EXPECT_TRUE(Prefs::armWithGesture()) << "falls back to the defaults";
    EXPECT_EQ(log.count("settings file unreadable (line 2: expected key = value); using defaults, "
                        "kept it as " +
                        file().string() + ".bad"),
              1u);
    fs::path aside = file();
    aside += ".bad";
    EXPECT_TRUE(fs::exists(aside));
    Prefs::setKeepAwake(true);
    EXPECT_TRUE(fs::exists(aside)) << "the user's file is still there after our next write";
    EXPECT_TRUE(Prefs::keepAwake());
}

TEST(UserDefaultsFormatTest, RejectsWhatItCannotReadAndAcceptsWhatItWrites) {
    std::string error;
    EXPECT_FALSE(UserDefaults::parse("a = maybe\n", &error));
    EXPECT_FALSE(UserDefaults::parse("a = \"unterminated\n", &error));
    EXPECT_FALSE(UserDefaults::parse("bad key = 1\n", &error));
    EXPECT_FALSE(UserDefaults::parse("a = 12abc\n", &error));
    auto parsed = UserDefaults::parse("# comment\n\n  a = -3  \nb=true\nc = \"x\"\n", &error);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(std::get<int64_t>(parsed->at("a")), -3);
    EXPECT_EQ(std::get<bool>(parsed->at("b")), true);
    auto again = UserDefaults::parse(UserDefaults::serialize(*parsed), &error);
    ASSERT_TRUE(again);
    EXPECT_EQ(*again, *parsed);
}

}  // namespace
}  // namespace noctave

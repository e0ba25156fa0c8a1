#include "core/support/Prefs.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>

#include "core/support/UserDefaults.hpp"
#include "tests/support/ChildProcess.hpp"
#include "tests/support/SimTest.hpp"
#include "tests/support/TempDir.hpp"

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
    std::string fileText() const { return test::readFile(file()); }
};

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
    EXPECT_FALSE(fs::exists(file())) << "registered defaults are never saved";
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
    // A remote notice id may hold any character JSON can carry, NUL included.
    const std::string oddId("e\0\x01\x7f-7", 6);
    store.set("remoteNoticeSeen", oddId);
    UserDefaults again(file());
    EXPECT_EQ(again.stringForKey("remoteNoticeSeen"), oddId);
    EXPECT_EQ(again.stringForKey("remoteFeedURL"), "https://example.org/a \"quoted\"\\path\n");
    EXPECT_EQ(again.dateForKey("remoteConfigFetchedAt"), when);
    EXPECT_FALSE(again.dateForKey("remoteNoticeSeen").has_value());
    EXPECT_TRUE(again.remove("remoteNoticeSeen"));
    EXPECT_FALSE(UserDefaults(file()).object("remoteNoticeSeen").has_value());
}

// What the user wrote survives every launch: a write happens only when a value changes, edits
// only that line, and goes through a link to the file it names.
TEST_F(PrefsTest, OnlyARealChangeWritesAndItKeepsCommentsOrderAndLinks) {
    const std::string mine =
        "# my settings\n\nkeepAwakeWithLidOpen = true   # at the office\n"
        "armWithGesture = false\nsomeday = maybe\n";
    const fs::path target = temp.path() / "dotfiles" / "noctave.conf";
    fs::create_directories(target.parent_path());
    std::ofstream(target) << mine;
    fs::create_directories(file().parent_path());
    fs::create_symlink(target, file());
    const auto stamp = fs::last_write_time(target);

    // The launch forces automatic updates on, which they already are by default.
    Prefs::setAutomaticUpdates(true);
    Prefs::setArmWithGesture(false);
    EXPECT_EQ(fs::last_write_time(target), stamp);
    EXPECT_TRUE(fs::is_symlink(file()));

    Prefs::setLowBatteryPercent(35);
    Prefs::setArmWithGesture(true);
    EXPECT_TRUE(fs::is_symlink(file())) << "the link is the user's";
    EXPECT_EQ(test::readFile(target),
              "# my settings\n\nkeepAwakeWithLidOpen = true   # at the office\n"
              "armWithGesture = true\nsomeday = maybe\nlowBatteryDisarmPercent = 35\n");
    EXPECT_FALSE(Prefs::keepAwake()) << "a comment after a value makes it unreadable";
    EXPECT_EQ(log.count("settings file line 3 ignored (unreadable value for keepAwakeWithLidOpen)"),
              1u)
        << "said once, not at every read";
}

// A bad line costs only its own key; a file that is not text is moved aside under a name that
// never replaces an earlier copy.
TEST_F(PrefsTest, ABadValueCostsOnlyItsKeyAndEarlierBadCopiesAreKept) {
    writeFromOutside(
        "lowBatteryDisarmPercent = 99999999999999999999\nkeepAwakeWithLidOpen = true\n"
        "this line is not a setting\nverboseLogging = true\n");
    EXPECT_EQ(Prefs::lowBatteryPercent(), 20);
    EXPECT_TRUE(Prefs::keepAwake());
    EXPECT_TRUE(Prefs::verboseLogging());
    EXPECT_EQ(log.count("settings file line 1 ignored (unreadable value for "
                        "lowBatteryDisarmPercent)"),
              1u);
    EXPECT_EQ(log.count("settings file line 3 ignored (expected key = value)"), 1u);
    EXPECT_FALSE(fs::exists(file().string() + ".bad"));

    const fs::path bad = file().string() + ".bad";
    const fs::path bad2 = file().string() + ".bad.2";
    writeFromOutside(std::string("\x89PNG\r\n\x1a\n\0\0", 10));
    EXPECT_FALSE(Prefs::keepAwake());
    writeFromOutside(std::string("armWithGesture = false\n\xff\xfe", 25));
    EXPECT_TRUE(Prefs::armWithGesture());
    EXPECT_EQ(fs::file_size(bad), 10u) << "the first copy is kept";
    EXPECT_EQ(fs::file_size(bad2), 25u);
    EXPECT_EQ(log.count("settings file unreadable (not text); using defaults, kept it as " +
                        bad2.string()),
              1u);
    Prefs::setKeepAwake(true);
    EXPECT_TRUE(Prefs::keepAwake());
    EXPECT_EQ(fs::file_size(bad), 10u);
}

// A file the user cannot read is never written over: the store runs on defaults in memory. Root
// reads anything, so the permission case runs in a child that has become "nobody"; a folder in
// the file's place is unreadable to everyone.
TEST_F(PrefsTest, AFileThatCannotBeReadIsNeverWrittenOver) {
    const std::string mine = "keepAwakeWithLidOpen = true\nlowBatteryDisarmPercent = 40\n";
    const fs::path folder = temp.path() / "nobody";
    fs::create_directories(folder);
    const fs::path locked = folder / "com.quillor.noctave.conf";
    std::ofstream(locked) << mine;
    constexpr uid_t kNobody = 65534;
    fs::permissions(temp.path(), fs::perms::others_exec, fs::perm_options::add);
    ASSERT_EQ(::chown(folder.c_str(), kNobody, kNobody), 0);
    ASSERT_EQ(::chown(locked.c_str(), kNobody, kNobody), 0);
    ::chmod(locked.c_str(), 0);

    test::ChildProcess child([&] {
        if (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) {
            return 100;
        }
        UserDefaults store(locked);
        store.registerDefaults({{"automaticUpdates", true}, {"lowBatteryDisarmPercent", 20}});
        int wrong = 0;
        wrong |= store.integerForKey("lowBatteryDisarmPercent") == 20 ? 0 : 1;
        wrong |= store.set("automaticUpdates", false) ? 2 : 0;
        wrong |= store.set("keepAwakeWithLidOpen", false) ? 4 : 0;
        wrong |= store.boolForKey("automaticUpdates") ? 8 : 0;  // kept in memory
        wrong |= log.count(
                     "settings file unreadable (Permission denied); using defaults, "
                     "leaving " +
                     locked.string() + " as it is") == 1
                     ? 0
                     : 16;
        return wrong;
    });
    EXPECT_EQ(child.wait().status, 0) << "bits: 1 default, 2 4 written, 8 memory, 16 log";
    EXPECT_EQ(test::readFile(locked), mine);
    EXPECT_EQ(fs::status(locked).permissions(), fs::perms::none);
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1);

    fs::create_directories(file() / "inside");
    EXPECT_FALSE(Prefs::keepAwake());
    Prefs::setKeepAwake(true);
    EXPECT_TRUE(Prefs::keepAwake());
    EXPECT_TRUE(fs::exists(file() / "inside"));
    EXPECT_EQ(log.count("settings file unreadable (Is a directory); using defaults, leaving " +
                        file().string() + " as it is"),
              1u);
    // Readable again: the file is read, and written from then on.
    fs::remove_all(file());
    writeFromOutside("lowBatteryDisarmPercent = 45\n");
    EXPECT_EQ(Prefs::lowBatteryPercent(), 45);
    EXPECT_FALSE(Prefs::keepAwake());

    // A FIFO in its place is not read: no start waits for a writer that never comes.
    fs::remove_all(file());
    ASSERT_EQ(::mkfifo(file().c_str(), 0600), 0);
    Prefs::keepAwake();
    EXPECT_EQ(log.count("settings file unreadable (not a regular file); using defaults, leaving " +
                        file().string() + " as it is"),
              1u);
}

// The temporary file a write goes through is named after the writer: a FIFO planted at that
// name held every settings change (on the main thread) in open().
TEST_F(PrefsTest, AFifoAtTheTemporaryNameIsMovedAsideAndTheWriteGoesOn) {
    writeFromOutside("lowBatteryDisarmPercent = 45\n");
    const fs::path temporary = file().string() + ".tmp." + std::to_string(::getpid());
    ASSERT_EQ(::mkfifo(temporary.c_str(), 0600), 0);
    Prefs::setKeepAwake(true);
    EXPECT_EQ(fileText(), "lowBatteryDisarmPercent = 45\nkeepAwakeWithLidOpen = true\n");
    EXPECT_TRUE(fs::is_fifo(temporary.string() + ".bad"));
    EXPECT_FALSE(fs::exists(temporary));
    EXPECT_EQ(log.count("settings file: " + temporary.string() +
                        " was not a file of ours; moved aside to " + temporary.string() + ".bad"),
              1u);
}

TEST(UserDefaultsFormatTest, RejectsWhatItCannotReadAndReadsCommentsBlanksAndSpaces) {
    std::string error;
    EXPECT_FALSE(UserDefaults::parse("a = maybe\n", &error));
    EXPECT_FALSE(UserDefaults::parse("a = \"unterminated\n", &error));
    EXPECT_FALSE(UserDefaults::parse("bad key = 1\n", &error));
    EXPECT_FALSE(UserDefaults::parse("a = 12abc\n", &error));
    auto parsed = UserDefaults::parse("# comment\n\n  a = -3  \nb=true\nc = \"x\"\n", &error);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(std::get<int64_t>(parsed->at("a")), -3);
    EXPECT_EQ(std::get<bool>(parsed->at("b")), true);
}

}  // namespace
}  // namespace noctave

#include "app/LoginItem.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include "tests/integration/EnvironmentOverride.hpp"
#include "tests/support/LogCapture.hpp"
#include "tests/support/TempDir.hpp"

namespace noctave::app {
namespace {

namespace fs = std::filesystem;

using test::EnvironmentOverride;

std::string read(const fs::path& file) {
    std::ifstream in(file);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class LoginItemTest : public ::testing::Test {
  protected:
    fs::path userEntry() const {
        return temp_.path() / "config" / "autostart" / LoginItem::kEntryName;
    }
    fs::path systemEntry() const {
        return temp_.path() / "xdg" / "autostart" / LoginItem::kEntryName;
    }

    test::TempDir temp_;
    EnvironmentOverride configHome_{"XDG_CONFIG_HOME", (temp_.path() / "config").string()};
    EnvironmentOverride configDirs_{"XDG_CONFIG_DIRS",
                                    "relative/ignored:" + (temp_.path() / "xdg").string()};
    test::LogCapture log_;
};

TEST_F(LoginItemTest, EnableWritesAnEntryForThisProgramOnceAndDisableRemovesIt) {
    EXPECT_FALSE(LoginItem::isEnabled());
    LoginItem::setEnabled(true);
    ASSERT_TRUE(fs::exists(userEntry()));
    EXPECT_TRUE(LoginItem::isEnabled());
    const std::string entry = read(userEntry());
    EXPECT_TRUE(entry.starts_with("[Desktop Entry]\n"));
    EXPECT_NE(
        entry.find("\nExec=" + *LoginItem::execValue(fs::read_symlink("/proc/self/exe")) + "\n"),
        std::string::npos)
        << entry;
    // No temporary file is left beside it.
    EXPECT_EQ(
        std::distance(fs::directory_iterator(userEntry().parent_path()), fs::directory_iterator()),
        1);

    // Already enabled: logged again, the file is not rewritten.
    struct stat before {};
    ASSERT_EQ(::stat(userEntry().c_str(), &before), 0);
    LoginItem::setEnabled(true);
    struct stat after {};
    ASSERT_EQ(::stat(userEntry().c_str(), &after), 0);
    EXPECT_EQ(before.st_ino, after.st_ino);
    EXPECT_EQ(log_.count("login item registered"), 2U);

    LoginItem::setEnabled(false);
    EXPECT_FALSE(fs::exists(userEntry()));
    EXPECT_FALSE(LoginItem::isEnabled());
    LoginItem::setEnabled(false);
    EXPECT_EQ(log_.lines(),
              (std::vector<std::string>{"INF login item registered", "INF login item registered",
                                        "INF login item removed", "INF login item removed"}));
}

TEST_F(LoginItemTest, SystemWideEntryIsHiddenRatherThanRemoved) {
    fs::create_directories(systemEntry().parent_path());
    std::ofstream(systemEntry()) << "[Desktop Entry]\nType=Application\nExec=noctave\n";
    EXPECT_TRUE(LoginItem::isEnabled());

    LoginItem::setEnabled(false);
    EXPECT_FALSE(LoginItem::isEnabled());
    EXPECT_NE(read(userEntry()).find("\nHidden=true\n"), std::string::npos);
    EXPECT_TRUE(fs::exists(systemEntry()));

    // The hidden entry of the user's counts as off, so enabling writes a real one.
    LoginItem::setEnabled(true);
    EXPECT_TRUE(LoginItem::isEnabled());
    EXPECT_EQ(read(userEntry()).find("Hidden"), std::string::npos);
}

TEST_F(LoginItemTest, EntrySwitchedOffByTheDesktopCountsAsNotEnabled) {
    fs::create_directories(userEntry().parent_path());
    std::ofstream(userEntry()) << "[Desktop Entry]\nExec=x\nX-GNOME-Autostart-enabled=false\n"
                                  "[Desktop Action other]\nHidden=false\n";
    EXPECT_FALSE(LoginItem::isEnabled());
    LoginItem::setEnabled(true);
    EXPECT_TRUE(LoginItem::isEnabled());
}

TEST_F(LoginItemTest, UnwritableFolderIsLoggedAndLeavesItOff) {
    // A file where the config folder should be: no folder can be made below it.
    std::ofstream(temp_.path() / "blocked") << "";
    EnvironmentOverride blocked{"XDG_CONFIG_HOME", (temp_.path() / "blocked").string()};
    LoginItem::setEnabled(true);
    ASSERT_EQ(log_.lines().size(), 1U);
    EXPECT_TRUE(log_.lines()[0].starts_with("WRN login item change failed: Could not create"))
        << log_.lines()[0];
    EXPECT_FALSE(LoginItem::isEnabled());
}

TEST(LoginItemExec, PathsAreQuotedAndEscapedForTheDesktop) {
    EXPECT_EQ(LoginItem::execValue("/usr/bin/noctave"), "/usr/bin/noctave");
    EXPECT_EQ(LoginItem::execValue("/opt/My Apps/noc$tave"), "\"/opt/My Apps/noc\\\\$tave\"");
    EXPECT_EQ(LoginItem::execValue("/opt/100%/noctave"), "/opt/100%%/noctave");
    EXPECT_EQ(LoginItem::execValue("/opt/a\"b\\c"), "\"/opt/a\\\\\"b\\\\\\\\c\"");
    EXPECT_EQ(LoginItem::execValue("/opt/line\nbreak"), std::nullopt);
}

}  // namespace
}  // namespace noctave::app

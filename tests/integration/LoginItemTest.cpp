#include "app/integration/LoginItem.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "tests/support/LogCapture.hpp"
#include "tests/support/ScopedVariable.hpp"
#include "tests/support/SimTest.hpp"
#include "tests/support/TempDir.hpp"

namespace noctave::app {
namespace {

namespace fs = std::filesystem;

class LoginItemTest : public ::testing::Test {
  protected:
    std::string userEntry() {
        return test::readFile(temp_.path() / "config/autostart" / LoginItem::kEntryName);
    }
    void writeEntry(const char* folder, const std::string& text) {
        fs::create_directories(temp_.path() / folder / "autostart");
        std::ofstream(temp_.path() / folder / "autostart" / LoginItem::kEntryName) << text;
    }

    test::TempDir temp_;
    test::ScopedVariable configHome_{"XDG_CONFIG_HOME", (temp_.path() / "config").string()};
    test::ScopedVariable configDirs_{"XDG_CONFIG_DIRS",
                                     "relative/ignored:" + (temp_.path() / "xdg").string()};
    test::LogCapture log_;
};

TEST_F(LoginItemTest, EnableWritesAnEntryForThisProgramAndDisableRemovesIt) {
    EXPECT_FALSE(LoginItem::isEnabled());
    LoginItem::setEnabled(true);
    EXPECT_TRUE(LoginItem::isEnabled());
    const std::string entry = userEntry();
    EXPECT_TRUE(entry.starts_with("[Desktop Entry]\n"));
    EXPECT_NE(
        entry.find("\nExec=" + *LoginItem::execValue(fs::read_symlink("/proc/self/exe")) + "\n"),
        std::string::npos)
        << entry;
    LoginItem::setEnabled(true);
    LoginItem::setEnabled(false);
    EXPECT_FALSE(LoginItem::isEnabled());
    EXPECT_TRUE(fs::is_empty(temp_.path() / "config/autostart")) << "no file may be left behind";
    LoginItem::setEnabled(false);
    EXPECT_EQ(log_.lines(),
              (std::vector<std::string>{"INF login item registered", "INF login item registered",
                                        "INF login item removed", "INF login item removed"}));
}

TEST_F(LoginItemTest, SystemWideEntryIsHiddenRatherThanRemoved) {
    writeEntry("xdg", "[Desktop Entry]\nType=Application\nExec=noctave\n");
    EXPECT_TRUE(LoginItem::isEnabled());
    LoginItem::setEnabled(false);
    EXPECT_FALSE(LoginItem::isEnabled());
    EXPECT_NE(userEntry().find("\nHidden=true\n"), std::string::npos);
    LoginItem::setEnabled(true);
    EXPECT_TRUE(LoginItem::isEnabled());
    EXPECT_EQ(userEntry().find("Hidden"), std::string::npos);

    // Switched off by the desktop's own key; a key of another group does not count.
    writeEntry("config",
               "[Desktop Entry]\nExec=x\nX-GNOME-Autostart-enabled=false\n"
               "[Desktop Action other]\nHidden=false\n");
    EXPECT_FALSE(LoginItem::isEnabled());
}

TEST_F(LoginItemTest, UnwritableFolderIsLoggedAndLeavesItOff) {
    fs::create_directories(temp_.path() / "config");
    std::ofstream(temp_.path() / "config/autostart") << "";  // a file where a folder is needed
    LoginItem::setEnabled(true);
    ASSERT_EQ(log_.lines().size(), 1U);
    EXPECT_TRUE(log_.lines()[0].starts_with("WRN login item change failed: Could not create"))
        << log_.lines()[0];
    EXPECT_FALSE(LoginItem::isEnabled());
}

// On the virtual laptop the switch lives in the laptop's own folder: the user's desktop never
// sees an entry that would start this build at the next login.
class LoginItemOnTheVirtualLaptop : public test::SimTest {
  protected:
    test::TempDir desktop_;
    test::ScopedVariable configHome_{"XDG_CONFIG_HOME", (desktop_.path() / "config").string()};
    test::ScopedVariable configDirs_{"XDG_CONFIG_DIRS", (desktop_.path() / "xdg").string()};
};

TEST_F(LoginItemOnTheVirtualLaptop, TheSwitchWorksAndTheUsersAutostartIsNeverTouched) {
    fs::create_directories(desktop_.path() / "xdg/autostart");
    std::ofstream(desktop_.path() / "xdg/autostart" / LoginItem::kEntryName)
        << "[Desktop Entry]\nType=Application\nExec=noctave\n";
    EXPECT_FALSE(LoginItem::isEnabled()) << "the desktop's system-wide entry is not the laptop's";
    LoginItem::setEnabled(true);
    EXPECT_TRUE(LoginItem::isEnabled());
    EXPECT_TRUE(fs::exists(temp.path() / "config/autostart" / LoginItem::kEntryName));
    LoginItem::setEnabled(false);
    EXPECT_FALSE(LoginItem::isEnabled());
    EXPECT_FALSE(fs::exists(desktop_.path() / "config"));
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

#include "core/support/AppInfo.hpp"

#include <gtest/gtest.h>

namespace noctave {
namespace {

// The placeholders themselves are refused by the update and remote-config tests.
TEST(AppInfoTest, EmptyValuesFallBackAPlaceholderOnlyCountsLeadingAndABetaSaysSo) {
    EXPECT_TRUE(AppInfo::isConfigured(" REPLACE_ME"));
    {
        AppInfo::Override none({});
        EXPECT_EQ(AppInfo::version(), "1.0.0");
        EXPECT_EQ(AppInfo::shortVersion(), "0.0.0");
        EXPECT_FALSE(AppInfo::configURL());
    }
    AppInfo::Values beta;
    beta.shortVersion = "2.3.1";
    beta.beta = true;
    beta.feedURL = "REPLACE_ME";
    beta.configURL = "https://config.example.org/noctave.json";
    AppInfo::Override override(beta);
    EXPECT_EQ(AppInfo::version(), "2.3.1 Beta");
    EXPECT_EQ(AppInfo::shortVersion(), "2.3.1");
    EXPECT_FALSE(AppInfo::feedURL());
    EXPECT_EQ(AppInfo::configURL(), "https://config.example.org/noctave.json");
}

}  // namespace
}  // namespace noctave

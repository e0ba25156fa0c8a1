#include "core/support/AppInfo.hpp"

#include <gtest/gtest.h>

namespace noctave {
namespace {

TEST(AppInfoTest, InformationDictionaryRule) {
    EXPECT_FALSE(AppInfo::isConfigured(""));
    EXPECT_FALSE(AppInfo::isConfigured("REPLACE_ME"));
    EXPECT_FALSE(AppInfo::isConfigured("REPLACE_ME_WITH_FEED"));
    EXPECT_TRUE(AppInfo::isConfigured("https://example.org/feed.xml"));
    EXPECT_TRUE(AppInfo::isConfigured(" REPLACE_ME")) << "only a leading marker counts";
}

TEST(AppInfoTest, VersionFallbacksAndBetaSuffix) {
    {
        AppInfo::Override none({});
        EXPECT_EQ(AppInfo::version(), "1.0.0");
        EXPECT_EQ(AppInfo::shortVersion(), "0.0.0");
        EXPECT_FALSE(AppInfo::configURL());
        EXPECT_FALSE(AppInfo::feedURL());
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

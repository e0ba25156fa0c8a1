#include "platform/sim/VirtualLaptop.hpp"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "platform/sim/SimProcesses.hpp"
#include "tests/support/TempDir.hpp"

namespace noctave::sim {
namespace {

TEST(VirtualLaptopTest, ConfigureAppliesKnownKeysAndNamesTheFirstBadPiece) {
    test::TempDir temp;
    VirtualLaptop laptop(temp.path());
    std::string error;
    EXPECT_TRUE(laptop.configure("boottime=1700000000", &error));
    EXPECT_EQ(laptop.processes().bootTime(), 1700000000);
    EXPECT_TRUE(laptop.configure(" , boottime = 5 ,", &error)) << "spaces and empty pieces";
    EXPECT_EQ(laptop.processes().bootTime(), 5);

    EXPECT_FALSE(laptop.configure("boottime=1,warp=9", &error));
    EXPECT_EQ(error, "unknown NOCTAVE_SIM key: warp");
    EXPECT_FALSE(laptop.configure("boottime=soon", &error));
    EXPECT_EQ(error, "bad NOCTAVE_SIM value for boottime: soon");
    EXPECT_FALSE(laptop.configure("boottime", &error));
    EXPECT_EQ(error, "bad NOCTAVE_SIM value for boottime: ");
    // Out of range is as bad as unreadable, at both ends of every counted key.
    for (const char* bad :
         {"angle=999", "angle=-1", "battery=101", "externals=9", "thermal=300", "thermal=80/999"}) {
        SCOPED_TRACE(bad);
        const std::string_view text(bad);
        const auto equals = text.find('=');
        EXPECT_FALSE(laptop.configure(bad, &error));
        EXPECT_EQ(error, "bad NOCTAVE_SIM value for " + std::string(text.substr(0, equals)) + ": " +
                             std::string(text.substr(equals + 1)));
    }
    EXPECT_TRUE(laptop.configure("angle=360,battery=100,externals=8,thermal=200/200", &error))
        << error;
}

TEST(VirtualLaptopTest, OwnTemporaryFolderGoesAwayWithTheLaptop) {
    std::filesystem::path root;
    {
        VirtualLaptop laptop;
        root = laptop.root();
        EXPECT_TRUE(std::filesystem::is_directory(root));
    }
    EXPECT_FALSE(std::filesystem::exists(root));
}

}  // namespace
}  // namespace noctave::sim

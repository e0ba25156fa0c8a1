#include "platform/sim/VirtualLaptop.hpp"

#include <gtest/gtest.h>

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

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include <QImage>

#include "app/tray/MenuBarIcon.hpp"
#include "tests/app/ShellTest.hpp"
#include "tests/support/TempDir.hpp"

namespace noctave::test {
namespace {

namespace fs = std::filesystem;
namespace Icon = app::MenuBarIcon;

class MenuBarIconTest : public ::testing::Test {
  protected:
    MenuBarIconTest() {
        ensureApplication();
        Icon::setResourceDirectory(temp.path() / "no-resources");
    }
    ~MenuBarIconTest() override { Icon::setResourceDirectory(std::nullopt); }

    QImage load(const fs::path& path) { return QImage(QString::fromStdString(path.string())); }

    TempDir temp;
};

bool isEmberOrange(const Rgba& p) {
    return p.a == 255 && p.r == 255 && std::abs(p.g - 87) <= 3 && std::abs(p.b - 10) <= 3;
}

TEST_F(MenuBarIconTest,
       IconSetWritesTheTenSizesInTableOrderWithTheDrawnEmberAndStopsAtTheFirstFailure) {
    const fs::path out = temp.path() / "a" / "set";
    std::string error;
    ASSERT_TRUE(Icon::writeAppIconSet(out, temp.path() / "missing.png", &error)) << error;
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(out)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    const std::vector<std::string> expected = {
        "icon_128x128.png", "icon_128x128@2x.png", "icon_16x16.png", "icon_16x16@2x.png",
        "icon_256x256.png", "icon_256x256@2x.png", "icon_32x32.png", "icon_32x32@2x.png",
        "icon_512x512.png", "icon_512x512@2x.png"};
    EXPECT_EQ(names, expected);

    for (const auto& [name, pixels] : {std::pair{"icon_16x16.png", 16},
                                       {"icon_32x32@2x.png", 64},
                                       {"icon_512x512@2x.png", 1024}}) {
        SCOPED_TRACE(name);
        const QImage image = load(out / name);
        ASSERT_EQ(image.size(), QSize(pixels, pixels));
        // The filled ember in the middle of the dark tile; the corners lie outside the tile.
        if (pixels >= 64) {
            EXPECT_TRUE(isEmberOrange(pixelAt(image, pixels / 2, pixels / 2)));
            EXPECT_LT(pixelAt(image, pixels / 2, pixels / 10).r, 60);
        }
        EXPECT_EQ(pixelAt(image, 0, 0).a, 0);
        EXPECT_EQ(pixelAt(image, pixels - 1, pixels - 1).a, 0);
    }

    // A folder where the fifth file goes: the four before it are written, nothing after.
    fs::remove_all(out);
    fs::create_directories(out / "icon_128x128.png");
    EXPECT_FALSE(Icon::writeAppIconSet(out, std::nullopt, &error));
    EXPECT_FALSE(error.empty());
    EXPECT_TRUE(fs::is_regular_file(out / "icon_32x32@2x.png"));
    EXPECT_FALSE(fs::exists(out / "icon_128x128@2x.png"));
}

// The menu bar's own marks are told apart through the tray in the delegate's tests.
TEST_F(MenuBarIconTest, PreviewShowsTheOutlineLeftAndTheFilledMarkRight) {
    const fs::path file = temp.path() / "preview.png";
    std::string error;
    ASSERT_TRUE(Icon::writeMenuBarPreview(file, &error)) << error;
    const QImage preview = load(file);
    ASSERT_EQ(preview.size(), QSize(480, 176));
    // The marks' centres: the dark plate inside the outline (left), white in the filled one.
    EXPECT_LT(pixelAt(preview, 120, 72).r, 60);
    EXPECT_EQ(pixelAt(preview, 120, 72).a, 255);
    EXPECT_GT(pixelAt(preview, 360, 72).g, 240);
    EXPECT_EQ(pixelAt(preview, 0, 0).a, 0);  // rounded corner
}

}  // namespace
}  // namespace noctave::test

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include <QImage>
#include <QPainter>

#include "app/MenuBarIcon.hpp"
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

    // A square picture: `top` over the upper half, `bottom` over the lower half.
    fs::path writeSource(const std::string& name, QColor top, QColor bottom) {
        QImage image(64, 64, QImage::Format_ARGB32);
        image.fill(bottom);
        QPainter(&image).fillRect(0, 0, 64, 32, top);
        const fs::path path = temp.path() / name;
        image.save(QString::fromStdString(path.string()));
        return path;
    }

    TempDir temp;
};

bool isEmberOrange(const Rgba& p) {
    return p.a == 255 && p.r == 255 && std::abs(p.g - 87) <= 3 && std::abs(p.b - 10) <= 3;
}

TEST_F(MenuBarIconTest, IconSetHasTheTenFilesAtTheirPixelSizesWithTheDrawnEmber) {
    const fs::path out = temp.path() / "a" / "b" / "set";
    std::string error;
    ASSERT_TRUE(Icon::writeAppIconSet(out, temp.path() / "missing.png", &error)) << error;

    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(out)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    std::vector<std::string> expected = {
        "icon_128x128.png", "icon_128x128@2x.png", "icon_16x16.png", "icon_16x16@2x.png",
        "icon_256x256.png", "icon_256x256@2x.png", "icon_32x32.png", "icon_32x32@2x.png",
        "icon_512x512.png", "icon_512x512@2x.png"};
    EXPECT_EQ(names, expected);

    for (const auto& [name, pixels] : {std::pair{"icon_16x16.png", 16},
                                       {"icon_16x16@2x.png", 32},
                                       {"icon_32x32@2x.png", 64},
                                       {"icon_128x128@2x.png", 256},
                                       {"icon_512x512@2x.png", 1024}}) {
        SCOPED_TRACE(name);
        const QImage image(QString::fromStdString((out / name).string()));
        ASSERT_EQ(image.size(), QSize(pixels, pixels));
        // The filled ember sits in the middle of the tile; the corners lie outside the tile.
        if (pixels >= 64) {
            EXPECT_TRUE(isEmberOrange(pixelAt(image, pixels / 2, pixels / 2)));
            const Rgba tile = pixelAt(image, pixels / 2, pixels / 10);
            EXPECT_EQ(tile.a, 255);
            EXPECT_LT(tile.r, 60);
        }
        EXPECT_EQ(pixelAt(image, 0, 0).a, 0);
        EXPECT_EQ(pixelAt(image, pixels - 1, pixels - 1).a, 0);
        EXPECT_EQ(pixelAt(image, 0, pixels - 1).a, 0);
    }
}

TEST_F(MenuBarIconTest, IconSetStopsAtTheFirstFailingFileInTableOrder) {
    const fs::path out = temp.path() / "set";
    fs::create_directories(out / "icon_128x128.png");  // a folder where the fifth file goes
    std::string error;
    EXPECT_FALSE(Icon::writeAppIconSet(out, std::nullopt, &error));
    EXPECT_FALSE(error.empty());
    for (const char* written :
         {"icon_16x16.png", "icon_16x16@2x.png", "icon_32x32.png", "icon_32x32@2x.png"}) {
        EXPECT_TRUE(fs::is_regular_file(out / written)) << written;
    }
    for (const char* skipped : {"icon_128x128@2x.png", "icon_256x256.png", "icon_512x512@2x.png"}) {
        EXPECT_FALSE(fs::exists(out / skipped)) << skipped;
    }
}

TEST_F(MenuBarIconTest, IconSetFailsBeforeWritingWhenTheFolderCannotBeMade) {
    std::ofstream(temp.path() / "file") << "x";
    std::string error;
    EXPECT_FALSE(Icon::writeAppIconSet(temp.path() / "file" / "set", std::nullopt, &error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(fs::exists(temp.path() / "file" / "set"));
}

TEST_F(MenuBarIconTest, SourceImageIsDrawnUprightIntoTheTileAndFallsBackToTheBundledOne) {
    const fs::path source = writeSource("source.png", Qt::blue, Qt::red);
    QImage icon = Icon::renderAppIcon(256, source);
    // Top stays top: a y-up drawing must not turn the picture upside down.
    EXPECT_GT(pixelAt(icon, 128, 40).b, 200);
    EXPECT_GT(pixelAt(icon, 128, 216).r, 200);
    EXPECT_EQ(pixelAt(icon, 0, 0).a, 0);

    // An unloadable source falls back to the bundled image, and without it to the drawing.
    fs::create_directories(temp.path() / "resources");
    const fs::path bundled = writeSource("bundled.png", Qt::green, Qt::green);
    fs::copy_file(bundled, temp.path() / "resources" / "NoctaveAppIcon.png");
    std::ofstream(temp.path() / "broken.png") << "not a png";
    Icon::setResourceDirectory(temp.path() / "resources");
    icon = Icon::renderAppIcon(128, temp.path() / "broken.png");
    EXPECT_GT(pixelAt(icon, 64, 64).g, 200);
    EXPECT_LT(pixelAt(icon, 64, 64).r, 60);

    Icon::setResourceDirectory(temp.path() / "no-resources");
    icon = Icon::renderAppIcon(128, temp.path() / "broken.png");
    EXPECT_TRUE(isEmberOrange(pixelAt(icon, 64, 64)));
}

TEST_F(MenuBarIconTest, PreviewShowsTheOutlineLeftAndTheFilledEmberRightWithCaptions) {
    const fs::path file = temp.path() / "preview.png";
    std::string error;
    ASSERT_TRUE(Icon::writeMenuBarPreview(file, &error)) << error;
    const QImage preview(QString::fromStdString(file.string()));
    ASSERT_EQ(preview.size(), QSize(480, 176));

    // The marks' centres (x 120 and 360, 104 up from the bottom): empty plate inside the
    // outline, white inside the filled mark.
    const Rgba outlineCentre = pixelAt(preview, 120, 176 - 104);
    const Rgba filledCentre = pixelAt(preview, 360, 176 - 104);
    EXPECT_LT(outlineCentre.r, 60);
    EXPECT_EQ(outlineCentre.a, 255);
    EXPECT_GT(filledCentre.r, 240);
    EXPECT_GT(filledCentre.g, 240);

    // Each caption lights up pixels just above y = 28, centred under its mark.
    auto brightPixelsInCaption = [&](int centreX) {
        int bright = 0;
        for (int y = 176 - 28 - 14; y < 176 - 28; ++y) {
            for (int x = centreX - 40; x < centreX + 40; ++x) {
                bright += pixelAt(preview, x, y).r > 120 ? 1 : 0;
            }
        }
        return bright;
    };
    EXPECT_GT(brightPixelsInCaption(120), 20);
    EXPECT_GT(brightPixelsInCaption(360), 20);
    EXPECT_EQ(pixelAt(preview, 0, 0).a, 0);  // rounded corner
}

TEST_F(MenuBarIconTest, MenuBarImagesAreMasksExceptTheWarning) {
    const auto ready = Icon::image(Icon::State::ready);
    const auto armed = Icon::image(Icon::State::armed);
    const auto warning = Icon::image(Icon::State::warning);
    EXPECT_TRUE(ready.isTemplate && ready.icon.isMask());
    EXPECT_TRUE(armed.isTemplate && armed.icon.isMask());
    EXPECT_FALSE(warning.isTemplate || warning.icon.isMask());
    EXPECT_EQ(ready.accessibilityDescription, "Noctave ready");
    EXPECT_EQ(armed.accessibilityDescription, "Noctave active");
    EXPECT_EQ(warning.accessibilityDescription, "Noctave needs attention");

    // Outline: the ember's inside stays clear; filled: black; warning: orange with the mark.
    const QImage outline = Icon::render(Icon::State::ready, 38);
    const QImage filled = Icon::render(Icon::State::armed, 38);
    const QImage orange = Icon::render(Icon::State::warning, 38);
    EXPECT_EQ(pixelAt(outline, 16, 16).a, 0);
    EXPECT_EQ(pixelAt(filled, 16, 16).a, 255);
    EXPECT_LT(pixelAt(filled, 16, 16).r, 10);
    const Rgba body = pixelAt(orange, 16, 16);
    EXPECT_GT(body.r, 230);
    EXPECT_NEAR(body.g, 156, 4);
    // The exclamation mark darkens the middle column.
    EXPECT_LT(pixelAt(orange, 19, 14).r, 120);
}

TEST_F(MenuBarIconTest, PreviewMarkDrawsWarningFilledWithoutTheExclamationMark) {
    QImage image(95, 95, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    {
        QPainter painter(&image);
        painter.translate(0, 95);
        painter.scale(1, -1);
        Icon::drawPreviewMark(painter, QRectF(0, 0, 95, 95), Icon::State::warning, Qt::white);
    }
    // Where the indicator would be (the middle column), the mark stays plain white.
    EXPECT_GT(pixelAt(image, 47, 30).r, 240);
    EXPECT_GT(pixelAt(image, 47, 47).r, 240);
}

}  // namespace
}  // namespace noctave::test

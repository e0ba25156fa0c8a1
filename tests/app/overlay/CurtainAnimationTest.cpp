// The curtain's arithmetic on a hand-stepped frame clock, and its picture decoded pixel by pixel.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QPainter>
#include <cmath>
#include <filesystem>
#include <limits>
#include <sstream>

#include "app/overlay/CloseOverlay.hpp"
#include "app/overlay/CurtainAnimation.hpp"
#include "app/overlay/CurtainDrawing.hpp"
#include "tests/support/ChildProcess.hpp"
#include "tests/support/TempDir.hpp"

namespace noctave::test {
namespace {

using app::CurtainAnimation;
namespace CurtainDrawing = app::CurtainDrawing;

constexpr double kFrame = 1.0 / 120.0;

// The approach of one frame of `dt` seconds at retention `r`.
double approach(double from, double to, double r, double dt) {
    return from + (to - from) * (1.0 - std::pow(r, dt * 120.0));
}

TEST(CurtainAnimationTest, CoverageOfProgressIsClampedToTheVisibleRange) {
    const struct {
        double progress, coverage;
    } cases[] = {
        {-0.2, 0.258},
        {-0.06, 0.258},
        {-0.05, 0.265},
        {0.0, 0.3},
        {0.5, 0.65},
        {1.0, 1.0},
        {1.5, 1.0},
        {std::numeric_limits<double>::quiet_NaN(), 0.258},
        {-std::numeric_limits<double>::infinity(), 0.258},
        {std::numeric_limits<double>::infinity(), 1.0},
    };
    for (const auto& c : cases) {
        EXPECT_NEAR(CurtainAnimation::coverage(c.progress), c.coverage, 1e-12) << c.progress;
    }
}

// Progress 0 on a fresh curtain: it starts from nothing and eases in to 0.3 at 0.915 a frame,
// then stands still.
TEST(CurtainAnimationTest, AFreshGestureEasesInFromNothingAndComesToRest) {
    CurtainAnimation curtain;
    EXPECT_TRUE(curtain.follow(CurtainAnimation::coverage(0.0), true, false));
    EXPECT_EQ(curtain.displayed(), 0.0);
    EXPECT_TRUE(curtain.isEntering());

    double t = 10.0;
    double expected = 0.0;
    int frames = 0;
    while (curtain.step(t)) {
        expected = approach(expected, 0.3, 0.915, kFrame);
        if (std::abs(expected - 0.3) > 0.0015) {
            ASSERT_NEAR(curtain.displayed(), expected, 1e-12) << "frame " << frames;
            ASSERT_TRUE(curtain.isEntering());
        }
        t += kFrame;
        ASSERT_LT(++frames, 200);
    }
    EXPECT_EQ(curtain.displayed(), 0.3);  // snapped exactly
    EXPECT_FALSE(curtain.isEntering());
    EXPECT_GT(frames, 40);  // an ease, not a jump

    // Following a live gesture moves only the target; downwards goes at 0.8.
    EXPECT_FALSE(curtain.follow(0.65, false, false));
    EXPECT_EQ(curtain.displayed(), 0.3);
    curtain.step(t + kFrame);
    EXPECT_NEAR(curtain.displayed(), approach(0.3, 0.65, 0.8, kFrame), 1e-12);
}

TEST(CurtainAnimationTest, FrameTimesAreClampedSoAStallNeverJumps) {
    const struct {
        double dt, counted;
    } cases[] = {
        {0.1, 0.05}, {0.05, 0.05}, {0.02, 0.02}, {0.001, 1.0 / 240}, {-1.0, 1.0 / 240},
    };
    for (const auto& c : cases) {
        CurtainAnimation curtain;
        curtain.follow(1.0, true, false);
        curtain.follow(1.0, false, false);
        curtain.step(5.0);  // the first frame counts 1/120
        const double before = curtain.displayed();
        EXPECT_NEAR(before, approach(0.0, 1.0, 0.915, kFrame), 1e-12);
        curtain.step(5.0 + c.dt);
        EXPECT_NEAR(curtain.displayed(), approach(before, 1.0, 0.915, c.counted), 1e-12) << c.dt;
    }
}

TEST(CurtainAnimationTest, RetentionIsSlowNearTheTopQuickElsewhere) {
    const struct {
        const char* name;
        double from, to;
        double retention;
    } cases[] = {
        {"back up near the top", 0.5, 0.258, 0.975},
        {"back up, not near the top", 0.9, 0.4, 0.8},
        {"down", 0.3, 0.9, 0.8},
    };
    for (const auto& c : cases) {
        CurtainAnimation curtain;
        curtain.follow(c.from, true, true);  // reduce motion: stands at `from` at once
        curtain.follow(c.to, false, false);
        curtain.step(1.0);
        EXPECT_NEAR(curtain.displayed(), approach(c.from, c.to, c.retention, kFrame), 1e-12)
            << c.name;
    }
}

// The session arms while the curtain is at 0.93: it runs to full coverage, then fades within
// about 0.3 s of passing 0.995, and then stops needing frames.
TEST(CurtainAnimationTest, ASealRunsToFullCoverageThenFades) {
    CurtainAnimation curtain;
    curtain.follow(0.93, true, true);
    EXPECT_FALSE(curtain.seal(false));
    EXPECT_TRUE(curtain.isSealing());

    double t = 0.0;
    std::optional<double> passed;
    std::optional<double> faded;
    while (curtain.step(t)) {
        if (!passed && curtain.displayed() > 0.995) {
            passed = t;
        }
        if (passed && curtain.fadeAlpha() < 1.0) {
            EXPECT_GT(curtain.displayed(), 0.995);
        }
        t += kFrame;
        ASSERT_LT(t, 2.0);
    }
    faded = t - kFrame;
    ASSERT_TRUE(passed);
    EXPECT_EQ(curtain.displayed(), 1.0);
    EXPECT_EQ(curtain.fadeAlpha(), 0.0);
    EXPECT_NEAR(*faded - *passed, 0.3, 2 * kFrame);
    EXPECT_LT(*passed, 0.25);  // at 0.8 a frame the run itself is quick
}

TEST(CurtainAnimationTest, ARetractionSlidesBackUpAndAllowsANewEntrance) {
    CurtainAnimation curtain;
    curtain.follow(0.7, true, true);
    EXPECT_FALSE(curtain.retract(false));
    curtain.step(0.0);
    EXPECT_NEAR(curtain.displayed(), approach(0.7, 0.0, 0.915, kFrame), 1e-12);
    double t = 0.0;
    while (curtain.step(t += kFrame)) {
        ASSERT_LT(t, 2.0);
    }
    EXPECT_EQ(curtain.displayed(), 0.0);
    EXPECT_LT(t, 0.7);  // gone well before the 0.75 s teardown
}

// Fraction of dark pixels, by colour, in an image that was grey 0.42 before the curtain.
bool isCurtain(QRgb pixel) {
    return qRed(pixel) < 10 && qGreen(pixel) < 10 && qBlue(pixel) < 10;
}
bool isBackground(QRgb pixel) {
    return std::abs(qRed(pixel) - 107) <= 1 && qRed(pixel) == qGreen(pixel) &&
           qGreen(pixel) == qBlue(pixel);
}
int curtainHeight(const QImage& image, int x) {
    int y = 0;
    while (y < image.height() && isCurtain(image.pixel(x, y))) {
        ++y;
    }
    return y;
}
// The brightest pixel of column `x` (the chevron's vertex lies in the middle column).
int brightestRow(const QImage& image, int x, int* level) {
    int best = -1;
    *level = -1;
    for (int y = 0; y < image.height(); ++y) {
        if (qRed(image.pixel(x, y)) > *level) {
            *level = qRed(image.pixel(x, y));
            best = y;
        }
    }
    return best;
}

QImage drawn(QSize size, double coverage, double fadeAlpha = 1.0) {
    QImage image(size, QImage::Format_ARGB32_Premultiplied);
    image.fill(QColor::fromRgbF(0.42F, 0.42F, 0.42F));
    QPainter painter(&image);
    CurtainDrawing::draw(painter, QRectF(QPointF(0, 0), QSizeF(size)), coverage, fadeAlpha);
    return image;
}

TEST(CurtainDrawingTest, CurtainBandAndChevronAtEveryWidth) {
    const struct {
        int width, height;
        double coverage;
        double scale;  // the chevron's
        bool chevron;
    } cases[] = {
        {900, 560, 0.3, 1.0, true},  // h = 168, vertex 34 above the edge
        {600, 400, 0.5, 1.0, true},   {300, 400, 0.5, 0.5, true},
        {200, 300, 0.5, 0.45, true},   // never below 0.45
        {900, 560, 0.06, 1.0, false},  // h = 33.6: no room for the chevron
        {900, 560, 1.7, 1.0, true},    // clamped to the whole height
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.width << "x" << c.height << " at " << c.coverage);
        EXPECT_DOUBLE_EQ(CurtainDrawing::chevronScale(c.width), c.scale);
        const QImage image = drawn(QSize(c.width, c.height), c.coverage);
        const double h = std::min(c.coverage, 1.0) * c.height;
        EXPECT_NEAR(curtainHeight(image, 2), h, 1.0);
        if (h < c.height) {
            EXPECT_TRUE(isBackground(image.pixel(2, c.height - 1)));
        }
        int level = 0;
        const int row = brightestRow(image, c.width / 2, &level);
        if (c.chevron) {
            EXPECT_GT(level, 150);
            EXPECT_NEAR(row, h - 34.0 * c.scale, 2.5 * c.scale + 1);
            // The arms rise from the vertex: 17 to each side, 11 up.
            int armLevel = 0;
            const int armRow =
                brightestRow(image, c.width / 2 - static_cast<int>(12 * c.scale), &armLevel);
            EXPECT_GT(armLevel, 120);
            EXPECT_LT(armRow, row);
        } else {
            EXPECT_LT(level, 120);
        }
    }
}

TEST(CurtainDrawingTest, NothingUnderHalfAPointAndFadeLetsTheBackgroundThrough) {
    const QImage empty = drawn(QSize(900, 560), 0.0005);  // h = 0.28
    EXPECT_TRUE(isBackground(empty.pixel(450, 0)));
    const QImage nan = drawn(QSize(900, 560), std::numeric_limits<double>::quiet_NaN());
    EXPECT_TRUE(isBackground(nan.pixel(450, 0)));

    const QImage half = drawn(QSize(900, 560), 0.5, 0.5);
    const int level = qRed(half.pixel(10, 10));
    EXPECT_NEAR(level, 107 * (1 - 0.5 * 0.97), 2);
    const QImage gone = drawn(QSize(900, 560), 0.5, 0.0);
    EXPECT_TRUE(isBackground(gone.pixel(10, 10)));

    QImage image(10, 10, QImage::Format_ARGB32);
    image.fill(Qt::white);
    QPainter inactive;  // never begun: draws nothing, does not crash
    CurtainDrawing::draw(inactive, QRectF(0, 0, 10, 10), 1.0, 1.0);
}

// A link planted at a preview's name is replaced, not followed; an unwritable folder fails
// loudly instead of reporting success.
TEST(CurtainPreviewTest, PlantedLinksAreReplacedAndFailuresAreReported) {
    TempDir dir;
    const QString folder = QString::fromStdString(dir.path().string());
    const QString victim = folder + "/victim.txt";
    {
        QFile file(victim);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("keep me");
    }
    ASSERT_TRUE(QFile::link(victim, folder + "/curtain-45.png"));
    std::ostringstream out, err;
    EXPECT_TRUE(app::CloseOverlay::renderPreviews(folder, QSize(900, 560), out, err));
    QFile kept(victim);
    ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
    EXPECT_EQ(kept.readAll(), QByteArray("keep me"));
    EXPECT_FALSE(QFileInfo(folder + "/curtain-45.png").isSymLink());

    std::ostringstream out2, err2;
    EXPECT_FALSE(
        app::CloseOverlay::renderPreviews(folder + "/missing", QSize(900, 560), out2, err2));
    EXPECT_EQ(out2.str(), "");
    EXPECT_NE(
        err2.str().find("could not write " + folder.toStdString() + "/missing/curtain-30.png"),
        std::string::npos);
}

// The command itself, without a display: the five previews decode with the curtain at each
// coverage, byte-exact lines, status 0; and an export option later in the line does not run.
TEST(CurtainPreviewTest, PreviewAnimWritesTheFivePreviewsWithoutADisplayAndWinsOverTheExports) {
    TempDir dir;
    const std::string icon = (dir.path() / "icon.png").string();
    const ProgramRun run =
        runProgram(NOCTAVE_BINARY, {"--preview-menu-icon", icon, "--preview-anim"},
                   {.unset = {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}});
    EXPECT_EQ(run.signal, 0);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out,
              "wrote /tmp/curtain-30.png\nwrote /tmp/curtain-45.png\nwrote /tmp/curtain-62.png\n"
              "wrote /tmp/curtain-80.png\nwrote /tmp/curtain-100.png\n");
    EXPECT_EQ(run.err, "");
    EXPECT_FALSE(std::filesystem::exists(icon));
    for (const int percent : {30, 45, 62, 80, 100}) {
        SCOPED_TRACE(percent);
        const QImage image(
            QString::fromStdString("/tmp/curtain-" + std::to_string(percent) + ".png"), "PNG");
        ASSERT_EQ(image.size(), QSize(900, 560));
        const int h = static_cast<int>(std::lround(560 * percent / 100.0));
        EXPECT_NEAR(curtainHeight(image, 5), h, 1);
        EXPECT_TRUE(percent == 100 || isBackground(image.pixel(5, 559)));
        int level = 0;
        EXPECT_NEAR(brightestRow(image, 450, &level), h - 34, 3);
        EXPECT_GT(level, 150);
    }
}

}  // namespace
}  // namespace noctave::test

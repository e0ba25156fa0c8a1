#include "app/onboarding/GesturePracticeView.hpp"

#include <QPainter>
#include <QPainterPath>

#include "app/onboarding/DesktopWallpaper.hpp"
#include "app/onboarding/LaptopPicture.hpp"
#include "app/onboarding/OnboardingDrawing.hpp"
#include "app/onboarding/OnboardingPalette.hpp"
#include "app/overlay/CurtainDrawing.hpp"
#include "core/gesture/GestureDriver.hpp"
#include "core/os/ReduceMotion.hpp"
#include "core/os/System.hpp"
#include "core/runtime/Runtime.hpp"
#include "core/session/SessionController.hpp"

namespace noctave::app {

namespace {

using OnboardingPalette::srgb;

const QRectF kKeyCap(71, 87, 82, 76);
const QRectF kLaptop(247, 27, 276, 179);

// The one view whose practice holds the driver's practice callbacks. Two onboarding windows
// may be open at once (the first-run one and a replay); the one left last must not end the
// other's practice.
GesturePracticeView* practisingView = nullptr;

}  // namespace

GesturePracticeView::GesturePracticeView(SessionController& session,
                                         std::function<void()> onComplete, QWidget* parent)
    : OnboardingVisualView(parent), session_(session), onComplete_(std::move(onComplete)) {
    setAccessibleName(QStringLiteral("Fn and lid practice"));
}

GesturePracticeView::~GesturePracticeView() {
    stopTimer();
    stopPractising();
}

bool GesturePracticeView::isMotionReduced() const {
    const auto& reduceMotion = os::system().reduceMotion;
    return reduceMotion && reduceMotion->isEnabled();
}

void GesturePracticeView::becameVisible() {
    isVisibleOnPage_ = true;
    if (GestureDriver* driver = session_.gesture()) {
        const auto weak = weakFactory_.weak();
        driver->onPracticeProgress =
            runtime::bindWeak(weak, [](GesturePracticeView& self, std::optional<double> progress) {
                self.handleProgress(progress);
            });
        driver->onPracticeFunctionHeld = runtime::bindWeak(
            weak, [](GesturePracticeView& self, bool held) { self.handleFunctionHeld(held); });
        practisingView = this;
        driver->beginPractice();
    }
    practice_.begin(runtime::clock().monotonic());
    ensureTimer();
    update();
}

void GesturePracticeView::resignedVisible() {
    isVisibleOnPage_ = false;
    stopTimer();
    practice_.pause();
    stopPractising();
}

void GesturePracticeView::stopPractising() {
    if (practisingView != this) {
        return;
    }
    practisingView = nullptr;
    if (GestureDriver* driver = session_.gesture()) {
        driver->endPractice();
        driver->onPracticeProgress = nullptr;
        driver->onPracticeFunctionHeld = nullptr;
    }
}

void GesturePracticeView::reset() {
    stopTimer();
    practice_.reset();
    update();
}

void GesturePracticeView::prepareForSnapshot() {
    stopTimer();
    practice_.prepareForSnapshot();
    if (onComplete_) {
        onComplete_();
    }
    update();
}

void GesturePracticeView::handleProgress(std::optional<double> progress) {
    if (practice_.handleProgress(progress) && onComplete_) {
        onComplete_();
    }
    ensureTimer();
    update();
}

void GesturePracticeView::handleFunctionHeld(bool held) {
    practice_.setPhysicalFnHeld(held);
    ensureTimer();
    update();
}

void GesturePracticeView::ensureTimer() {
    if (timer_ || !isVisibleOnPage_) {
        return;
    }
    timer_ = runtime::Timer::repeating(
        runtime::mainQueue(), GesturePractice::kFrameInterval, 0,
        runtime::bindWeak(weakFactory_.weak(), [](GesturePracticeView& self) { self.tick(); }));
}

void GesturePracticeView::stopTimer() {
    timer_.reset();
}

void GesturePracticeView::tick() {
    const bool reduced = isMotionReduced();
    practice_.tick(runtime::clock().monotonic(), reduced);
    if (practice_.isAtRest(reduced)) {
        // Nothing moves until the driver reports again; its callbacks restart the clock, and
        // the frame after that counts as a first one.
        stopTimer();
        practice_.pause();
    }
    update();
}

QString GesturePracticeView::caption() const {
    return practice_.practiceComplete ? QString::fromUtf8("\u2713  DONE")
                                      : QStringLiteral("HOLD + MOVE");
}

const std::optional<QImage>& GesturePracticeView::wallpaper() {
    if (!wallpaper_) {
        wallpaper_ = DesktopWallpaper::load();
    }
    return *wallpaper_;
}

void GesturePracticeView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.setRenderHint(QPainter::TextAntialiasing, true);
    painter.setRenderHint(QPainter::SmoothPixmapTransform, true);
    OnboardingDrawing::flipToYUp(painter, height());
    OnboardingDrawing::drawCard(painter, rect());

    // The Fn key: lit only by the real key, never by the demonstration.
    QPainterPath key;
    key.addRoundedRect(kKeyCap, 13, 13);
    if (practice_.physicalFnHeld) {
        painter.fillPath(key, srgb(1.0, 0.31, 0.075, 0.15));
        painter.strokePath(key, QPen(OnboardingPalette::emberSoft(), 1.6));
    } else {
        painter.fillPath(key, srgb(1, 1, 1, 0.055));
        painter.strokePath(key, QPen(OnboardingPalette::hairline(), 1));
    }
    OnboardingDrawing::drawText(painter, kKeyCap, QStringLiteral("fn"),
                                OnboardingDrawing::systemFont(21, QFont::Medium),
                                OnboardingPalette::primaryText());
    OnboardingDrawing::drawText(
        painter, QRectF(kKeyCap.left() - 30, kKeyCap.top() - 30, kKeyCap.width() + 60, 18),
        caption(), OnboardingDrawing::monospacedFont(9, QFont::DemiBold),
        practice_.practiceComplete ? OnboardingPalette::emberSoft()
                                   : OnboardingPalette::secondaryText());

    // The laptop's screen: its fill, the desktop picture, then the curtain over them.
    const QRectF screen = LaptopPicture::screenRect(kLaptop);
    painter.save();
    QPainterPath screenShape;
    screenShape.addRoundedRect(screen, LaptopPicture::kScreenRadius, LaptopPicture::kScreenRadius);
    painter.setClipPath(screenShape);
    painter.fillRect(screen, srgb(0.12, 0.15, 0.21));
    // The desktop picture and the curtain are drawn upright, as on a real screen: flip about
    // the screen's middle.
    painter.translate(0, screen.top() + screen.bottom());
    painter.scale(1, -1);
    if (const auto& image = wallpaper(); image && !image->isNull()) {
        // Cover the screen, centred and cropped.
        const QSizeF covered =
            QSizeF(image->size()).scaled(screen.size(), Qt::KeepAspectRatioByExpanding);
        painter.drawImage(
            QRectF(screen.center().x() - covered.width() / 2,
                   screen.center().y() - covered.height() / 2, covered.width(), covered.height()),
            *image);
    }
    CurtainDrawing::draw(painter, screen, practice_.curtain.displayed(), 1.0);
    painter.restore();

    LaptopPicture::draw(painter, kLaptop);
}

}  // namespace noctave::app

#include "app/onboarding/ReadyVisualView.hpp"

#include <QPainter>

#include "app/onboarding/OnboardingDrawing.hpp"
#include "app/onboarding/OnboardingPalette.hpp"
#include "app/tray/MenuBarIcon.hpp"

namespace noctave::app {

ReadyVisualView::ReadyVisualView(QWidget* parent) : OnboardingVisualView(parent) {
    setAccessibleName(QStringLiteral("Right-click the tray icon to arm the next close"));
}

void ReadyVisualView::paintEvent(QPaintEvent*) {
    using OnboardingPalette::srgb;
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.setRenderHint(QPainter::TextAntialiasing, true);
    OnboardingDrawing::flipToYUp(painter, height());
    OnboardingDrawing::drawCard(painter, rect());

    constexpr double kIcon = 62;
    constexpr double kIconY = 99;
    const QRectF ready(151, kIconY, kIcon, kIcon);
    const QRectF armed(347, kIconY, kIcon, kIcon);
    MenuBarIcon::drawPreviewMark(painter, ready, MenuBarIcon::State::ready,
                                 OnboardingPalette::primaryText());
    MenuBarIcon::drawPreviewMark(painter, armed, MenuBarIcon::State::armed,
                                 OnboardingPalette::primaryText());

    const double arrowY = ready.center().y();
    OnboardingDrawing::drawArrow(painter, QPointF(ready.right() + 26, arrowY),
                                 QPointF(armed.left() - 26, arrowY), srgb(1.0, 0.31, 0.075, 0.72),
                                 1.8);
    const QFont mono = OnboardingDrawing::monospacedFont(9, QFont::DemiBold);
    OnboardingDrawing::drawText(
        painter, QRectF(ready.right(), arrowY + 8, armed.left() - ready.right(), 16),
        QStringLiteral("RIGHT-CLICK"), mono, OnboardingPalette::emberSoft());

    const QFont caption = OnboardingDrawing::monospacedFont(9, QFont::Normal);
    OnboardingDrawing::drawText(painter, QRectF(122, kIconY - 30, 120, 16), QStringLiteral("READY"),
                                caption, OnboardingPalette::secondaryText());
    OnboardingDrawing::drawText(painter, QRectF(318, kIconY - 30, 120, 16), QStringLiteral("ARMED"),
                                caption, OnboardingPalette::secondaryText());
}

}  // namespace noctave::app

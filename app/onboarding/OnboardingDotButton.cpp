#include "app/onboarding/OnboardingDotButton.hpp"

#include <QPainter>
#include <QPainterPath>

#include "app/onboarding/OnboardingPalette.hpp"

namespace noctave::app {

OnboardingDotButton::OnboardingDotButton(int index, int pageCount, QWidget* parent)
    : QAbstractButton(parent), index_(index) {
    setFixedSize(kSize, kSize);
    setCursor(Qt::PointingHandCursor);
    // Reached by the arrow keys instead; no focus ring to draw.
    setFocusPolicy(Qt::NoFocus);
    setToolTip(QStringLiteral("Go to step %1").arg(index + 1));
    setAccessibleName(QStringLiteral("Onboarding step %1 of %2").arg(index + 1).arg(pageCount));
    setAccessibleDescription(QStringLiteral("Not current"));
}

void OnboardingDotButton::setCurrent(bool current) {
    isCurrent_ = current;
    setAccessibleDescription(current ? QStringLiteral("Current step")
                                     : QStringLiteral("Not current"));
    update();
}

void OnboardingDotButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing, true);
    const double width = isCurrent_ ? 17 : 7;
    constexpr double kHeight = 7;
    QPainterPath bar;
    bar.addRoundedRect(QRectF((kSize - width) / 2, (kSize - kHeight) / 2, width, kHeight), 3.5,
                       3.5);
    painter.fillPath(
        bar, isCurrent_ ? OnboardingPalette::ember() : OnboardingPalette::srgb(1, 1, 1, 0.22));
}

}  // namespace noctave::app

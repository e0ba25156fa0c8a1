#include "app/onboarding/OnboardingDrawing.hpp"

#include <cmath>

#include <QFontDatabase>
#include <QGuiApplication>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>

#include "app/onboarding/OnboardingPalette.hpp"

namespace noctave::app::OnboardingDrawing {

namespace {

// Qt sizes fonts in typographic points at the screen's logical resolution; the onboarding's
// sizes are in device-independent pixels.
double pointsToFontSize(double points) {
    double dpi = 96;
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        dpi = screen->logicalDotsPerInchY();
    }
    return points * 72.0 / dpi;
}

QFont sized(QFont font, double points, QFont::Weight weight) {
    font.setPointSizeF(pointsToFontSize(points));
    font.setWeight(weight);
    return font;
}

}  // namespace

QFont systemFont(double points, QFont::Weight weight) {
    return sized(QGuiApplication::font(), points, weight);
}

QFont monospacedFont(double points, QFont::Weight weight) {
    return sized(QFontDatabase::systemFont(QFontDatabase::FixedFont), points, weight);
}

void flipToYUp(QPainter& painter, double height) {
    painter.translate(0, height);
    painter.scale(1, -1);
}

void drawText(QPainter& painter, const QRectF& rect, const QString& text, const QFont& font,
              const QColor& color, int flags) {
    painter.save();
    painter.translate(rect.left(), rect.top() + rect.height());
    painter.scale(1, -1);
    painter.setFont(font);
    painter.setPen(color);
    painter.drawText(QRectF(0, 0, rect.width(), rect.height()), flags, text);
    painter.restore();
}

void drawCard(QPainter& painter, const QRectF& bounds) {
    QPainterPath card;
    card.addRoundedRect(bounds.adjusted(1, 1, -1, -1), 18, 18);
    painter.fillPath(card, OnboardingPalette::panel());
    painter.strokePath(card, QPen(OnboardingPalette::hairline(), 1));
}

void drawArrow(QPainter& painter, QPointF from, QPointF to, const QColor& color, double width) {
    const double angle = std::atan2(to.y() - from.y(), to.x() - from.x());
    constexpr double kHead = 7;
    constexpr double kSpread = 0.5;  // radians either side of the shaft
    QPainterPath path(from);
    path.lineTo(to);
    path.moveTo(to.x() - kHead * std::cos(angle - kSpread),
                to.y() - kHead * std::sin(angle - kSpread));
    path.lineTo(to);
    path.lineTo(to.x() - kHead * std::cos(angle + kSpread),
                to.y() - kHead * std::sin(angle + kSpread));
    QPen pen(color, width);
    pen.setCapStyle(Qt::RoundCap);
    pen.setJoinStyle(Qt::RoundJoin);
    painter.strokePath(path, pen);
}

}  // namespace noctave::app::OnboardingDrawing

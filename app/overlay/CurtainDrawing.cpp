#include "app/overlay/CurtainDrawing.hpp"

#include <QPainter>
#include <QPainterPath>
#include <QPen>
#include <QRectF>
#include <algorithm>
#include <cmath>

namespace noctave::app {

namespace {
constexpr double kCurtainOpacity = 0.97;
constexpr double kChevronWhite = 0.76;
}  // namespace

double CurtainDrawing::chevronScale(double width) {
    return std::clamp(width / 600.0, 0.45, 1.0);
}

void CurtainDrawing::draw(QPainter& painter, const QRectF& bounds, double coverage,
                          double fadeAlpha) {
    if (!painter.isActive()) {
        return;
    }
    // NaN would pass every comparison below and paint garbage geometry.
    const double c = std::isfinite(coverage) ? std::clamp(coverage, 0.0, 1.0) : 0.0;
    const double h = c * bounds.height();
    if (h <= 0.5) {
        return;
    }
    const double alpha = std::isfinite(fadeAlpha) ? std::clamp(fadeAlpha, 0.0, 1.0) : 1.0;

    painter.save();
    painter.setOpacity(painter.opacity() * alpha);
    painter.setRenderHint(QPainter::Antialiasing, true);
    QColor black(Qt::black);
    black.setAlphaF(static_cast<float>(kCurtainOpacity));
    painter.fillRect(QRectF(bounds.left(), bounds.top(), bounds.width(), h), black);

    // The geometry is thought with y growing upwards from the curtain's lower edge; Qt's y grows
    // downwards, so "34 above the edge" is top + h - 34 here.
    const double s = chevronScale(bounds.width());
    const double vertexY = bounds.top() + h - 34.0 * s;
    if (vertexY > bounds.top() + 4.0 * s) {
        const double midX = bounds.center().x();
        QPainterPath chevron;
        chevron.moveTo(midX - 17.0 * s, vertexY - 11.0 * s);
        chevron.lineTo(midX, vertexY);
        chevron.lineTo(midX + 17.0 * s, vertexY - 11.0 * s);
        QColor white =
            QColor::fromRgbF(static_cast<float>(kChevronWhite), static_cast<float>(kChevronWhite),
                             static_cast<float>(kChevronWhite));
        white.setAlphaF(static_cast<float>(std::min(0.26 * c + 0.9, 1.0)));
        QPen pen(white, 3.2 * s, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
        painter.setPen(pen);
        painter.setBrush(Qt::NoBrush);
        painter.drawPath(chevron);
    }
    painter.restore();
}

}  // namespace noctave::app

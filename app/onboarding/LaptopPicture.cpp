#include "app/onboarding/LaptopPicture.hpp"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

#include "app/onboarding/OnboardingPalette.hpp"

namespace noctave::app::LaptopPicture {

using OnboardingPalette::srgb;

QRectF screenRect(const QRectF& rect) {
    return QRectF(rect.x() + 0.103 * rect.width(), rect.y() + 0.154 * rect.height(),
                  0.794 * rect.width(), 0.734 * rect.height());
}

void draw(QPainter& painter, const QRectF& rect) {
    const QRectF screen = screenRect(rect);
    const double w = rect.width();
    const double h = rect.height();
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing, true);

    // The lid: a rounded slab a little larger than the screen, with the screen cut out.
    const QRectF lid = screen.adjusted(-0.022 * w, -0.03 * h, 0.022 * w, 0.06 * h);
    QPainterPath bezel;
    bezel.addRoundedRect(lid, 14, 14);
    QPainterPath opening;
    opening.addRoundedRect(screen, kScreenRadius, kScreenRadius);
    bezel = bezel.subtracted(opening);
    painter.fillPath(bezel, srgb(0.055, 0.055, 0.065));
    QPainterPath rim;
    rim.addRoundedRect(lid, 14, 14);
    painter.strokePath(rim, QPen(srgb(0.56, 0.56, 0.6, 0.9), 1.4));
    painter.strokePath(opening, QPen(srgb(0, 0, 0, 0.8), 1));

    // The camera, centred in the top bezel.
    const double bezelTop = (lid.bottom() + screen.bottom()) / 2;
    painter.setPen(Qt::NoPen);
    painter.setBrush(srgb(0.16, 0.17, 0.2));
    painter.drawEllipse(QPointF(lid.center().x(), bezelTop), 1.8, 1.8);

    // The base, seen from the front: a thin slab wider than the lid, with a thumb notch.
    const double baseTop = lid.top();
    const QRectF base(rect.x() + 0.01 * w, baseTop - 0.065 * h, 0.98 * w, 0.065 * h);
    QPainterPath deck;
    deck.addRoundedRect(base, 4, 4);
    QLinearGradient metal(QPointF(0, base.bottom()), QPointF(0, base.top()));
    metal.setColorAt(0, srgb(0.72, 0.72, 0.76));
    metal.setColorAt(1, srgb(0.38, 0.38, 0.42));
    painter.fillPath(deck, metal);
    const double notch = 0.16 * w;
    QPainterPath groove;
    groove.addRoundedRect(
        QRectF(base.center().x() - notch / 2, base.bottom() - 0.028 * h, notch, 0.028 * h), 3, 3);
    painter.fillPath(groove, srgb(0.3, 0.3, 0.34));

    // A soft shadow under the base.
    QLinearGradient shadow(QPointF(0, base.top()), QPointF(0, rect.top()));
    shadow.setColorAt(0, srgb(0, 0, 0, 0.45));
    shadow.setColorAt(1, srgb(0, 0, 0, 0));
    painter.fillRect(
        QRectF(base.left() + 8, rect.top(), base.width() - 16, base.top() - rect.top()), shadow);
    painter.restore();
}

}  // namespace noctave::app::LaptopPicture

#include "app/onboarding/OnboardingButton.hpp"

#include <cmath>

#include <QPainter>
#include <QPainterPath>

#include "app/onboarding/OnboardingDrawing.hpp"
#include "app/onboarding/OnboardingPalette.hpp"

namespace noctave::app {

OnboardingButton::OnboardingButton(Style style, const QString& title, QWidget* parent)
    : QAbstractButton(parent), style_(style) {
    setText(title);
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::TabFocus);
    switch (style_) {
        case Style::inlineText:
            setFont(OnboardingDrawing::systemFont(13, QFont::Medium));
            text_ = OnboardingPalette::secondaryText();
            break;
        case Style::bezel:
            setFont(OnboardingDrawing::systemFont(13, QFont::DemiBold));
            bezel_ = OnboardingPalette::ember();
            text_ = Qt::white;
            break;
        case Style::close:
            setToolTip(title);
            setAccessibleName(title);
            text_ = OnboardingPalette::secondaryText();
            break;
    }
}

void OnboardingButton::setColors(const QColor& bezel, const QColor& text) {
    bezel_ = bezel;
    text_ = text;
    update();
}

QSize OnboardingButton::sizeHint() const {
    if (style_ == Style::close) {
        return {24, 24};
    }
    const QFontMetrics metrics(font());
    return {metrics.horizontalAdvance(text()) + 20, std::max(24, metrics.height() + 8)};
}

void OnboardingButton::enterEvent(QEnterEvent* event) {
    isHovered_ = true;
    update();
    QAbstractButton::enterEvent(event);
}

void OnboardingButton::leaveEvent(QEvent* event) {
    isHovered_ = false;
    update();
    QAbstractButton::leaveEvent(event);
}

void OnboardingButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.setRenderHint(QPainter::TextAntialiasing, true);
    const QRectF bounds = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    const bool pressed = isDown();
    QColor ink = text_;
    if (isHovered_ || pressed) {
        ink = ink.lighter(pressed ? 105 : 125);
    }

    if (style_ == Style::close) {
        QPainterPath circle;
        circle.addEllipse(bounds.adjusted(2, 2, -2, -2));
        painter.fillPath(circle, OnboardingPalette::srgb(1, 1, 1, isHovered_ ? 0.14 : 0.07));
        QPen pen(ink, 1.5);
        pen.setCapStyle(Qt::RoundCap);
        painter.setPen(pen);
        const QPointF c = bounds.center();
        constexpr double kArm = 3.5;
        painter.drawLine(c + QPointF(-kArm, -kArm), c + QPointF(kArm, kArm));
        painter.drawLine(c + QPointF(-kArm, kArm), c + QPointF(kArm, -kArm));
    } else {
        if (style_ == Style::bezel) {
            QPainterPath bezel;
            bezel.addRoundedRect(bounds, 8, 8);
            QColor fill = bezel_;
            if (pressed) {
                fill = fill.darker(112);
            } else if (isHovered_) {
                fill = fill.lighter(108);
            }
            painter.fillPath(bezel, fill);
        }
        painter.setFont(font());
        painter.setPen(ink);
        painter.drawText(rect(), Qt::AlignCenter, text());
    }
    if (hasFocus()) {
        QPainterPath ring;
        ring.addRoundedRect(bounds.adjusted(1, 1, -1, -1), 7, 7);
        painter.strokePath(ring, QPen(OnboardingPalette::emberSoft(), 1.5));
    }
}

}  // namespace noctave::app

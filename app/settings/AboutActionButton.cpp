#include "app/settings/AboutActionButton.hpp"

#include <QEasingCurve>
#include <QEvent>
#include <QPainter>
#include <QVariantAnimation>

#include "app/settings/SettingsUI.hpp"
#include "core/os/ReduceMotion.hpp"
#include "core/os/System.hpp"

namespace noctave::app {

namespace {

constexpr int kDurationMs = 160;

QEasingCurve easeOut() {
    // The standard ease-out timing curve, control points (0, 0) and (0.58, 1).
    QEasingCurve curve(QEasingCurve::BezierSpline);
    curve.addCubicBezierSegment(QPointF(0, 0), QPointF(0.58, 1), QPointF(1, 1));
    return curve;
}

bool isMotionReduced() {
    const auto& port = os::system().reduceMotion;
    return port && port->isEnabled();
}

}  // namespace

AboutActionButton::AboutActionButton(const QIcon& actionIcon, const QString& actionLabel,
                                     QWidget* parent)
    : QAbstractButton(parent) {
    setIcon(actionIcon);
    setText(actionLabel);
    setFixedHeight(36);
    setFocusPolicy(Qt::StrongFocus);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setAttribute(Qt::WA_Hover);
    connect(this, &QAbstractButton::pressed, this, [this] {
        isPressed_ = true;
        refresh(true);
    });
    connect(this, &QAbstractButton::released, this, [this] {
        isPressed_ = false;
        refresh(true);
    });
    shownAlpha_ = currentLook().backgroundAlpha;
}

AboutActionButton::~AboutActionButton() = default;

AboutActionButton::Look AboutActionButton::lookFor(bool isEnabled, bool pointerInside, bool pressed,
                                                   bool focused) {
    Look look{};
    if (isEnabled) {
        look.isHighlighted = pointerInside || focused || pressed;
        look.backgroundAlpha = pressed ? 0.16 : look.isHighlighted ? 0.10 : 0.0;
        look.opacity = 1.0;
    } else {
        look.isHighlighted = false;
        look.backgroundAlpha = pressed ? 0.16 : 0.0;
        look.opacity = 0.62;
    }
    look.borderWidth = focused ? 1.0 : 0.0;
    return look;
}

AboutActionButton::Look AboutActionButton::currentLook() const {
    return lookFor(isEnabled(), pointerInside_, isPressed_, hasFocus());
}

void AboutActionButton::showPointerInside() {
    pointerInside_ = true;
    refresh(false);
}

QSize AboutActionButton::sizeHint() const {
    const QFontMetrics metrics(UI::font(13.5));
    return {10 + 16 + 8 + metrics.horizontalAdvance(text()) + 10, 36};
}

void AboutActionButton::refresh(bool animated) {
    const double target = currentLook().backgroundAlpha;
    if (animation_ != nullptr) {
        animation_->stop();
    }
    if (!animated || isMotionReduced() || !isVisible() || target == shownAlpha_) {
        shownAlpha_ = target;
        update();
        return;
    }
    if (animation_ == nullptr) {
        animation_ = new QVariantAnimation(this);
        animation_->setDuration(kDurationMs);
        animation_->setEasingCurve(easeOut());
        connect(animation_, &QVariantAnimation::valueChanged, this, [this](const QVariant& value) {
            shownAlpha_ = value.toDouble();
            update();
        });
    }
    animation_->setStartValue(shownAlpha_);
    animation_->setEndValue(target);
    animation_->start();
}

void AboutActionButton::enterEvent(QEnterEvent* event) {
    // The pointer counts only while the window is the active one.
    if (window()->isActiveWindow()) {
        pointerInside_ = true;
        refresh(true);
    }
    QAbstractButton::enterEvent(event);
}

void AboutActionButton::leaveEvent(QEvent* event) {
    if (pointerInside_) {
        pointerInside_ = false;
        refresh(true);
    }
    QAbstractButton::leaveEvent(event);
}

void AboutActionButton::focusInEvent(QFocusEvent* event) {
    QAbstractButton::focusInEvent(event);
    refresh(false);
}

void AboutActionButton::focusOutEvent(QFocusEvent* event) {
    QAbstractButton::focusOutEvent(event);
    refresh(false);
}

void AboutActionButton::changeEvent(QEvent* event) {
    if (event->type() == QEvent::EnabledChange) {
        refresh(false);
    }
    QAbstractButton::changeEvent(event);
}

void AboutActionButton::paintEvent(QPaintEvent*) {
    const Look look = currentLook();
    const QPalette& colours = palette();
    const QColor accent = colours.color(QPalette::Highlight);
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setOpacity(look.opacity);

    const QRectF frame = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    painter.setPen(look.borderWidth > 0 ? QPen(UI::tinted(accent, 0.78), look.borderWidth)
                                        : QPen(Qt::NoPen));
    painter.setBrush(shownAlpha_ > 0 ? UI::tinted(accent, shownAlpha_) : QColor(Qt::transparent));
    painter.drawRoundedRect(frame, 6, 6);

    // The symbol is a mask: tinted with the accent or the secondary label colour.
    const QColor tint =
        look.isHighlighted ? accent : UI::tinted(colours.color(QPalette::WindowText), 0.55);
    const QRect iconRect(10, (height() - 16) / 2, 16, 16);
    QImage symbol = icon()
                        .pixmap(QSize(16, 16), devicePixelRatioF())
                        .toImage()
                        .convertToFormat(QImage::Format_ARGB32_Premultiplied);
    {
        QPainter tintPainter(&symbol);
        tintPainter.setCompositionMode(QPainter::CompositionMode_SourceIn);
        tintPainter.fillRect(symbol.rect(), tint);
    }
    painter.drawImage(iconRect, symbol);

    painter.setFont(UI::font(13.5));
    const QColor textColour = colours.color(QPalette::WindowText);
    painter.setPen(isEnabled() ? textColour : UI::tinted(textColour, 0.3));
    painter.drawText(QRect(iconRect.right() + 9, 0, width() - iconRect.right() - 19, height()),
                     Qt::AlignLeft | Qt::AlignVCenter, text());
}

}  // namespace noctave::app

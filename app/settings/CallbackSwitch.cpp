#include "app/settings/CallbackSwitch.hpp"

#include <QPainter>
#include <QPainterPath>

#include "app/settings/SettingsUI.hpp"

namespace noctave::app {

namespace {
constexpr int kWidth = 38;
constexpr int kHeight = 22;
}  // namespace

CallbackSwitch::CallbackSwitch(QWidget* parent) : QAbstractButton(parent) {
    setCheckable(true);
    setFocusPolicy(Qt::StrongFocus);
    setCursor(Qt::PointingHandCursor);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

QSize CallbackSwitch::sizeHint() const {
    // Room around the track for the focus ring.
    return {kWidth + 4, kHeight + 4};
}

bool CallbackSwitch::hitButton(const QPoint& position) const {
    return rect().contains(position);
}

void CallbackSwitch::nextCheckState() {
    const bool previous = isChecked();
    setChecked(!previous);
    if (onChange && !onChange(!previous)) {
        setChecked(previous);
    }
}

void CallbackSwitch::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QPalette& colours = palette();
    const QRectF track(2, 2, kWidth, kHeight);
    const double radius = kHeight / 2.0;

    QColor fill = isChecked() ? colours.color(QPalette::Highlight)
                              : UI::tinted(colours.color(QPalette::WindowText), 0.22);
    if (!isEnabled()) {
        fill = UI::tinted(colours.color(QPalette::WindowText), isChecked() ? 0.28 : 0.12);
    }
    painter.setPen(Qt::NoPen);
    painter.setBrush(fill);
    painter.drawRoundedRect(track, radius, radius);

    const double knob = kHeight - 4;
    const double x = isChecked() ? track.right() - 2 - knob : track.left() + 2;
    painter.setBrush(QColor(Qt::white));
    painter.setPen(QPen(UI::tinted(Qt::black, 0.18), 0.5));
    painter.drawEllipse(QRectF(x, track.top() + 2, knob, knob));

    if (hasFocus()) {
        QColor ring = colours.color(QPalette::Highlight);
        ring.setAlphaF(0.6f);
        painter.setBrush(Qt::NoBrush);
        painter.setPen(QPen(ring, 2));
        painter.drawRoundedRect(track.adjusted(-1, -1, 1, 1), radius + 1, radius + 1);
    }
}

}  // namespace noctave::app

#include "app/onboarding/KeepAwakeVisualView.hpp"

#include <QPainter>
#include <QPainterPath>

#include "app/onboarding/OnboardingDrawing.hpp"
#include "app/onboarding/OnboardingPalette.hpp"
#include "app/settings/CallbackSwitch.hpp"
#include "core/os/Vocabulary.hpp"
#include "core/support/Prefs.hpp"

namespace noctave::app {

namespace {

using OnboardingPalette::srgb;

const QRectF kTerminal(28, 54, 222, 130);
const QRectF kCard(318, 116, 214, 68);
constexpr double kSwitchFromRight = 48;
constexpr double kSwitchFromTop = 60;

void drawPill(QPainter& painter, const QRectF& rect, const QColor& fill, const QString& text,
              double points, const QColor& ink) {
    QPainterPath pill;
    pill.addRoundedRect(rect, rect.height() / 2, rect.height() / 2);
    painter.fillPath(pill, fill);
    OnboardingDrawing::drawText(painter, rect, text,
                                OnboardingDrawing::monospacedFont(points, QFont::DemiBold), ink);
}

}  // namespace

KeepAwakeVisualView::KeepAwakeVisualView(bool isOn, std::function<bool(bool isOn)> onChange,
                                         QWidget* parent)
    : OnboardingVisualView(parent), toggle_(new CallbackSwitch(this)) {
    QPalette colours = toggle_->palette();
    colours.setColor(QPalette::Highlight, OnboardingPalette::ember());
    colours.setColor(QPalette::WindowText, OnboardingPalette::primaryText());
    toggle_->setPalette(colours);
    toggle_->setAccessibleName(QStringLiteral("Keep awake with the lid open"));
    toggle_->setChecked(isOn);
    toggle_->onChange = [this, onChange = std::move(onChange)](bool on) {
        const bool accepted = !onChange || onChange(on);
        update();
        return accepted;
    };
    const QSize size = toggle_->sizeHint();
    toggle_->setGeometry(static_cast<int>(kWidth - kSwitchFromRight) - size.width(),
                         static_cast<int>(kSwitchFromTop), size.width(), size.height());
}

void KeepAwakeVisualView::reset() {
    toggle_->setChecked(Prefs::keepAwake());
    update();
}

void KeepAwakeVisualView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.setRenderHint(QPainter::TextAntialiasing, true);
    OnboardingDrawing::flipToYUp(painter, height());
    OnboardingDrawing::drawCard(painter, rect());

    // What keep-awake replaces: a terminal holding the machine up by hand.
    QPainterPath terminal;
    terminal.addRoundedRect(kTerminal, 13, 13);
    painter.fillPath(terminal, srgb(0, 0, 0, 0.36));
    painter.strokePath(terminal, QPen(OnboardingPalette::hairline(), 1));
    const QColor dots[] = {srgb(1.0, 0.37, 0.34, 0.75), srgb(1.0, 0.74, 0.18, 0.75),
                           srgb(0.16, 0.79, 0.25, 0.75)};
    painter.setPen(Qt::NoPen);
    for (int i = 0; i < 3; ++i) {
        painter.setBrush(dots[i]);
        painter.drawEllipse(QRectF(kTerminal.left() + 16 + 13 * i, kTerminal.bottom() - 22, 7, 7));
    }
    QColor command = OnboardingPalette::primaryText();
    command.setAlphaF(0.76f);
    OnboardingDrawing::drawText(painter,
                                QRectF(kTerminal.left() + 18, kTerminal.top() + 62, 190, 18),
                                QString::fromStdString(os::vocabulary().keepAwakeCommand()),
                                OnboardingDrawing::monospacedFont(11, QFont::Normal), command,
                                Qt::AlignLeft | Qt::AlignVCenter);
    OnboardingDrawing::drawText(
        painter, QRectF(kTerminal.left() + 18, kTerminal.top() + 38, 190, 18),
        QStringLiteral("No Terminal needed."), OnboardingDrawing::systemFont(10.5, QFont::Normal),
        OnboardingPalette::secondaryText(), Qt::AlignLeft | Qt::AlignVCenter);

    OnboardingDrawing::drawArrow(painter, QPointF(kTerminal.right() + 18, kTerminal.center().y()),
                                 QPointF(kCard.left() - 18, kTerminal.center().y()),
                                 srgb(1.0, 0.31, 0.075, 0.72), 1.8);

    // The switch's card; the switch itself is a child widget on the right of it.
    QPainterPath card;
    card.addRoundedRect(kCard, 13, 13);
    painter.fillPath(card, srgb(1, 1, 1, 0.055));
    painter.strokePath(card, QPen(OnboardingPalette::hairline(), 1));
    OnboardingDrawing::drawText(
        painter, QRectF(kCard.left() + 18, kCard.top(), 110, kCard.height()),
        QStringLiteral("Lid open"), OnboardingDrawing::systemFont(13, QFont::DemiBold),
        OnboardingPalette::primaryText(), Qt::AlignLeft | Qt::AlignVCenter);

    drawPill(painter, QRectF(kCard.left(), 73, 214, 25), srgb(1.0, 0.58, 0.3, 0.12),
             QStringLiteral("AGENTS RUNNING"), 9, OnboardingPalette::emberSoft());
    drawPill(painter, QRectF(kCard.left(), 40, 214, 25), srgb(1, 1, 1, 0.05),
             QStringLiteral("DISPLAY SLEEPS NORMALLY"), 8.2, OnboardingPalette::secondaryText());
}

}  // namespace noctave::app

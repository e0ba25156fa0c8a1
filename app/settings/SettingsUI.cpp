#include "app/settings/SettingsUI.hpp"

#include <utility>

#include <QApplication>
#include <QEvent>
#include <QHBoxLayout>
#include <QPainter>
#include <QScreen>
#include <QVBoxLayout>

#include "app/settings/CallbackSwitch.hpp"

namespace noctave::app {

GroupBox::GroupBox(QWidget* parent) : QWidget(parent), stack_(new QVBoxLayout(this)) {
    stack_->setSpacing(2);
    stack_->setContentsMargins(14, 6, 14, 6);
}

void GroupBox::paintEvent(QPaintEvent*) {
    // Read at every paint, so a change of the desktop's colours shows at once.
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(UI::tinted(palette().color(QPalette::WindowText), 0.08), 1));
    painter.setBrush(palette().color(QPalette::Base));
    painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 9, 9);
}

Column::Column(int spacing, bool isCentred, QWidget* parent)
    : QWidget(parent), layout_(new QVBoxLayout(this)), spacing_(spacing), isCentred_(isCentred) {
    // Gaps are added one by one, so a child can have its own.
    layout_->setSpacing(0);
    layout_->setContentsMargins(0, 0, 0, 0);
}

void Column::add(QWidget* child, int spacingAfter) {
    if (!children_.empty()) {
        layout_->addSpacing(pendingSpacing_);
    }
    layout_->addWidget(child, 0, isCentred_ ? Qt::AlignHCenter : Qt::Alignment());
    children_.push_back(child);
    pendingSpacing_ = spacingAfter < 0 ? spacing_ : spacingAfter;
}

TextLabel::TextLabel(const QString& text, Tone tone, QWidget* parent)
    : QLabel(text, parent), tone_(tone) {
    setTextFormat(Qt::PlainText);
    applyTone();
}

void TextLabel::setTone(Tone tone) {
    tone_ = tone;
    applyTone();
}

void TextLabel::changeEvent(QEvent* event) {
    if (event->type() == QEvent::ApplicationPaletteChange) {
        applyTone();
    }
    QLabel::changeEvent(event);
}

void TextLabel::applyTone() {
    const QColor text = QApplication::palette().color(QPalette::WindowText);
    const double alpha = tone_ == Tone::primary ? 1.0 : tone_ == Tone::secondary ? 0.55 : 0.3;
    QPalette colours = palette();
    colours.setColor(QPalette::WindowText, UI::tinted(text, alpha));
    setPalette(colours);
}

namespace UI {

QFont font(double pixels, QFont::Weight weight) {
    QFont result = QApplication::font();
    // Sizes are given in logical pixels; Qt's point sizes follow the screen's logical DPI.
    const QScreen* screen = QGuiApplication::primaryScreen();
    const double dpi = screen != nullptr ? screen->logicalDotsPerInchY() : 96.0;
    result.setPointSizeF(pixels * 72.0 / dpi);
    result.setWeight(weight);
    return result;
}

QColor tinted(const QColor& colour, double alpha) {
    QColor result = colour;
    result.setAlphaF(static_cast<float>(colour.alphaF() * alpha));
    return result;
}

SwitchRow switchRow(const QString& title, bool value, bool isEnabled, const QString& trailingHint,
                    std::function<bool(bool)> onChange) {
    auto* row = new QWidget;
    row->setFixedHeight(38);
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(6);

    auto* label =
        new TextLabel(title, isEnabled ? TextLabel::Tone::primary : TextLabel::Tone::tertiary);
    label->setFont(font(13.5));
    layout->addWidget(label);
    if (!trailingHint.isEmpty()) {
        auto* hint = new TextLabel(trailingHint, TextLabel::Tone::secondary);
        hint->setFont(font(13));
        layout->addWidget(hint);
    }
    layout->addStretch(1);

    auto* toggle = new CallbackSwitch;
    toggle->setChecked(value);
    toggle->setEnabled(isEnabled);
    toggle->setAccessibleName(title);
    toggle->onChange = std::move(onChange);
    layout->addWidget(toggle);
    return {row, label, toggle};
}

TextLabel* caption(const QString& text) {
    auto* label = new TextLabel(text, TextLabel::Tone::secondary);
    label->setFont(font(11.5));
    label->setWordWrap(true);
    label->setTextInteractionFlags(Qt::NoTextInteraction);
    return label;
}

TextLabel* header(const QString& text) {
    auto* label = new TextLabel(text, TextLabel::Tone::primary);
    label->setFont(font(14, QFont::DemiBold));
    return label;
}

namespace {
class SeparatorLine final : public QWidget {
  public:
    SeparatorLine() { setFixedHeight(1); }

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter(this).fillRect(rect(), tinted(palette().color(QPalette::WindowText), 0.12));
    }
};
}  // namespace

QWidget* separator() {
    return new SeparatorLine;
}

QWidget* spacer() {
    auto* view = new QWidget;
    view->setFixedHeight(4);
    return view;
}

}  // namespace UI
}  // namespace noctave::app

#include "app/onboarding/StandardOnboardingPage.hpp"

#include <algorithm>
#include <cmath>

#include <QLabel>
#include <QPainter>
#include <QVBoxLayout>

#include "app/onboarding/OnboardingDrawing.hpp"
#include "app/onboarding/OnboardingPalette.hpp"

namespace noctave::app {

namespace {

constexpr int kTextWidth = 520;
constexpr int kSpacing = 7;
constexpr int kAfterEyebrow = 10;
constexpr int kAfterTitle = 14;
constexpr int kAfterBody = 17;
constexpr int kAboveMiddle = 14;

// The small capitals above the title. Painted rather than a label: it only decorates the
// title, so assistive technology has nothing to read out here.
class Eyebrow final : public QWidget {
  public:
    Eyebrow(QString text, QWidget* parent) : QWidget(parent), text_(std::move(text)) {
        font_ = OnboardingDrawing::monospacedFont(10.5, QFont::DemiBold);
        const QFontMetricsF metrics(font_);
        setFixedSize(static_cast<int>(std::ceil(metrics.horizontalAdvance(text_))) + 2,
                     static_cast<int>(std::ceil(metrics.height())));
    }

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::TextAntialiasing, true);
        painter.setFont(font_);
        painter.setPen(OnboardingPalette::emberSoft());
        painter.drawText(rect(), Qt::AlignCenter, text_);
    }

  private:
    QString text_;
    QFont font_;
};

QLabel* makeLabel(const QString& text, const QFont& font, const QColor& color, int maxLines,
                  QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setFont(font);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, color);
    label->setPalette(palette);
    label->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    label->setWordWrap(true);
    label->setTextFormat(Qt::PlainText);
    label->setFixedWidth(kTextWidth);
    const QFontMetrics metrics(font);
    label->setMaximumHeight(metrics.lineSpacing() * maxLines + 2);
    return label;
}

}  // namespace

StandardOnboardingPage::StandardOnboardingPage(const QString& eyebrow, const QString& title,
                                               const QString& body, OnboardingVisualView* visual,
                                               QWidget* parent)
    : OnboardingPageView(parent), stack_(new QWidget(this)), visual_(visual) {
    auto* layout = new QVBoxLayout(stack_);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(kSpacing);
    if (!eyebrow.isEmpty()) {
        layout->addWidget(new Eyebrow(eyebrow, stack_), 0, Qt::AlignHCenter);
        layout->addSpacing(kAfterEyebrow);
    }
    title_ = makeLabel(title, OnboardingDrawing::systemFont(31, QFont::DemiBold),
                       OnboardingPalette::primaryText(), 2, stack_);
    layout->addWidget(title_, 0, Qt::AlignHCenter);
    layout->addSpacing(kAfterTitle);
    body_ = makeLabel(body, OnboardingDrawing::systemFont(13.5, QFont::Normal),
                      OnboardingPalette::secondaryText(), 3, stack_);
    layout->addWidget(body_, 0, Qt::AlignHCenter);
    if (visual_ != nullptr) {
        layout->addSpacing(kAfterBody);
        visual_->setParent(stack_);
        layout->addWidget(visual_, 0, Qt::AlignHCenter);
    }
    setAccessibleName(QString(title).replace('\n', ' '));
}

QRect StandardOnboardingPage::stackGeometry() const {
    return stack_->geometry();
}

void StandardOnboardingPage::resizeEvent(QResizeEvent* event) {
    OnboardingPageView::resizeEvent(event);
    const QSize size = stack_->sizeHint();
    const int height = std::min(size.height(), this->height());
    int top = 0;
    if (visual_ == nullptr) {
        top = (this->height() - height) / 2 - kAboveMiddle;
    }
    // Never below the page.
    top = std::clamp(top, 0, this->height() - height);
    stack_->setGeometry((width() - size.width()) / 2, top, size.width(), height);
}

void StandardOnboardingPage::becameVisible() {
    if (visual_ != nullptr) {
        visual_->becameVisible();
    }
}

void StandardOnboardingPage::resignedVisible() {
    if (visual_ != nullptr) {
        visual_->resignedVisible();
    }
}

void StandardOnboardingPage::prepareForSnapshot() {
    if (visual_ != nullptr) {
        visual_->prepareForSnapshot();
    }
}

void StandardOnboardingPage::reset() {
    if (visual_ != nullptr) {
        visual_->reset();
    }
}

}  // namespace noctave::app

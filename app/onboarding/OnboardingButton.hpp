#pragma once

#include <QAbstractButton>
#include <QColor>

namespace noctave::app {

// The onboarding's own buttons, dark whatever the desktop's theme: plain text (Back), a filled
// bezel (the next button), or the window's round close button.
class OnboardingButton final : public QAbstractButton {
  public:
    enum class Style { inlineText, bezel, close };

    OnboardingButton(Style style, const QString& title, QWidget* parent = nullptr);

    void setColors(const QColor& bezel, const QColor& text);
    QColor bezelColor() const { return bezel_; }
    QColor textColor() const { return text_; }

    QSize sizeHint() const override;

  protected:
    void paintEvent(QPaintEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;

  private:
    Style style_;
    QColor bezel_;
    QColor text_;
    bool isHovered_ = false;
};

}  // namespace noctave::app

#pragma once

#include <QAbstractButton>
#include <QIcon>

class QVariantAnimation;

namespace noctave::app {

// A flat, full-width button of the About pane: a 16-pixel symbol and a label, tinted with the
// accent colour while the pointer is over it or it has the keyboard focus. Icon and label are
// painted by the button itself, so every click lands on it.
class AboutActionButton final : public QAbstractButton {
    Q_OBJECT

  public:
    AboutActionButton(const QIcon& actionIcon, const QString& actionLabel,
                      QWidget* parent = nullptr);
    ~AboutActionButton() override;

    // How the button looks for a combination of its states.
    struct Look {
        double backgroundAlpha;  // of the accent colour
        bool isHighlighted;      // accent icon tint
        double borderWidth;      // accent at 0.78, only while focused
        double opacity;          // of the whole button
    };
    static Look lookFor(bool isEnabled, bool pointerInside, bool pressed, bool focused);

    // Draws the pointer-over look from now on, without animation (the hover snapshot).
    void showPointerInside();

    QSize sizeHint() const override;

  protected:
    void paintEvent(QPaintEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void changeEvent(QEvent* event) override;

  private:
    Look currentLook() const;
    // Moves the drawn background to the current look, animated when `animated` and motion is
    // allowed.
    void refresh(bool animated);

    bool pointerInside_ = false;
    bool isPressed_ = false;
    double shownAlpha_ = 0;
    QVariantAnimation* animation_ = nullptr;  // child; runs only during a transition
};

}  // namespace noctave::app

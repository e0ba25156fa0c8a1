#pragma once

#include <QAbstractButton>

namespace noctave::app {

// One page dot: a short white bar, or a longer ember one for the page shown. Clicking it goes
// to its page.
class OnboardingDotButton final : public QAbstractButton {
  public:
    static constexpr int kSize = 24;

    OnboardingDotButton(int index, int pageCount, QWidget* parent = nullptr);

    int index() const { return index_; }
    bool isCurrent() const { return isCurrent_; }
    // Also tells assistive technology: "Current step" or "Not current".
    void setCurrent(bool current);

    QSize sizeHint() const override { return {kSize, kSize}; }

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    const int index_;
    bool isCurrent_ = false;
};

}  // namespace noctave::app

#pragma once

#include <functional>

#include <QWidget>

namespace noctave::app {

// Holds the onboarding's pages and buttons and routes its keys: Escape, the left and right
// arrows, and Return (the next button's key). It sees them whichever of its buttons has the
// focus, so the arrows page rather than move the focus.
class OnboardingKeyboardView final : public QWidget {
  public:
    explicit OnboardingKeyboardView(QWidget* parent = nullptr);

    // Routes the keys of `child` (a focusable descendant) here as well.
    void watch(QWidget* child);

    std::function<void()> onPrevious;
    std::function<void()> onNext;
    std::function<void()> onDismiss;
    std::function<void()> onReturn;

  protected:
    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    bool route(const QKeyEvent& event);
};

}  // namespace noctave::app

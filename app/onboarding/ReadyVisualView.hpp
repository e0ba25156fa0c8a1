#pragma once

#include "app/onboarding/OnboardingVisualView.hpp"

namespace noctave::app {

// Where the program lives: the tray icon ready and armed, with the right-click between them.
class ReadyVisualView final : public OnboardingVisualView {
  public:
    explicit ReadyVisualView(QWidget* parent = nullptr);

  protected:
    void paintEvent(QPaintEvent* event) override;
};

}  // namespace noctave::app

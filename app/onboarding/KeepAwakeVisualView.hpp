#pragma once

#include <functional>

#include "app/onboarding/OnboardingVisualView.hpp"

namespace noctave::app {

class CallbackSwitch;

// Keep-awake mode: a terminal command the user no longer needs, and the switch that does it.
class KeepAwakeVisualView final : public OnboardingVisualView {
  public:
    // `onChange` gets the switch's new state and answers whether to keep it.
    KeepAwakeVisualView(bool isOn, std::function<bool(bool isOn)> onChange,
                        QWidget* parent = nullptr);

    // A new showing: the switch shows the preference as it is now.
    void reset() override;

    CallbackSwitch* toggle() const { return toggle_; }

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    CallbackSwitch* toggle_;
};

}  // namespace noctave::app

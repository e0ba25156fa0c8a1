#pragma once

#include <QWidget>

namespace noctave::app {

// The base of the onboarding's pages, with the four hooks the window calls.
class OnboardingPageView : public QWidget {
  public:
    explicit OnboardingPageView(QWidget* parent = nullptr) : QWidget(parent) {}

    virtual void becameVisible() {}
    virtual void resignedVisible() {}
    virtual void prepareForSnapshot() {}
    virtual void reset() {}
};

}  // namespace noctave::app

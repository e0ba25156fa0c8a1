#pragma once

#include <QWidget>

namespace noctave::app {

// The base of the onboarding's pictures (560 x 230 points on their page). The four hooks do
// nothing unless a picture needs them.
class OnboardingVisualView : public QWidget {
  public:
    static constexpr int kWidth = 560;
    static constexpr int kHeight = 230;

    explicit OnboardingVisualView(QWidget* parent = nullptr) : QWidget(parent) {
        setFixedSize(kWidth, kHeight);
    }

    virtual void becameVisible() {}
    virtual void resignedVisible() {}
    virtual void prepareForSnapshot() {}
    virtual void reset() {}
};

}  // namespace noctave::app

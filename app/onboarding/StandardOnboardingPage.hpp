#pragma once

#include <QString>

#include "app/onboarding/OnboardingPageView.hpp"
#include "app/onboarding/OnboardingVisualView.hpp"

class QLabel;

namespace noctave::app {

// A page of the onboarding: an eyebrow, a title, a body and a picture, stacked and centred.
// With a picture the stack starts at the top; without one it sits just above the middle.
// Forwards the hooks to its picture.
class StandardOnboardingPage final : public OnboardingPageView {
  public:
    // `eyebrow` may be empty (none); the page takes `visual` (may be null).
    StandardOnboardingPage(const QString& eyebrow, const QString& title, const QString& body,
                           OnboardingVisualView* visual, QWidget* parent = nullptr);

    OnboardingVisualView* visual() const { return visual_; }
    const QLabel* titleLabel() const { return title_; }
    const QLabel* bodyLabel() const { return body_; }
    QRect stackGeometry() const;

    void becameVisible() override;
    void resignedVisible() override;
    void prepareForSnapshot() override;
    void reset() override;

  protected:
    void resizeEvent(QResizeEvent* event) override;

  private:
    QWidget* stack_;
    QLabel* title_;
    QLabel* body_;
    OnboardingVisualView* visual_;
};

}  // namespace noctave::app

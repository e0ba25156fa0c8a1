#pragma once

#include <functional>
#include <memory>
#include <optional>

#include <QImage>

#include "app/onboarding/GesturePractice.hpp"
#include "app/onboarding/OnboardingVisualView.hpp"
#include "core/runtime/Timer.hpp"
#include "core/runtime/WeakPtr.hpp"

namespace noctave {
class SessionController;
}

namespace noctave::app {

// The live practice of the Fn + close gesture: a key cap lit by the real Fn key, and a drawn
// laptop whose screen the close curtain covers as the real lid moves. While nobody touches
// anything, a looping demonstration shows the gesture. The first progress the gesture driver
// reports completes the practice.
//
// The session controller must outlive the view. While the view is visible it holds the gesture
// driver in practice mode; its animation clock runs on the main queue and stops whenever the
// picture cannot change until the driver reports something.
class GesturePracticeView final : public OnboardingVisualView {
  public:
    GesturePracticeView(SessionController& session, std::function<void()> onComplete,
                        QWidget* parent = nullptr);
    ~GesturePracticeView() override;

    void becameVisible() override;
    void resignedVisible() override;
    void prepareForSnapshot() override;
    void reset() override;

    const GesturePractice& practice() const { return practice_; }
    bool isAnimating() const { return timer_ != nullptr; }
    // "HOLD + MOVE", or "✓  DONE" once the practice is complete.
    QString caption() const;

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    void handleProgress(std::optional<double> progress);
    void handleFunctionHeld(bool held);
    void tick();
    void ensureTimer();
    void stopTimer();
    void stopPractising();
    bool isMotionReduced() const;
    const std::optional<QImage>& wallpaper();

    SessionController& session_;
    std::function<void()> onComplete_;
    std::optional<std::optional<QImage>> wallpaper_;  // outer: not loaded yet
    std::unique_ptr<runtime::Timer> timer_;
    GesturePractice practice_;
    bool isVisibleOnPage_ = false;
    runtime::WeakFactory<GesturePracticeView> weakFactory_{this};
};

}  // namespace noctave::app

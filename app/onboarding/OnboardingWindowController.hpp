#pragma once

#include <array>
#include <filesystem>
#include <memory>
#include <string>

#include "app/onboarding/OnboardingFlow.hpp"
#include "app/settings/OnboardingPresenter.hpp"
#include "core/runtime/WeakPtr.hpp"

class QAbstractButton;
class QWidget;

namespace noctave {
class SessionController;
}

namespace noctave::app {

class OnboardingButton;
class OnboardingDotButton;
class OnboardingKeyboardView;
class OnboardingPageHost;
class OnboardingPageView;
class OnboardingWindow;

// The four-page introduction: what the program does, a practice of the Fn + close gesture,
// keep-awake mode with its switch, and where the program lives. A dark 720 x 560 window with
// Back and next buttons, four page dots, and the Escape and arrow keys. The window is kept
// when closed; every show() starts a fresh showing.
//
// The session controller must outlive this controller. Main thread only.
class OnboardingWindowController final : public OnboardingPresenter,
                                         private OnboardingFlow::Surface {
  public:
    static constexpr int kWidth = 720;
    static constexpr int kHeight = 560;
    static constexpr int kPageCount = 4;

    explicit OnboardingWindowController(SessionController& session);
    ~OnboardingWindowController() override;
    OnboardingWindowController(const OnboardingWindowController&) = delete;
    OnboardingWindowController& operator=(const OnboardingWindowController&) = delete;

    // A fresh showing at `page`: the pages start over, the practice is asked for again. With a
    // visible `parent` the window opens centred over it, else on the screen.
    void show(QWidget* parent, int page) override;

    // Shows `page` as a snapshot has it (the practice half way and done) and writes the
    // window, 720 x 560 pixels, as PNG.
    bool writeSnapshot(const std::filesystem::path& file, int page, std::string* error) override;

    int currentIndex() const { return flow_.currentIndex(); }
    const OnboardingFlow& flow() const { return flow_; }

    // The parts, for tests and the accessibility tree.
    QWidget* window() const;
    OnboardingKeyboardView* keyboardView() const { return keyboardView_; }
    OnboardingPageView* page(int index) const;
    QAbstractButton* backButton() const;
    OnboardingButton* nextButton() const { return nextButton_; }
    QAbstractButton* closeButton() const;
    OnboardingDotButton* dot(int index) const { return dots_.at(static_cast<std::size_t>(index)); }
    bool isPushing() const;

  private:
    // OnboardingFlow::Surface
    int pageCount() const override;
    void pageBecameVisible(int index) override;
    void pageResignedVisible(int index) override;
    void resetPage(int index) override;
    void presentPage(int index, PagePush push) override;
    void setNextButton(const NextButtonLook& look) override;
    void announce(int index, const QString& text) override;
    void orderOut() override;

    void buildPages();
    void buildNavigation();
    bool keepAwakeChanged(bool isOn);

    SessionController& session_;
    std::unique_ptr<OnboardingWindow> window_;
    OnboardingKeyboardView* keyboardView_ = nullptr;
    OnboardingPageHost* pageHost_ = nullptr;
    OnboardingButton* backButton_ = nullptr;
    OnboardingButton* nextButton_ = nullptr;
    OnboardingButton* closeButton_ = nullptr;
    std::array<OnboardingDotButton*, kPageCount> dots_{};
    OnboardingFlow flow_{*this};
    runtime::WeakFactory<OnboardingWindowController> weakFactory_{this};
};

}  // namespace noctave::app

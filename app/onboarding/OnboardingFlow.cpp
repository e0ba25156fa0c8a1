#include "app/onboarding/OnboardingFlow.hpp"

#include <algorithm>

#include "app/onboarding/OnboardingPalette.hpp"
#include "core/os/ReduceMotion.hpp"
#include "core/os/System.hpp"

namespace noctave::app {

NextButtonLook NextButtonLook::of(Kind kind) {
    switch (kind) {
        case Kind::start:
            return {kind, QStringLiteral("Start Using Noctave"), 154, OnboardingPalette::ember(),
                    Qt::white};
        case Kind::skip:
            return {kind, QStringLiteral("Skip"), 116, OnboardingPalette::srgb(0.2, 0.19, 0.22),
                    OnboardingPalette::secondaryText()};
        case Kind::continueOn:
            break;
    }
    return {Kind::continueOn, QStringLiteral("Continue"), 116, OnboardingPalette::ember(),
            Qt::white};
}

NextButtonLook OnboardingFlow::nextButtonLook() const {
    using Kind = NextButtonLook::Kind;
    if (isLastPage()) {
        return NextButtonLook::of(Kind::start);
    }
    if (currentIndex_ == kPracticePage && !gesturePracticeComplete_) {
        return NextButtonLook::of(Kind::skip);
    }
    return NextButtonLook::of(Kind::continueOn);
}

void OnboardingFlow::showPage(int index, bool animated) {
    const int count = surface_.pageCount();
    if (count == 0) {
        return;
    }
    const int target = std::clamp(index, 0, count - 1);
    const int previous = currentIndex_;
    // Also when it is the target: re-entering a page starts it over (the practice's
    // demonstration restarts).
    surface_.pageResignedVisible(previous);
    currentIndex_ = target;

    PagePush push = PagePush::none;
    const auto& reduceMotion = os::system().reduceMotion;
    if (animated && target != previous && !(reduceMotion && reduceMotion->isEnabled())) {
        push = target >= previous ? PagePush::fromRight : PagePush::fromLeft;
    }
    surface_.presentPage(target, push);
    surface_.pageBecameVisible(target);
    updateNextButton();
    surface_.announce(target, QStringLiteral("Step %1 of %2").arg(target + 1).arg(count));
}

void OnboardingFlow::showPrevious() {
    if (currentIndex_ >= 1) {
        showPage(currentIndex_ - 1, true);
    }
}

void OnboardingFlow::showNextOrDismiss() {
    if (isLastPage()) {
        dismiss();
    } else {
        showPage(currentIndex_ + 1, true);
    }
}

void OnboardingFlow::beginShowing(int page) {
    dismissalNotified_ = false;
    gesturePracticeComplete_ = false;
    for (int index = 0; index < surface_.pageCount(); ++index) {
        surface_.resetPage(index);
    }
    showPage(page, false);
}

void OnboardingFlow::dismiss() {
    surface_.pageResignedVisible(currentIndex_);
    surface_.orderOut();
    notifyDismissal();
}

bool OnboardingFlow::windowShouldClose() {
    surface_.pageResignedVisible(currentIndex_);
    return true;
}

void OnboardingFlow::windowWillClose() {
    notifyDismissal();
}

void OnboardingFlow::practiceCompleted() {
    if (gesturePracticeComplete_) {
        return;
    }
    gesturePracticeComplete_ = true;
    if (currentIndex_ == kPracticePage) {
        updateNextButton();
    }
}

void OnboardingFlow::updateNextButton() {
    surface_.setNextButton(nextButtonLook());
}

void OnboardingFlow::notifyDismissal() {
    if (dismissalNotified_) {
        return;
    }
    dismissalNotified_ = true;
    if (onDismiss) {
        // A copy: the handler may set a new onDismiss (or show the window again).
        auto handler = onDismiss;
        handler();
    }
}

}  // namespace noctave::app

// The onboarding window's rules without its widgets: page order and hooks, and the next
// button's looks across pages and showings.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "app/onboarding/OnboardingFlow.hpp"
#include "app/onboarding/OnboardingSnapshotPage.hpp"
#include "platform/sim/SimReduceMotion.hpp"
#include "tests/support/SimTest.hpp"

namespace noctave::test {
namespace {

using app::NextButtonLook;
using app::OnboardingFlow;
using app::PagePush;
using Kind = NextButtonLook::Kind;

// Records what the flow asks of the window, one line per call.
class RecordingSurface final : public OnboardingFlow::Surface {
  public:
    int pageCount() const override { return 4; }
    void pageBecameVisible(int index) override { add("became " + std::to_string(index)); }
    void pageResignedVisible(int index) override { add("resigned " + std::to_string(index)); }
    void resetPage(int index) override { add("reset " + std::to_string(index)); }
    void presentPage(int index, PagePush push) override {
        const char* how = push == PagePush::none        ? "still"
                          : push == PagePush::fromRight ? "right"
                                                        : "left";
        add("present " + std::to_string(index) + " " + how);
        pushes.push_back(push);
    }
    void setNextButton(const NextButtonLook& look) override {
        add("next " + look.title.toStdString());
        next = look;
    }
    void announce(int, const QString& text) override { add("say " + text.toStdString()); }
    void orderOut() override { add("order out"); }

    void add(std::string line) { calls.push_back(std::move(line)); }
    std::vector<std::string> take() { return std::exchange(calls, {}); }

    std::vector<std::string> calls;
    std::vector<PagePush> pushes;
    NextButtonLook next = NextButtonLook::of(Kind::continueOn);
};

class OnboardingFlowTest : public SimTest {
  protected:
    OnboardingFlowTest() {
        flow.showPage(0, false);
        surface.take();
        surface.pushes.clear();
    }

    RecordingSurface surface;
    OnboardingFlow flow{surface};
};

TEST_F(OnboardingFlowTest, DotsPushByDirectionAndTheCurrentDotStartsItsPageOverInPlace) {
    flow.showPage(3, true);
    EXPECT_EQ(surface.take(),
              (std::vector<std::string>{"resigned 0", "present 3 right", "became 3",
                                        "next Start Using Noctave", "say Step 4 of 4"}));
    flow.showPage(0, true);
    EXPECT_EQ(surface.pushes.back(), PagePush::fromLeft);
    surface.take();

    // The same dot again: no push, but the page is left and entered again and announced.
    flow.showPage(0, true);
    EXPECT_EQ(surface.take(), (std::vector<std::string>{"resigned 0", "present 0 still", "became 0",
                                                        "next Continue", "say Step 1 of 4"}));

    // Out-of-range indices are clamped; the left arrow on page 0 does nothing at all.
    flow.showPage(9, false);
    EXPECT_EQ(flow.currentIndex(), 3);
    flow.showPage(-2, false);
    EXPECT_EQ(flow.currentIndex(), 0);
    surface.take();
    flow.showPrevious();
    EXPECT_TRUE(surface.take().empty());
}

TEST_F(OnboardingFlowTest, WithReducedMotionPagesChangeWithoutAPush) {
    auto reduceMotion = std::make_shared<sim::SimReduceMotion>();
    laptop.system().reduceMotion = reduceMotion;
    reduceMotion->setEnabled(true);
    flow.showNextOrDismiss();
    flow.showPage(3, true);
    flow.showPrevious();
    reduceMotion->setEnabled(false);
    flow.showPrevious();
    EXPECT_EQ(surface.pushes, (std::vector<PagePush>{PagePush::none, PagePush::none, PagePush::none,
                                                     PagePush::fromLeft}));
}

TEST_F(OnboardingFlowTest, ThePracticePageOffersSkipUntilThePracticeIsDoneForThisShowing) {
    // Completed on another page: the button is not touched there, but reads Continue later.
    flow.beginShowing(0);
    flow.practiceCompleted();
    EXPECT_EQ(surface.next.kind, Kind::continueOn);
    flow.showPage(1, false);
    EXPECT_EQ(surface.next.kind, Kind::continueOn);

    // A new showing asks for the practice again, and every page starts over first.
    surface.take();
    flow.beginShowing(1);
    const auto calls = surface.take();
    EXPECT_EQ(std::vector<std::string>(calls.begin(), calls.begin() + 5),
              (std::vector<std::string>{"reset 0", "reset 1", "reset 2", "reset 3", "resigned 1"}));
    EXPECT_EQ(surface.next.kind, Kind::skip);
}

TEST(OnboardingSnapshotPageTest, PageNumbersAreOneBasedClampedAndAnythingElseIsTheFirstPage) {
    const std::pair<std::optional<std::string>, int> cases[] = {
        {std::nullopt, 0}, {"", 0},   {"1", 0}, {"2", 1},  {"+3", 2},
        {"4", 3},          {"9", 3},  {"0", 0}, {"-3", 0}, {"x", 0},
        {"2x", 0},         {" 2", 0}, {"-", 0}, {"+", 0},  {"99999999999999999999999", 3},
    };
    for (const auto& [argument, page] : cases) {
        SCOPED_TRACE(argument.value_or("(none)"));
        EXPECT_EQ(app::onboardingSnapshotPage(argument), page);
    }
}

}  // namespace
}  // namespace noctave::test

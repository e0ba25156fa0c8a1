#pragma once

#include <functional>

#include <QColor>
#include <QString>

namespace noctave::app {

// How the next button looks: its title, width in points and colours.
struct NextButtonLook {
    enum class Kind { continueOn, skip, start };

    Kind kind;
    QString title;
    int width;
    QColor bezel;
    QColor text;

    static NextButtonLook of(Kind kind);
};

// Whether and from which side a page slides in.
enum class PagePush { none, fromRight, fromLeft };

// The onboarding window's logic, apart from its widgets: which page shows, the order of the
// pages' hooks, the next button's look, and the rule that the user leaves the onboarding at
// most once per showing, whichever way they leave. Main thread only.
class OnboardingFlow {
  public:
    static constexpr int kPracticePage = 1;

    // The window and its pages, as the flow drives them.
    class Surface {
      public:
        virtual ~Surface() = default;
        virtual int pageCount() const = 0;
        virtual void pageBecameVisible(int index) = 0;
        virtual void pageResignedVisible(int index) = 0;
        virtual void resetPage(int index) = 0;
        // Shows page `index` alone, with the Back button and the dots to match.
        virtual void presentPage(int index, PagePush push) = 0;
        virtual void setNextButton(const NextButtonLook& look) = 0;
        // Tells assistive technology, on behalf of page `index`.
        virtual void announce(int index, const QString& text) = 0;
        // Takes the window off screen without closing it.
        virtual void orderOut() = 0;
    };

    explicit OnboardingFlow(Surface& surface) : surface_(surface) {}

    int currentIndex() const { return currentIndex_; }
    bool isGesturePracticeComplete() const { return gesturePracticeComplete_; }
    bool isLastPage() const { return currentIndex_ == surface_.pageCount() - 1; }
    NextButtonLook nextButtonLook() const;

    // Clamps `index` to the pages there are; the push only when animated, to another page,
    // and the desktop allows motion.
    void showPage(int index, bool animated);
    void showPrevious();
    // The next page, or leaving from the last one.
    void showNextOrDismiss();

    // A new showing at `page`: the pages start over and onDismiss may fire again.
    void beginShowing(int page);

    // The user leaves by the last page's button, Return, the right arrow there, or Escape.
    void dismiss();
    // The window's close button: may the window close? (Always; the page is told first.)
    bool windowShouldClose();
    void windowWillClose();

    // The practice on its page was done; the next button says so at once.
    void practiceCompleted();

    // Called at most once per showing.
    std::function<void()> onDismiss;

  private:
    void updateNextButton();
    void notifyDismissal();

    Surface& surface_;
    int currentIndex_ = 0;
    bool gesturePracticeComplete_ = false;
    bool dismissalNotified_ = false;
};

}  // namespace noctave::app

#pragma once

#include <vector>

#include <QPixmap>
#include <QWidget>

#include "app/onboarding/OnboardingFlow.hpp"

class QVariantAnimation;

namespace noctave::app {

class OnboardingPageView;

// Holds the pages, each filling it, one shown at a time. A push slides the new page in over
// 0.26 s (ease in, ease out) while the old one leaves on the other side.
class OnboardingPageHost final : public QWidget {
  public:
    static constexpr int kPushMilliseconds = 260;

    explicit OnboardingPageHost(QWidget* parent = nullptr);
    ~OnboardingPageHost() override;

    // The host takes the page.
    void addPage(OnboardingPageView* page);
    int pageCount() const { return static_cast<int>(pages_.size()); }
    OnboardingPageView* page(int index) const { return pages_.at(static_cast<std::size_t>(index)); }

    void present(int index, PagePush push);
    bool isPushing() const;

  protected:
    void resizeEvent(QResizeEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

  private:
    void finishPush();

    std::vector<OnboardingPageView*> pages_;
    int shown_ = -1;
    QVariantAnimation* animation_;  // a child
    QPixmap leaving_;               // the page that slides out, as it last looked
    double leavingOffset_ = 0;
};

}  // namespace noctave::app

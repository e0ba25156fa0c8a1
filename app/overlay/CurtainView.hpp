#pragma once

#include <QPointer>
#include <QScreen>
#include <QWidget>

#include "app/overlay/CurtainAnimation.hpp"

namespace noctave::app {

// The curtain's window on one screen: frameless, translucent, above the other windows, on every
// workspace, and never a target of the keyboard or the pointer. It paints its animation's
// current frame; the overlay moves the animation.
class CurtainView final : public QWidget {
    Q_OBJECT

  public:
    explicit CurtainView(QScreen* screen);

    CurtainAnimation& animation() { return animation_; }
    const CurtainAnimation& animation() const { return animation_; }
    // The screen this window covers; null once that screen is gone.
    QScreen* targetScreen() const { return screen_.data(); }

    // Covers the screen's current geometry (it may have changed since the window was made).
    void fitScreen();
    // Brings the picture on screen up to the animation's state.
    void refresh();

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    static Qt::WindowFlags windowFlagsForPlatform();
    void syncMask();

    QPointer<QScreen> screen_;
    CurtainAnimation animation_;
    int maskedHeight_ = -1;
};

}  // namespace noctave::app

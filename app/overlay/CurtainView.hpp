#pragma once

#include <QPointer>
#include <QScreen>
#include <QWidget>
#include <QWindow>
#include <memory>

#include "app/overlay/CurtainAnimation.hpp"

namespace noctave::linuxos::wayland {
class LayerSurface;
}

namespace noctave::app {

class CurtainLayerShell;

// The curtain on one screen: frameless, translucent, above the other windows, on every
// workspace, and never a target of the keyboard or the pointer. It paints its animation's
// current frame; the overlay moves the animation.
//
// Given a layer shell, it shows as a layer surface on the screen's output and its own window
// stays hidden; without one (X11, GNOME on Wayland), or when the screen has no output there,
// as its window.
class CurtainView final : public QWidget {
    Q_OBJECT

  public:
    // `layerShell` may be null; when given it must outlive the view.
    explicit CurtainView(QScreen* screen, CurtainLayerShell* layerShell = nullptr);
    ~CurtainView() override;
    CurtainView(const CurtainView&) = delete;
    CurtainView& operator=(const CurtainView&) = delete;

    // Puts the curtain on screen, above everything, without taking the focus.
    void present();
    // Takes it off the screen.
    void withdraw();
    // Whether it shows as a layer surface rather than as its window.
    bool isLayerSurface() const { return layer_ != nullptr; }

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
    bool event(QEvent* event) override;

  private:
    static Qt::WindowFlags windowFlagsForPlatform();
    void syncMask();
    void drawLayer();

    QPointer<QScreen> screen_;
    CurtainLayerShell* layerShell_;
    std::unique_ptr<linuxos::wayland::LayerSurface> layer_;
    // The application's window that had the focus before the curtain's window showed: a
    // compositor that gives the new window the focus anyway gets it handed back.
    QPointer<QWindow> focusBefore_;
    CurtainAnimation animation_;
    int maskedHeight_ = -1;
};

}  // namespace noctave::app

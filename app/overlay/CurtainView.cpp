#include "app/overlay/CurtainView.hpp"

#include <QGuiApplication>
#include <QPainter>
#include <QRegion>
#include <QScreen>
#include <cmath>

#include "app/overlay/CurtainDrawing.hpp"

namespace noctave::app {

namespace {
bool onWayland() {
    return QGuiApplication::platformName().startsWith(QLatin1String("wayland"));
}
}  // namespace

// On X11 a tool-tip window is override-redirect: above the panels, on every workspace, never
// managed and never given focus. Wayland has no such window without a parent, so there it is a
// full-screen window that takes no input.
Qt::WindowFlags CurtainView::windowFlagsForPlatform() {
    const Qt::WindowFlags common = Qt::FramelessWindowHint | Qt::NoDropShadowWindowHint |
                                   Qt::WindowStaysOnTopHint | Qt::WindowDoesNotAcceptFocus |
                                   Qt::WindowTransparentForInput;
    if (onWayland()) {
        return Qt::Window | common;
    }
    return Qt::ToolTip | Qt::X11BypassWindowManagerHint | common;
}

CurtainView::CurtainView(QScreen* screen)
    : QWidget(nullptr, windowFlagsForPlatform()), screen_(screen) {
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_NoSystemBackground);
    setAttribute(Qt::WA_ShowWithoutActivating);
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAttribute(Qt::WA_X11DoNotAcceptFocus);
    setFocusPolicy(Qt::NoFocus);
    setWindowTitle(QStringLiteral("Noctave curtain"));
    if (screen != nullptr) {
        setScreen(screen);
    }
    fitScreen();
}

void CurtainView::fitScreen() {
    if (screen_ == nullptr) {
        return;
    }
    if (onWayland()) {
        setWindowState(windowState() | Qt::WindowFullScreen);
    } else if (geometry() != screen_->geometry()) {
        setGeometry(screen_->geometry());
        maskedHeight_ = -1;
    }
}

void CurtainView::refresh() {
    syncMask();
    update();
}

// Without a compositor the transparent part of the window would show as black: the window is
// cut to the covered band, which is all the curtain ever paints. The mask changes only when the
// band grows or shrinks by a whole pixel.
void CurtainView::syncMask() {
    const double covered = animation_.fadeAlpha() > 0.0 ? animation_.displayed() : 0.0;
    int band = static_cast<int>(std::ceil(std::clamp(covered, 0.0, 1.0) * height()));
    band = std::max(band, 1);  // an empty mask would mean no mask at all
    if (band == maskedHeight_) {
        return;
    }
    maskedHeight_ = band;
    setMask(QRegion(0, 0, width(), band));
}

void CurtainView::paintEvent(QPaintEvent* /*event*/) {
    QPainter painter(this);
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    painter.fillRect(rect(), Qt::transparent);
    painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
    CurtainDrawing::draw(painter, QRectF(rect()), animation_.displayed(), animation_.fadeAlpha());
}

}  // namespace noctave::app

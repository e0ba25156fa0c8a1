#include "app/overlay/CurtainView.hpp"

#include <QEvent>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QRegion>
#include <QScreen>
#include <cmath>

#include "app/overlay/CurtainDrawing.hpp"
#include "app/overlay/CurtainLayerShell.hpp"
#include "platform/linux/wayland/LayerSurface.hpp"

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

CurtainView::CurtainView(QScreen* screen, CurtainLayerShell* layerShell)
    : QWidget(nullptr, windowFlagsForPlatform()), screen_(screen), layerShell_(layerShell) {
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

CurtainView::~CurtainView() = default;

// On Wayland the geometry is what puts the window on its screen: asked only for full screen,
// Qt would show every curtain on the first output.
void CurtainView::fitScreen() {
    if (screen_ == nullptr) {
        return;
    }
    if (geometry() != screen_->geometry()) {
        setGeometry(screen_->geometry());
        maskedHeight_ = -1;
    }
    if (onWayland()) {
        setWindowState(windowState() | Qt::WindowFullScreen);
    }
}

void CurtainView::present() {
    if (layerShell_ != nullptr && !layer_ && screen_ != nullptr) {
        layer_ = layerShell_->makeSurface(*screen_);
        if (layer_) {
            // The first frame goes once the compositor has said the size.
            layer_->onReady = [this] { drawLayer(); };
        }
    }
    if (layer_) {
        drawLayer();
        return;
    }
    focusBefore_ = QGuiApplication::focusWindow();
    show();
    raise();
}

void CurtainView::withdraw() {
    layer_.reset();
    hide();
}

void CurtainView::refresh() {
    if (layer_) {
        drawLayer();
        return;
    }
    syncMask();
    update();
}

void CurtainView::drawLayer() {
    layer_->present([this](std::uint8_t* pixels, int width, int height, int stride, int scale) {
        QImage image(pixels, width, height, stride, QImage::Format_ARGB32_Premultiplied);
        image.setDevicePixelRatio(scale);
        image.fill(Qt::transparent);
        QPainter painter(&image);
        CurtainDrawing::draw(painter, QRectF(0, 0, width / scale, height / scale),
                             animation_.displayed(), animation_.fadeAlpha());
    });
}

bool CurtainView::event(QEvent* event) {
    if (event->type() == QEvent::WindowActivate && focusBefore_ != nullptr &&
        focusBefore_ != windowHandle()) {
        focusBefore_->requestActivate();
    }
    return QWidget::event(event);
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

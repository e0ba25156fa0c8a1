#pragma once

#include <memory>

class QScreen;
class QSocketNotifier;

namespace noctave::linuxos::wayland {
class LayerSurface;
class WaylandClient;
}  // namespace noctave::linuxos::wayland

namespace noctave::app {

// The curtain's way onto a Wayland compositor that offers the layer shell (wlroots compositors,
// KDE Plasma): a connection of its own beside Qt's, whose surfaces sit on the overlay layer and
// never take the keyboard or the pointer, which no Qt window can promise there. Qt 6.4 has no
// public layer-shell support, and a shell-integration plugin would lean on Qt's private API;
// plain wayland-client with our own drawing depends on neither.
//
// Main thread only. The connection's fd is watched by the Qt event loop (no thread, no timer);
// a connection the compositor ends makes no more surfaces, and the curtain falls back to
// windows.
class CurtainLayerShell {
  public:
    // Null where Qt is not on Wayland or the compositor has no layer shell.
    static std::unique_ptr<CurtainLayerShell> connect();
    ~CurtainLayerShell();
    CurtainLayerShell(const CurtainLayerShell&) = delete;
    CurtainLayerShell& operator=(const CurtainLayerShell&) = delete;

    // A covering surface on the output showing `screen`; null when no output matches it or the
    // connection is gone. It must go before this shell.
    std::unique_ptr<linuxos::wayland::LayerSurface> makeSurface(const QScreen& screen);

  private:
    explicit CurtainLayerShell(std::unique_ptr<linuxos::wayland::WaylandClient> client);
    void readEvents();

    std::unique_ptr<linuxos::wayland::WaylandClient> client_;
    std::unique_ptr<QSocketNotifier> notifier_;
    bool isLost_ = false;
};

}  // namespace noctave::app

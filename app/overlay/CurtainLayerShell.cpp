#include "app/overlay/CurtainLayerShell.hpp"

#include <QGuiApplication>
#include <QScreen>
#include <QSocketNotifier>
#include <cstdint>

#include "core/support/Log.hpp"
#include "platform/linux/wayland/LayerSurface.hpp"
#include "platform/linux/wayland/WaylandClient.hpp"

namespace noctave::app {

using linuxos::wayland::LayerSurface;
using linuxos::wayland::WaylandClient;

std::unique_ptr<CurtainLayerShell> CurtainLayerShell::connect() {
    if (!QGuiApplication::platformName().startsWith(QLatin1String("wayland"))) {
        return nullptr;
    }
    auto client = WaylandClient::connect();
    if (!client) {
        Log::warn("curtain: could not reach the Wayland compositor; using windows");
        return nullptr;
    }
    if (client->layerShell() == nullptr) {
        Log::info("curtain: the compositor has no layer shell; using full-screen windows");
        return nullptr;
    }
    return std::unique_ptr<CurtainLayerShell>(new CurtainLayerShell(std::move(client)));
}

CurtainLayerShell::CurtainLayerShell(std::unique_ptr<WaylandClient> client)
    : client_(std::move(client)),
      notifier_(std::make_unique<QSocketNotifier>(client_->fd(), QSocketNotifier::Read)) {
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] { readEvents(); });
}

// The notifier goes first: it must not fire into a client that is gone.
CurtainLayerShell::~CurtainLayerShell() {
    notifier_.reset();
}

void CurtainLayerShell::readEvents() {
    if (!client_->dispatch()) {
        // A dead fd stays readable: stop watching it, or the loop would spin.
        notifier_->setEnabled(false);
        isLost_ = true;
        Log::warn("curtain: the compositor ended the layer-shell connection");
    }
}

std::unique_ptr<LayerSurface> CurtainLayerShell::makeSurface(const QScreen& screen) {
    if (isLost_) {
        return nullptr;
    }
    const qsizetype index = QGuiApplication::screens().indexOf(&screen);
    const auto* output = client_->findOutput(
        screen.name().toStdString(), index < 0 ? SIZE_MAX : static_cast<std::size_t>(index));
    if (output == nullptr) {
        return nullptr;
    }
    return std::make_unique<LayerSurface>(*client_, *output, "noctave-curtain");
}

}  // namespace noctave::app

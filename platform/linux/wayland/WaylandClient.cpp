#include "platform/linux/wayland/WaylandClient.hpp"

#include <wayland-client.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "wlr-layer-shell-unstable-v1-client-protocol.h"
#include "wlr-output-power-management-unstable-v1-client-protocol.h"

namespace noctave::linuxos::wayland {

namespace {

// The versions this code speaks; a compositor offering less is bound at its own.
constexpr std::uint32_t kCompositorVersion = 4;
constexpr std::uint32_t kShmVersion = 1;
constexpr std::uint32_t kOutputVersion = 4;  // 4 adds the output's name
constexpr std::uint32_t kLayerShellVersion = 3;
constexpr std::uint32_t kOutputPowerVersion = 1;

template <typename T>
T* bind(wl_registry* registry, std::uint32_t name, const wl_interface* interface,
        std::uint32_t offered, std::uint32_t wanted) {
    return static_cast<T*>(wl_registry_bind(registry, name, interface, std::min(offered, wanted)));
}

void outputGeometry(void* /*data*/, wl_output* /*output*/, std::int32_t /*x*/, std::int32_t /*y*/,
                    std::int32_t /*physicalWidth*/, std::int32_t /*physicalHeight*/,
                    std::int32_t /*subpixel*/, const char* /*make*/, const char* /*model*/,
                    std::int32_t /*transform*/) {}
void outputMode(void* /*data*/, wl_output* /*output*/, std::uint32_t /*flags*/,
                std::int32_t /*width*/, std::int32_t /*height*/, std::int32_t /*refresh*/) {}
void outputDone(void* data, wl_output* /*output*/) {
    static_cast<Output*>(data)->isDone = true;
}
void outputScale(void* data, wl_output* /*output*/, std::int32_t factor) {
    static_cast<Output*>(data)->scale = std::max(factor, 1);
}
void outputName(void* data, wl_output* /*output*/, const char* name) {
    static_cast<Output*>(data)->name = name != nullptr ? name : "";
}
void outputDescription(void* /*data*/, wl_output* /*output*/, const char* /*description*/) {}

const wl_output_listener kOutputListener = {outputGeometry, outputMode, outputDone,
                                            outputScale,    outputName, outputDescription};

void destroyOutput(Output& output) {
    if (output.proxy == nullptr) {
        return;
    }
    // wl_output's release request exists from version 3; before it the proxy only goes.
    if (wl_output_get_version(output.proxy) >= WL_OUTPUT_RELEASE_SINCE_VERSION) {
        wl_output_release(output.proxy);
    } else {
        wl_output_destroy(output.proxy);
    }
    output.proxy = nullptr;
}

}  // namespace

std::unique_ptr<WaylandClient> WaylandClient::connect(const char* socket) {
    wl_display* display = wl_display_connect(socket);
    if (display == nullptr) {
        return nullptr;
    }
    std::unique_ptr<WaylandClient> client(new WaylandClient(display));
    static const wl_registry_listener listener = {&WaylandClient::handleGlobal,
                                                  &WaylandClient::handleGlobalRemove};
    client->registry_ = wl_display_get_registry(display);
    wl_registry_add_listener(client->registry_, &listener, client.get());
    // The first round brings the globals, the second each output's description.
    if (!client->roundtrip() || !client->roundtrip()) {
        return nullptr;
    }
    if (client->compositor_ == nullptr || client->shm_ == nullptr) {
        return nullptr;
    }
    return client;
}

WaylandClient::~WaylandClient() {
    for (auto& output : outputs_) {
        destroyOutput(*output);
    }
    if (outputPower_ != nullptr) {
        zwlr_output_power_manager_v1_destroy(outputPower_);
    }
    if (layerShell_ != nullptr) {
        if (zwlr_layer_shell_v1_get_version(layerShell_) >=
            ZWLR_LAYER_SHELL_V1_DESTROY_SINCE_VERSION) {
            zwlr_layer_shell_v1_destroy(layerShell_);
        } else {
            wl_proxy_destroy(reinterpret_cast<wl_proxy*>(layerShell_));
        }
    }
    if (shm_ != nullptr) {
        wl_shm_destroy(shm_);
    }
    if (compositor_ != nullptr) {
        wl_compositor_destroy(compositor_);
    }
    if (registry_ != nullptr) {
        wl_registry_destroy(registry_);
    }
    wl_display_flush(display_);
    wl_display_disconnect(display_);
}

int WaylandClient::fd() const {
    return wl_display_get_fd(display_);
}

bool WaylandClient::dispatch() {
    if (isBroken_) {
        return false;
    }
    // The usual reading sequence for a display watched from outside: another reader may have
    // queued events already, which go first; reading never blocks, the fd was readable.
    while (wl_display_prepare_read(display_) != 0) {
        if (wl_display_dispatch_pending(display_) < 0) {
            isBroken_ = true;
            return false;
        }
    }
    wl_display_flush(display_);
    if (wl_display_read_events(display_) < 0 && errno != EAGAIN) {
        isBroken_ = true;
        return false;
    }
    if (wl_display_dispatch_pending(display_) < 0) {
        isBroken_ = true;
        return false;
    }
    return true;
}

bool WaylandClient::flush() {
    if (isBroken_) {
        return false;
    }
    // A full socket (EAGAIN) keeps the requests queued for the next flush; anything else is
    // the end of the connection.
    if (wl_display_flush(display_) < 0 && errno != EAGAIN) {
        isBroken_ = true;
    }
    return !isBroken_;
}

bool WaylandClient::roundtrip() {
    if (isBroken_ || wl_display_roundtrip(display_) < 0) {
        isBroken_ = true;
    }
    return !isBroken_;
}

Output* WaylandClient::findOutput(const std::string& name, std::size_t index) const {
    if (!name.empty()) {
        for (const auto& output : outputs_) {
            if (output->name == name) {
                return output.get();
            }
        }
    }
    return index < outputs_.size() ? outputs_[index].get() : nullptr;
}

void WaylandClient::addOutput(std::uint32_t name, std::uint32_t version) {
    auto output = std::make_unique<Output>();
    output->globalName = name;
    output->proxy = bind<wl_output>(registry_, name, &wl_output_interface, version, kOutputVersion);
    wl_output_add_listener(output->proxy, &kOutputListener, output.get());
    outputs_.push_back(std::move(output));
}

void WaylandClient::handleGlobal(void* data, wl_registry* registry, std::uint32_t name,
                                 const char* interface, std::uint32_t version) {
    auto& self = *static_cast<WaylandClient*>(data);
    const auto is = [interface](const wl_interface& known) {
        return std::strcmp(interface, known.name) == 0;
    };
    if (is(wl_compositor_interface) && self.compositor_ == nullptr) {
        self.compositor_ = bind<wl_compositor>(registry, name, &wl_compositor_interface, version,
                                               kCompositorVersion);
    } else if (is(wl_shm_interface) && self.shm_ == nullptr) {
        self.shm_ = bind<wl_shm>(registry, name, &wl_shm_interface, version, kShmVersion);
    } else if (is(zwlr_layer_shell_v1_interface) && self.layerShell_ == nullptr) {
        self.layerShell_ = bind<zwlr_layer_shell_v1>(registry, name, &zwlr_layer_shell_v1_interface,
                                                     version, kLayerShellVersion);
    } else if (is(zwlr_output_power_manager_v1_interface) && self.outputPower_ == nullptr) {
        self.outputPower_ = bind<zwlr_output_power_manager_v1>(
            registry, name, &zwlr_output_power_manager_v1_interface, version, kOutputPowerVersion);
    } else if (is(wl_output_interface)) {
        self.addOutput(name, version);
    }
}

void WaylandClient::handleGlobalRemove(void* data, wl_registry* /*registry*/, std::uint32_t name) {
    auto& self = *static_cast<WaylandClient*>(data);
    auto found = std::find_if(self.outputs_.begin(), self.outputs_.end(),
                              [name](const auto& output) { return output->globalName == name; });
    if (found == self.outputs_.end()) {
        return;
    }
    if (self.onOutputRemoved) {
        self.onOutputRemoved(**found);
    }
    destroyOutput(**found);
    self.outputs_.erase(found);
}

}  // namespace noctave::linuxos::wayland

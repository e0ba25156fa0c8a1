#include "platform/linux/wayland/LayerSurface.hpp"

#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>

#include "platform/linux/wayland/WaylandClient.hpp"
#include "wlr-layer-shell-unstable-v1-client-protocol.h"

namespace noctave::linuxos::wayland {

namespace {
constexpr int kBytesPerPixel = 4;
}  // namespace

LayerSurface::LayerSurface(WaylandClient& client, const Output& output, const char* nameSpace)
    : client_(client), scale_(output.scale) {
    static const zwlr_layer_surface_v1_listener listener = {&LayerSurface::handleConfigure,
                                                            &LayerSurface::handleClosed};
    surface_ = wl_compositor_create_surface(client.compositor());
    // An empty region: pointer and touch go through to whatever lies beneath.
    wl_region* nothing = wl_compositor_create_region(client.compositor());
    wl_surface_set_input_region(surface_, nothing);
    wl_region_destroy(nothing);
    wl_surface_set_buffer_scale(surface_, scale_);

    layerSurface_ = zwlr_layer_shell_v1_get_layer_surface(
        client.layerShell(), surface_, output.proxy, ZWLR_LAYER_SHELL_V1_LAYER_OVERLAY, nameSpace);
    zwlr_layer_surface_v1_add_listener(layerSurface_, &listener, this);
    zwlr_layer_surface_v1_set_anchor(
        layerSurface_, ZWLR_LAYER_SURFACE_V1_ANCHOR_TOP | ZWLR_LAYER_SURFACE_V1_ANCHOR_BOTTOM |
                           ZWLR_LAYER_SURFACE_V1_ANCHOR_LEFT | ZWLR_LAYER_SURFACE_V1_ANCHOR_RIGHT);
    zwlr_layer_surface_v1_set_size(layerSurface_, 0, 0);          // the whole output
    zwlr_layer_surface_v1_set_exclusive_zone(layerSurface_, -1);  // over the panels too
    zwlr_layer_surface_v1_set_keyboard_interactivity(
        layerSurface_, ZWLR_LAYER_SURFACE_V1_KEYBOARD_INTERACTIVITY_NONE);
    // A commit without a buffer asks for the first size.
    wl_surface_commit(surface_);
    client_.flush();
}

LayerSurface::~LayerSurface() {
    zwlr_layer_surface_v1_destroy(layerSurface_);
    wl_surface_destroy(surface_);
    for (auto& buffer : buffers_) {
        release(buffer);
    }
    client_.flush();
}

void LayerSurface::release(Buffer& buffer) {
    if (buffer.proxy != nullptr) {
        wl_buffer_destroy(buffer.proxy);
    }
    if (buffer.pixels != nullptr) {
        munmap(buffer.pixels, buffer.bytes);
    }
    buffer = Buffer{};
}

bool LayerSurface::allocate(WaylandClient& client, Buffer& buffer, int width, int height) {
    const int stride = width * kBytesPerPixel;
    const auto bytes = static_cast<std::size_t>(stride) * static_cast<std::size_t>(height);
    const int fd = memfd_create("noctave-curtain", MFD_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    void* pixels = MAP_FAILED;
    if (ftruncate(fd, static_cast<off_t>(bytes)) == 0) {
        pixels = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    }
    if (pixels == MAP_FAILED) {
        close(fd);
        return false;
    }
    // The pool only carries the memory to the compositor: the buffer keeps it alive there.
    wl_shm_pool* pool = wl_shm_create_pool(client.shm(), fd, static_cast<std::int32_t>(bytes));
    buffer.proxy =
        wl_shm_pool_create_buffer(pool, 0, width, height, stride, WL_SHM_FORMAT_ARGB8888);
    wl_shm_pool_destroy(pool);
    close(fd);
    buffer.pixels = static_cast<std::uint8_t*>(pixels);
    buffer.bytes = bytes;
    buffer.width = width;
    buffer.height = height;
    return true;
}

LayerSurface::Buffer* LayerSurface::freeBuffer(int width, int height) {
    static const wl_buffer_listener listener = {&LayerSurface::handleBufferRelease};
    for (auto& buffer : buffers_) {
        if (buffer.isBusy) {
            continue;
        }
        if (buffer.proxy != nullptr && (buffer.width != width || buffer.height != height)) {
            release(buffer);
        }
        if (buffer.proxy == nullptr) {
            if (!allocate(client_, buffer, width, height)) {
                return nullptr;
            }
            buffer.owner = this;
            wl_buffer_add_listener(buffer.proxy, &listener, &buffer);
        }
        return &buffer;
    }
    return nullptr;
}

bool LayerSurface::present(const Painter& paint) {
    if (!isConfigured() || isClosed_) {
        return false;
    }
    const int width = width_ * scale_;
    const int height = height_ * scale_;
    Buffer* buffer = freeBuffer(width, height);
    if (buffer == nullptr) {
        // Both frames are still on screen: the next release brings this one back.
        isWaitingForBuffer_ = true;
        return false;
    }
    paint(buffer->pixels, width, height, width * kBytesPerPixel, scale_);
    buffer->isBusy = true;
    wl_surface_attach(surface_, buffer->proxy, 0, 0);
    wl_surface_damage_buffer(surface_, 0, 0, width, height);
    wl_surface_commit(surface_);
    client_.flush();
    return true;
}

void LayerSurface::handleConfigure(void* data, zwlr_layer_surface_v1* surface, std::uint32_t serial,
                                   std::uint32_t width, std::uint32_t height) {
    auto& self = *static_cast<LayerSurface*>(data);
    zwlr_layer_surface_v1_ack_configure(surface, serial);
    const bool wasConfigured = self.isConfigured();
    self.width_ = static_cast<int>(width);
    self.height_ = static_cast<int>(height);
    if (!wasConfigured && self.isConfigured() && self.onReady) {
        self.onReady();
    }
}

void LayerSurface::handleClosed(void* data, zwlr_layer_surface_v1* /*surface*/) {
    static_cast<LayerSurface*>(data)->isClosed_ = true;
}

void LayerSurface::handleBufferRelease(void* data, wl_buffer* /*proxy*/) {
    auto& buffer = *static_cast<Buffer*>(data);
    buffer.isBusy = false;
    LayerSurface& self = *buffer.owner;
    if (self.isWaitingForBuffer_) {
        self.isWaitingForBuffer_ = false;
        if (self.onReady) {
            self.onReady();
        }
    }
}

}  // namespace noctave::linuxos::wayland

#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>

struct wl_surface;
struct wl_buffer;
struct zwlr_layer_surface_v1;

namespace noctave::linuxos::wayland {

class WaylandClient;
struct Output;

// A surface on the overlay layer of one output, covering it whole, above every window and
// panel, that takes neither the keyboard (no keyboard interactivity) nor the pointer or touch
// (an empty input region), and pushes nothing aside (it reserves no zone). It draws into
// shared memory, two buffers at most, so a frame never waits for the compositor.
//
// Same thread as its client, which must outlive it. Each proxy it makes it destroys once, in
// its destructor; the compositor's events for a destroyed proxy are dropped by the library.
class LayerSurface {
  public:
    // Premultiplied ARGB32 in native byte order (QImage's ARGB32_Premultiplied, wl_shm's
    // ARGB8888 on this byte order), `width` x `height` device pixels, `stride` bytes a row.
    using Painter =
        std::function<void(std::uint8_t* pixels, int width, int height, int stride, int scale)>;

    LayerSurface(WaylandClient& client, const Output& output, const char* nameSpace);
    ~LayerSurface();
    LayerSurface(const LayerSurface&) = delete;
    LayerSurface& operator=(const LayerSurface&) = delete;

    // The compositor has said the size (the output's, in its logical pixels): frames may go.
    bool isConfigured() const { return width_ > 0 && height_ > 0; }
    int width() const { return width_; }
    int height() const { return height_; }
    // Whether the compositor has closed the surface (its output went away): it shows nothing
    // again and should be dropped.
    bool isClosed() const { return isClosed_; }

    // Draws one frame with `paint` and shows it. False when the frame could not go: not
    // configured yet, closed, or no memory; `onReady` runs when a frame may go again.
    bool present(const Painter& paint);
    // Runs when the first size arrives and when a busy buffer comes back after a dropped frame.
    std::function<void()> onReady;

  private:
    struct Buffer {
        wl_buffer* proxy = nullptr;
        std::uint8_t* pixels = nullptr;
        std::size_t bytes = 0;
        int width = 0;
        int height = 0;
        bool isBusy = false;
        LayerSurface* owner = nullptr;
    };

    Buffer* freeBuffer(int width, int height);
    static bool allocate(WaylandClient& client, Buffer& buffer, int width, int height);
    static void release(Buffer& buffer);
    static void handleConfigure(void* data, zwlr_layer_surface_v1* surface, std::uint32_t serial,
                                std::uint32_t width, std::uint32_t height);
    static void handleClosed(void* data, zwlr_layer_surface_v1* surface);
    static void handleBufferRelease(void* data, wl_buffer* buffer);

    WaylandClient& client_;
    int scale_ = 1;
    wl_surface* surface_ = nullptr;
    zwlr_layer_surface_v1* layerSurface_ = nullptr;
    std::array<Buffer, 2> buffers_{};
    int width_ = 0;
    int height_ = 0;
    bool isClosed_ = false;
    bool isWaitingForBuffer_ = false;
};

}  // namespace noctave::linuxos::wayland

#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

struct wl_display;
struct wl_registry;
struct wl_compositor;
struct wl_shm;
struct wl_output;
struct zwlr_layer_shell_v1;
struct zwlr_output_power_manager_v1;

namespace noctave::linuxos::wayland {

// One output as the compositor announces it: its name (wl_output 4 and later; empty before)
// and scale, as of its last `done`. (wl_output's position is not the layout's on wlroots: it
// is always 0, so it is not kept.)
struct Output {
    std::uint32_t globalName = 0;
    wl_output* proxy = nullptr;
    std::string name;
    std::int32_t scale = 1;
    bool isDone = false;
};

// A connection of our own to the compositor, apart from the toolkit's: the globals the curtain
// and display sleep use, and the outputs as they come and go. Not thread-safe: one thread
// connects, dispatches and destroys it. It starts no thread: the owner watches `fd()` on its
// own event loop and calls `dispatch()` when it is readable.
class WaylandClient {
  public:
    // Connects to the compositor `WAYLAND_DISPLAY` names (or `socket` when given) and waits
    // until the globals and every output's first description are in. Null when there is no
    // compositor to reach.
    static std::unique_ptr<WaylandClient> connect(const char* socket = nullptr);
    ~WaylandClient();
    WaylandClient(const WaylandClient&) = delete;
    WaylandClient& operator=(const WaylandClient&) = delete;

    wl_display* display() const { return display_; }
    int fd() const;
    // Reads what the compositor sent and runs the handlers, without blocking. False once the
    // connection is lost or the compositor has ended it with a protocol error.
    bool dispatch();
    // Sends what is queued; false once the connection is lost.
    bool flush();
    // Sends what is queued and waits until the compositor has handled it.
    bool roundtrip();

    wl_compositor* compositor() const { return compositor_; }
    wl_shm* shm() const { return shm_; }
    // Null where the compositor offers no layer shell (GNOME's Mutter).
    zwlr_layer_shell_v1* layerShell() const { return layerShell_; }
    // Null where the compositor offers no output power management.
    zwlr_output_power_manager_v1* outputPowerManager() const { return outputPower_; }

    const std::vector<std::unique_ptr<Output>>& outputs() const { return outputs_; }
    // The output named `name`; when no name matches (a compositor before wl_output 4 names
    // none), the one announced `index`th, the order toolkits list screens in. Null when
    // neither is there.
    Output* findOutput(const std::string& name, std::size_t index) const;
    // Runs on the dispatching thread when an output is removed, before its proxy goes.
    std::function<void(Output&)> onOutputRemoved;

  private:
    explicit WaylandClient(wl_display* display) : display_(display) {}
    static void handleGlobal(void* data, wl_registry* registry, std::uint32_t name,
                             const char* interface, std::uint32_t version);
    static void handleGlobalRemove(void* data, wl_registry* registry, std::uint32_t name);
    void addOutput(std::uint32_t name, std::uint32_t version);

    wl_display* display_;
    wl_registry* registry_ = nullptr;
    wl_compositor* compositor_ = nullptr;
    wl_shm* shm_ = nullptr;
    zwlr_layer_shell_v1* layerShell_ = nullptr;
    zwlr_output_power_manager_v1* outputPower_ = nullptr;
    std::vector<std::unique_ptr<Output>> outputs_;
    bool isBroken_ = false;
};

}  // namespace noctave::linuxos::wayland

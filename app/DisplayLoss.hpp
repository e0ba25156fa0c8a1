#pragma once

#include <functional>
#include <string_view>

namespace noctave::app {

// Losing the display (the X or Wayland connection: a session that ends without SIGTERM, a
// crashed Xwayland or compositor) is a quit like SIGTERM. Qt ends the process by itself on such
// a loss, right after one warning: the xcb plugin with exit(1), which runs the static destructors
// under the live threads, the Wayland plugin with _exit(1), which skips the quit. That warning
// is the last moment the program has, so the quit runs there, on the main thread, inside the
// toolkit's call; then the process ends with _exit(status), before the toolkit's own exit and
// without static destructors. An exit() by anyone else while the event loop runs (Xlib's
// fatal I/O error handler) ends the same way, from an atexit hook.
//
// One instance at a time, made on the main thread after the QApplication exists. `quit` does
// everything an orderly end does before the process may go and returns the exit status; it runs
// once, on the main thread. Destruction (the loop has returned normally) removes the hooks.
class DisplayLoss {
  public:
    explicit DisplayLoss(std::function<int()> quit);
    ~DisplayLoss();
    DisplayLoss(const DisplayLoss&) = delete;
    DisplayLoss& operator=(const DisplayLoss&) = delete;

    // Whether `message` is the toolkit saying that its display connection is gone.
    static bool isConnectionLost(std::string_view message);
};

}  // namespace noctave::app

#include "app/simulator/SimulatorMode.hpp"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include <QCoreApplication>
#include <QPointer>
#include <QTimer>

#include "app/simulator/SimulatorWindow.hpp"
#include "core/support/CommandLine.hpp"

namespace noctave::app {

namespace fs = std::filesystem;

namespace {
// Long enough for the layout and the launch's log lines to settle before the picture is taken.
constexpr int kSnapshotDelayMs = 300;
}  // namespace

std::optional<int> SimulatorMode::prepare(int argc, char** argv, SimulatorMode* mode) {
    const CommandLine line(argc, argv);
    const bool snapshot = line.has("--snapshot-simulator");
    if (!snapshot && !line.has("--simulate")) {
        return std::nullopt;
    }
    if (snapshot) {
        const auto path = line.after("--snapshot-simulator");
        if (!path) {
            std::fputs("usage: Noctave --snapshot-simulator <png-path>\n", stderr);
            return 2;
        }
        std::error_code ignored;
        mode->snapshot_ = fs::absolute(fs::path(*path), ignored);
    }
    const char* chosen = std::getenv("NOCTAVE_PLATFORM");
    if (chosen != nullptr && chosen[0] != '\0' && std::string_view(chosen) != "sim") {
        std::fprintf(stderr,
                     "the virtual laptop's window needs the virtual laptop, not "
                     "NOCTAVE_PLATFORM=%s\n",
                     chosen);
        return 2;
    }
    ::setenv("NOCTAVE_PLATFORM", "sim", 1);
    if (snapshot) {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }
    mode->isRequested_ = true;
    return std::nullopt;
}

std::unique_ptr<SimulatorWindow> SimulatorMode::open(sim::VirtualLaptop& laptop) const {
    auto window = std::make_unique<SimulatorWindow>(laptop);
    window->show();
    if (snapshot_) {
        QTimer::singleShot(kSnapshotDelayMs, window.get(),
                           [window = QPointer<SimulatorWindow>(window.get()), file = *snapshot_] {
                               std::string error;
                               if (!window->writeSnapshot(file, &error)) {
                                   std::fprintf(stderr, "could not export simulator snapshot: %s\n",
                                                error.c_str());
                                   QCoreApplication::exit(1);
                                   return;
                               }
                               std::printf("wrote %s\n", file.c_str());
                               std::fflush(stdout);
                               QCoreApplication::exit(0);
                           });
    }
    return window;
}

}  // namespace noctave::app

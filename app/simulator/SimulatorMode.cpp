#include "app/simulator/SimulatorMode.hpp"

#include <cstdio>
#include <cstdlib>
#include <string>

#include <QCoreApplication>
#include <QPointer>
#include <QTimer>

#include "app/simulator/SimulatorWindow.hpp"
#include "platform/PlatformSelection.hpp"

namespace noctave::app {

namespace fs = std::filesystem;

namespace {
// Long enough for the layout and the launch's log lines to settle before the picture is taken.
constexpr int kSnapshotDelayMs = 300;
}  // namespace

std::optional<int> SimulatorMode::prepare(const LaunchOptions& launch, SimulatorMode* mode) {
    if (!launch.simulate) {
        return std::nullopt;
    }
    if (launch.simulatorSnapshot) {
        std::error_code ignored;
        mode->snapshot_ = fs::absolute(fs::path(*launch.simulatorSnapshot), ignored);
    }
    const auto named = platform::namedPlatform();
    if (named && *named != "sim") {
        std::fprintf(stderr,
                     "the virtual laptop's window needs the virtual laptop, not "
                     "NOCTAVE_PLATFORM=%s\n",
                     named->c_str());
        return 2;
    }
    platform::requestPlatform(platform::Platform::Kind::sim);
    if (mode->snapshot_) {
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

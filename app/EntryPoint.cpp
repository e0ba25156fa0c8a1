#include "app/EntryPoint.hpp"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include <QApplication>
#include <QGuiApplication>
#include <QTimer>

#include "app/AppDelegate.hpp"
#include "app/DisplayLoss.hpp"
#include "app/QtRuntime.hpp"
#include "app/TerminationSignals.hpp"
#include "app/WindowMemory.hpp"
#include "app/control/ControlClient.hpp"
#include "app/control/ControlNames.hpp"
#include "app/onboarding/OnboardingSnapshotPage.hpp"
#include "app/overlay/CloseOverlay.hpp"
#include "app/simulator/SimulatorMode.hpp"
#include "app/simulator/SimulatorWindow.hpp"
#include "app/tray/MenuBarIcon.hpp"
#include "core/os/System.hpp"
#include "core/runtime/Runtime.hpp"
#include "core/session/Recovery.hpp"
#include "core/support/CommandLine.hpp"
#include "core/support/Log.hpp"
#include "platform/PlatformSelection.hpp"
#include "platform/sim/SimStateReport.hpp"
#include "platform/sim/VirtualLaptop.hpp"

namespace noctave::app {

namespace fs = std::filesystem;

namespace {

// A relative path is taken from the current folder; what is printed is the absolute path,
// without a trailing slash.
fs::path location(const char* argument) {
    std::error_code ignored;
    fs::path path = fs::absolute(fs::path(argument), ignored);
    std::string text = path.string();
    while (text.size() > 1 && text.back() == '/') {
        text.pop_back();
    }
    return text;
}

// Only the toolkit's critical messages reach standard error, not the platform plugin's remarks.
void keepToolkitRemarksQuiet() {
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& message) {
        if (type == QtCriticalMsg || type == QtFatalMsg) {
            std::fprintf(stderr, "%s\n", qPrintable(message));
        }
    });
}

// The exports draw text, which needs a GUI application, but never a display. Their standard
// error carries only their own line.
std::unique_ptr<QGuiApplication> makeOffscreenApplication(int& argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    keepToolkitRemarksQuiet();
    return std::make_unique<QGuiApplication>(argc, argv);
}

constexpr const char* kNoGraphicalSession =
    "Noctave: the tray application needs a graphical session (DISPLAY or WAYLAND_DISPLAY); "
    "the command-line checks (--selftest, --diagnose, --verify-disconnect-guard) and the image "
    "exports work without one.\n";

// Checked before anything is built: without it the toolkit aborts with advice to reinstall.
// A platform plugin chosen explicitly (offscreen, vnc, ...) brings its own display.
bool hasGraphicalSession() {
    const auto set = [](const char* name) {
        const char* value = std::getenv(name);
        return value != nullptr && value[0] != '\0';
    };
    const char* plugin = std::getenv("QT_QPA_PLATFORM");
    const std::string chosen = plugin != nullptr ? plugin : "";
    if (!chosen.empty() && chosen.rfind("xcb", 0) != 0 && chosen.rfind("wayland", 0) != 0) {
        return true;
    }
    return set("DISPLAY") || set("WAYLAND_DISPLAY");
}

}  // namespace

std::optional<LaunchOptions> parseLaunchOptions(const std::vector<std::string>& arguments,
                                                std::string* usage) {
    const CommandLine line(arguments);
    LaunchOptions options;
    options.showSettings = line.has("--show-settings");
    options.showOnboarding = line.has("--show-onboarding");
    if (const auto path = line.after("--snapshot-settings")) {
        options.settingsSnapshot = {*path, line.after("--snapshot-settings", 2)};
    }
    options.showsSettingsHover = line.has("--snapshot-settings-hover");
    if (const auto path = line.after("--snapshot-onboarding")) {
        options.onboardingSnapshot = {
            *path, onboardingSnapshotPage(line.after("--snapshot-onboarding", 2))};
    }
    options.asksForWindow = options.showSettings || options.showOnboarding ||
                            line.has("--snapshot-settings") || line.has("--snapshot-onboarding");
    if (line.has("--snapshot-simulator")) {
        options.simulatorSnapshot = line.after("--snapshot-simulator");
        if (!options.simulatorSnapshot) {
            *usage = "usage: Noctave --snapshot-simulator <png-path>";
            return std::nullopt;
        }
    }
    options.simulate = line.has("--simulate") || options.simulatorSnapshot.has_value();
    options.drawsOffscreen = line.has("--snapshot-settings") || line.has("--snapshot-onboarding") ||
                             line.has("--snapshot-simulator");
    return options;
}

std::optional<int> runExportMode(int argc, char** argv) {
    const CommandLine line(argc, argv);
    if (line.has("--preview-anim")) {
        auto application = makeOffscreenApplication(argc, argv);
        const bool written = CloseOverlay::renderPreviews(QStringLiteral("/tmp"), QSize(900, 560),
                                                          std::cout, std::cerr);
        return written ? 0 : 1;
    }
    if (line.has("--preview-menu-icon")) {
        const auto path = line.after("--preview-menu-icon");
        if (!path) {
            std::fputs("usage: Noctave --preview-menu-icon <png-path>\n", stderr);
            return 2;
        }
        const fs::path file = location(path->c_str());
        auto application = makeOffscreenApplication(argc, argv);
        std::string error;
        if (!MenuBarIcon::writeMenuBarPreview(file, &error)) {
            std::fprintf(stderr, "could not export menu icon preview: %s\n", error.c_str());
            return 1;
        }
        std::printf("wrote %s\n", file.c_str());
        return 0;
    }
    if (line.has("--export-app-icon-set")) {
        const auto folder = line.after("--export-app-icon-set", 1);
        const auto image = line.after("--export-app-icon-set", 2);
        if (!folder || !image) {
            std::fputs("usage: Noctave --export-app-icon-set <directory> <source-png>\n", stderr);
            return 2;
        }
        const fs::path directory = location(folder->c_str());
        const fs::path source = location(image->c_str());
        auto application = makeOffscreenApplication(argc, argv);
        std::string error;
        if (!MenuBarIcon::writeAppIconSet(directory, source, &error)) {
            std::fprintf(stderr, "could not export app icon: %s\n", error.c_str());
            return 1;
        }
        std::printf("wrote %s\n", directory.c_str());
        return 0;
    }
    return std::nullopt;
}

namespace {

// One Noctave per user: where one already runs, a launch asks it to come forward (its
// settings, or the introduction when that is what was asked for) and ends. A snapshot or the
// virtual laptop's window run beside it. No bus, or nobody there: this one starts.
bool activatesRunningNoctave(const LaunchOptions& launch) {
    constexpr double kActivateSeconds = 5.0;
    std::string ignored;
    auto client = control::ControlClient::connect(&ignored);
    if (!client) {
        return false;
    }
    const std::string action = launch.showOnboarding ? control::kActionOnboarding
                               : launch.showSettings ? control::kActionSettings
                                                     : "";
    if (client->activate(action, kActivateSeconds)) {
        return false;
    }
    std::puts("Noctave is already running; it was brought forward.");
    return true;
}

// Nothing opens the virtual laptop's window again: once closed it is deleted, outside its own
// event handler, and its memory handed back.
void deleteWhenClosed(std::unique_ptr<SimulatorWindow>& window) {
    window->onClose = [&window] {
        runtime::mainQueue().async([&window] {
            if (window && !window->isVisible()) {
                window.reset();
                WindowMemory::trimAfterClose();
            }
        });
    };
}
}  // namespace

int runApplication(int argc, char** argv) {
    std::string error;
    auto launch = parseLaunchOptions(std::vector<std::string>(argv, argv + argc), &error);
    if (!hasGraphicalSession()) {
        // Window snapshots draw offscreen; they need no display.
        if (launch && !launch->drawsOffscreen) {
            std::fputs(kNoGraphicalSession, stderr);
            return 1;
        }
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    if (!launch) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 2;
    }
    if (!launch->drawsOffscreen && !launch->simulate && activatesRunningNoctave(*launch)) {
        return 0;
    }
    if (launch->drawsOffscreen) {
        // A snapshot prints only "wrote <path>"; its log goes to the log file alone.
        Log::setStandardErrorEnabled(false);
        keepToolkitRemarksQuiet();
    }
    SimulatorMode simulator;
    if (const auto status = SimulatorMode::prepare(*launch, &simulator)) {
        return *status;
    }
    auto platform = platform::selectPlatform(&error);
    if (!platform) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 2;
    }

    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Noctave"));
    QApplication::setApplicationDisplayName(QStringLiteral("Noctave"));
    QApplication::setDesktopFileName(QStringLiteral("com.quillor.noctave"));
    // A tray utility: closing its windows never ends it; only Quit (or the session) does.
    QApplication::setQuitOnLastWindowClosed(false);

    // From here a termination signal is an orderly quit, even before the launch has run; the
    // crash-recovery handlers go in first, as the fallback for a second signal.
    Recovery::installSignalHandlers();
    auto terminationSignals =
        std::make_unique<TerminationSignals>([] { QCoreApplication::quit(); });

    QtRuntime runtime;
    runtime::RuntimeInstaller runtimeInstaller{runtime};
    os::SystemInstaller systemInstaller{platform->system()};
    if (platform->isSimulated()) {
        Log::info("running on the virtual laptop (NOCTAVE_PLATFORM=sim)");
    }

    AppDelegate delegate(AppDelegate::Options{std::move(*launch), {}, {}, {}, {}});
    delegate.attachCloseOverlay(std::make_unique<CloseOverlay>());
    bool launchFailed = false;
    std::unique_ptr<SimulatorWindow> simulatorWindow;

    QObject::connect(&application, &QCoreApplication::aboutToQuit, &application,
                     [&delegate] { delegate.applicationWillTerminate(); });
    // Logging out: the session manager may end the process right after this request, so the
    // session is shut down now rather than when the loop ends.
    QObject::connect(&application, &QGuiApplication::commitDataRequest, &application,
                     [&delegate](QSessionManager&) {
                         delegate.applicationWillTerminate();
                         QCoreApplication::quit();
                     });
    // The display going away ends the process from inside the toolkit: the same quit runs there.
    const DisplayLoss displayLoss([&delegate, &platform, &launchFailed] {
        delegate.applicationWillTerminate();
        if (platform->laptop) {
            sim::writeStateReport(platform->laptop->power(), platform->laptop->root());
        }
        Log::flush();
        return launchFailed ? 1 : delegate.exitStatus();
    });
    QTimer::singleShot(0, &application,
                       [&delegate, &launchFailed, &simulator, &simulatorWindow, &platform] {
                           delegate.applicationDidFinishLaunching();
                           delegate.startControlInterface();
                           // The delegate has shown its alert and asked to quit; the status says so
                           // to a script.
                           launchFailed = delegate.session() == nullptr;
                           if (simulator.isRequested() && platform->laptop) {
                               simulatorWindow = simulator.open(*platform->laptop);
                               if (simulatorWindow) {
                                   simulatorWindow->followApp(delegate);
                                   deleteWhenClosed(simulatorWindow);
                               }
                           }
                       });
    const int status = QApplication::exec();
    if (platform->laptop) {
        // What the run left the virtual machine with, as the command-line checks report it.
        sim::writeStateReport(platform->laptop->power(), platform->laptop->root());
    }
    simulatorWindow.reset();
    terminationSignals.reset();
    Log::flush();
    return launchFailed ? 1 : status != 0 ? status : delegate.exitStatus();
}

}  // namespace noctave::app

#include "app/DisplayLoss.hpp"

#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <utility>

#include <QGuiApplication>
#include <QString>
#include <QtGlobal>

#include "core/runtime/Runtime.hpp"
#include "core/support/Log.hpp"

namespace noctave::app {

namespace {

// What Qt 6's platform plugins say just before they end the process (xcb: exit(1); Wayland:
// _exit(1)).
constexpr std::array<std::string_view, 3> kLossWarnings = {
    "The X11 connection broke", "The Wayland connection broke",
    "The Wayland connection experienced a fatal error"};

std::function<int()> gQuit;
std::thread::id gMainThread;
std::atomic<bool> gInstalled{false};
std::atomic<bool> gAsked{false};    // a thread asked the main thread to quit
std::atomic<bool> gStarted{false};  // the main thread runs the quit
QtMessageHandler gPrevious = nullptr;

// On the main thread; once.
void quitOnMainThread(const std::string& why) {
    if (gStarted.exchange(true)) {
        return;  // the quit itself lost the display again: nothing more can be done
    }
    Log::warn(why + "; quitting");
    const int status = gQuit();
    std::fflush(nullptr);
    ::_exit(status);
}

// Never returns while the quit can still run: whoever called us ends the process on return.
void handleLoss(const std::string& why) {
    if (std::this_thread::get_id() == gMainThread) {
        quitOnMainThread(why);
        return;
    }
    // The Wayland plugin's reader thread may see the loss first; the main thread then sees it
    // too, and quits there at once rather than waiting for this job.
    if (!gAsked.exchange(true)) {
        runtime::mainQueue().async([why] { quitOnMainThread(why); });
    }
    for (;;) {
        ::pause();  // until the main thread's _exit
    }
}

std::string platformName() {
    return QGuiApplication::platformName().toStdString();
}

void onMessage(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (gPrevious != nullptr) {
        gPrevious(type, context, message);
    } else {
        std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, message)));
    }
    if (gInstalled.load() && DisplayLoss::isConnectionLost(message.toStdString())) {
        handleLoss("display connection lost (" + platformName() + ")");
    }
}

void onExit() {
    if (gInstalled.load()) {
        handleLoss("exit called while running (" + platformName() + ")");
    }
}

}  // namespace

DisplayLoss::DisplayLoss(std::function<int()> quit) {
    gQuit = std::move(quit);
    gMainThread = std::this_thread::get_id();
    gAsked = false;
    gStarted = false;
    gPrevious = qInstallMessageHandler(onMessage);
    static bool registered = false;
    if (!registered) {
        registered = std::atexit(onExit) == 0;
    }
    gInstalled = true;
}

DisplayLoss::~DisplayLoss() {
    gInstalled = false;
    qInstallMessageHandler(gPrevious);
    gPrevious = nullptr;
    gQuit = nullptr;
}

bool DisplayLoss::isConnectionLost(std::string_view message) {
    for (const std::string_view warning : kLossWarnings) {
        if (message.starts_with(warning)) {
            return true;
        }
    }
    return false;
}

}  // namespace noctave::app

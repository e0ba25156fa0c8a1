#include "core/session/Recovery.hpp"

// The one place in the core that uses POSIX signals and alarm(): the handlers must clear the
// kernel flag before the process dies, and the watchdog must end a process whose kernel call
// hangs, which no queue or timer can do.
#include <signal.h>
#include <unistd.h>

#include <fcntl.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "core/os/Processes.hpp"
#include "core/os/System.hpp"
#include "core/power/LidSleepPolicy.hpp"
#include "core/support/Log.hpp"
#include "core/support/PrivateFiles.hpp"
#include "core/text/Utf8.hpp"

namespace noctave::Recovery {

namespace fs = std::filesystem;

namespace {

constexpr unsigned kWatchdogSeconds = 5;
constexpr int kHandledSignals[] = {SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGABRT,
                                   SIGSEGV, SIGBUS, SIGILL, SIGFPE};

std::atomic<bool> gInstalled{false};

int64_t bootTime() {
    auto processes = os::system().processes;
    return processes ? processes->bootTime() : 0;
}

// A decimal integer with an optional sign and nothing else around it.
template <class Int>
std::optional<Int> parseDecimal(std::string_view text) {
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
        if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
            return std::nullopt;
        }
    }
    Int value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc{} || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

// A real marker is two short lines; anything longer is not one, and is not read further.
constexpr std::size_t kMarkerLimit = 4096;

// The marker's text, or why there is no usable one.
std::optional<std::string> readMarker(const fs::path& file, std::string* why) {
    auto text = files::readBoundedFile(file, kMarkerLimit, std::to_string(kMarkerLimit) + " bytes",
                                       files::Links::refuse, why);
    if (text && !utf8::isValid(*text)) {
        *why = "not text";
        return std::nullopt;
    }
    return text;
}

std::vector<std::string_view> nonEmptyLines(std::string_view text) {
    std::vector<std::string_view> pieces;
    while (!text.empty()) {
        const auto end = text.find('\n');
        const std::string_view piece = text.substr(0, end);
        if (!piece.empty()) {
            pieces.push_back(piece);
        }
        if (end == std::string_view::npos) {
            break;
        }
        text.remove_prefix(end + 1);
    }
    return pieces;
}

// Async-signal-safe only: one atomic load, one call through a plain function pointer,
// signal() and raise().
extern "C" void handleFatalSignal(int signalNumber) {
    LidSleepPolicy::emergencyClear();
    ::signal(signalNumber, SIG_DFL);
    ::raise(signalNumber);
}

}  // namespace

bool installed() {
    return gInstalled.load();
}

fs::path pidFileURL() {
    return Log::directory() / "session.pid";
}

void markArmed() {
    const fs::path file = pidFileURL();
    if (!files::makePrivateFolder(file.parent_path())) {
        return;
    }
    int pid = 0;
    if (auto processes = os::system().processes) {
        pid = processes->currentPid();
    }
    const std::string text = std::to_string(pid) + "\n" + std::to_string(bootTime()) + "\n";

    // Whole file or nothing: write beside it, then rename over the old one. The temporary name
    // is the writer's own, so two instances never write into one file.
    fs::path temporary = file;
    temporary += "." + std::to_string(pid) + ".tmp";
    fs::path aside;
    const int fd = files::createTemporaryFile(temporary, &aside);
    if (!aside.empty()) {
        Log::warn("recovery: " + temporary.string() + " was not a file of ours; moved aside to " +
                  aside.string());
    }
    if (fd < 0) {
        return;
    }
    const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    std::error_code ignored;
    if (::close(fd) != 0 || !written) {
        fs::remove(temporary, ignored);
        return;
    }
    fs::rename(temporary, file, ignored);
    if (ignored) {
        fs::remove(temporary, ignored);
    }
}

void clearMarker() {
    std::error_code ignored;
    fs::remove(pidFileURL(), ignored);
}

void recoverFromUncleanExit() {
    const fs::path file = pidFileURL();
    std::error_code error;
    if (!fs::exists(fs::symlink_status(file, error))) {
        return;
    }
    // An unusable marker is left where it is (the next arm replaces it), and the start goes on.
    std::string why;
    const auto text = readMarker(file, &why);
    if (!text) {
        Log::warn("recovery: marker unusable (" + why + "); ignoring it");
        return;
    }
    const auto pieces = nonEmptyLines(*text);
    const int32_t pid =
        pieces.empty() ? -1 : parseDecimal<int32_t>(pieces[0]).value_or(int32_t{-1});
    const int64_t markedBoot =
        pieces.size() < 2 ? 0 : parseDecimal<int64_t>(pieces[1]).value_or(int64_t{0});

    if (markedBoot != bootTime()) {
        // A restart resets the kernel flag.
        Log::info("recovery: marker predates this boot; kernel mask already clear");
    } else {
        auto processes = os::system().processes;
        const bool alive = pid >= 1 && processes && processes->isAlive(pid);
        if (!alive) {
            Log::warn("recovery: unclean exit of pid " + std::to_string(pid) +
                      "; clearing lid-close kernel flag");
            if (!LidSleepPolicy::clearOnFreshConnection()) {
                Log::error("recovery: one-shot kernel flag clear FAILED");
            }
        } else {
            Log::warn("recovery: pid " + std::to_string(pid) +
                      " still alive; another instance may be running");
        }
    }
    clearMarker();
}

void installSignalHandlers() {
    if (gInstalled.exchange(true)) {
        return;
    }
    for (const int signalNumber : kHandledSignals) {
        ::signal(signalNumber, handleFatalSignal);
    }
}

bool guardedClear(LidSleepPolicy& policy) {
    // One budget for both attempts: SIGALRM is not handled, so a hung call ends the process.
    ::alarm(kWatchdogSeconds);
    if (policy.set(false)) {
        ::alarm(0);
        return true;
    }
    Log::warn("kernel flag clear failed on primary connection; trying fresh connection");
    const bool cleared = LidSleepPolicy::clearOnFreshConnection();
    ::alarm(0);
    return cleared;
}

}  // namespace noctave::Recovery

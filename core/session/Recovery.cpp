#include "core/session/Recovery.hpp"

// The one place in the core that uses POSIX signals and alarm(): the handlers must clear the
// kernel flag before the process dies, and the watchdog must end a process whose kernel call
// hangs, which no queue or timer can do.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <charconv>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "core/os/Processes.hpp"
#include "core/os/System.hpp"
#include "core/power/LidSleepPolicy.hpp"
#include "core/support/Log.hpp"
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

std::optional<std::string> readText(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad() || !utf8::isValid(text)) {
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
    std::error_code ignored;
    if (!fs::is_directory(file.parent_path(), ignored)) {
        if (fs::create_directories(file.parent_path(), ignored)) {
            fs::permissions(file.parent_path(), fs::perms::owner_all, ignored);
        }
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
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        if (!out) {
            return;
        }
        out << text;
        out.flush();
        if (!out) {
            out.close();
            fs::remove(temporary, ignored);
            return;
        }
    }
    fs::permissions(temporary, fs::perms::owner_read | fs::perms::owner_write, ignored);
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
    if (!fs::exists(file, error)) {
        return;
    }
    // An unreadable marker stays for the next start to look at.
    const auto text = readText(file);
    if (!text) {
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

#pragma once

#include <string>
#include <utility>
#include <vector>

namespace noctave::DisplaySleeper {

// Puts every display to sleep at once: the window server's instant call when there is one,
// otherwise (or when it fails) the fallback command, at most twice.

struct Outcome {
    enum class Kind { failed, skylight, pmset };

    static Outcome failed(std::string message) { return {Kind::failed, std::move(message)}; }
    static Outcome skylight() { return {Kind::skylight, {}}; }
    static Outcome pmset() { return {Kind::pmset, {}}; }

    bool succeeded() const { return kind != Kind::failed; }

    Kind kind;
    std::string message;  // why it failed (failed only), for the log or the user
    friend bool operator==(const Outcome&, const Outcome&) = default;
};

// The fallback program and its arguments, as the platform supplies them.
std::string executable();
std::vector<std::string> arguments();

// Whether the instant call exists (resolved once, on first use; any thread).
bool hasFastPath();

// Synchronous; may block for two runs of the fallback program.
Outcome sleepNow();

}  // namespace noctave::DisplaySleeper

#pragma once

#include <concepts>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace noctave::Log {

// The program's one diagnostic channel: one line per event, stamped with the real wall clock
// (never a virtual one), written at once to standard error and, from the "noctave.log" queue,
// appended to diagnostics.log in the program's folder.
// Every function may be called from any thread and never fails.

enum class Level { debug, info, warn, error };

// "DBG", "INF", "WRN", "ERR".
std::string_view rawValue(Level level);
std::optional<Level> levelFromRawValue(std::string_view raw);

// Debug lines are written only while this is on. Off at start; the delegate sets it at launch.
bool verbose();
void setVerbose(bool on);

void write(Level level, std::string_view message);

inline void info(std::string_view message) {
    write(Level::info, message);
}
inline void warn(std::string_view message) {
    write(Level::warn, message);
}
inline void error(std::string_view message) {
    write(Level::error, message);
}
inline void debug(std::string_view message) {
    if (verbose()) {
        write(Level::debug, message);
    }
}

// The lazy form: the message is built only when the line is written.
template <class F>
requires std::invocable<F&>
void debug(F&& makeMessage) {
    if (verbose()) {
        write(Level::debug, std::string(makeMessage()));
    }
}

// The folder that holds the log files (and the recovery marker): application support/Noctave.
std::filesystem::path directory();

// diagnostics.1.log followed by diagnostics.log, read now on the caller's thread; lines still
// queued for the file are not included. A missing or non-UTF-8 file contributes nothing.
std::string snapshot();

// Test seam: sees every written line's level and message, on the writer's thread, before it
// is queued for the file. One observer at a time; pass nullptr to remove it.
using Observer = std::function<void(Level, std::string_view)>;
void setObserver(Observer observer);

// Followers see the log as it is written (a log tail in a window): every line, as written to
// the file but without its newline, on the writer's thread. Any number at once. A follower must
// not write to the log; removing one waits for a call in progress, so none follows after.
using Follower = std::function<void(std::string_view line)>;
uint64_t addFollower(Follower follower);
void removeFollower(uint64_t id);

// Test seam: whether lines also go to standard error (default on).
void setStandardErrorEnabled(bool on);

// Waits until every line written so far has reached the file. On a virtual runtime the file
// jobs run when the runtime runs; this only helps a real one (shutdown, command-line checks).
void flush();

}  // namespace noctave::Log

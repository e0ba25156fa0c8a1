#pragma once

#include <memory>
#include <string_view>

namespace noctave {
class LidSleepPolicy;
}

// What the three command-line checks share: plain output, waiting, the time and opening the
// root power domain. The checks run on the main thread of a process that does nothing else.
namespace noctave::app::diagnostics {

// Writes `text` and a line feed to standard output.
void printLine(std::string_view text);

// Sleeps the calling thread. On the virtual laptop the time is virtual and the machine's own
// events (a lid that closes, a sleep) happen during the wait.
void pause(double seconds);

// Seconds on the wall clock. Unlike the monotonic clock it keeps running while the machine
// is suspended, which is what the sleep watch looks for.
double wallSeconds();

// The open root power domain, or null when it is missing or cannot be opened.
std::unique_ptr<LidSleepPolicy> openLidSleepPolicy();

}  // namespace noctave::app::diagnostics

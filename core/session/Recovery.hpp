#pragma once

#include <filesystem>

namespace noctave {
class LidSleepPolicy;
}

namespace noctave::Recovery {

// Makes sure a lid-close flag left set by a process that died is cleared:
//  - a marker file exists while a session holds the flag; a marker from this boot whose writer
//    is gone means an unclean exit, and the next start clears the flag;
//  - signal handlers clear the flag before a termination or fault signal ends the process;
//  - guardedClear, used by every normal disarm, clears under a 5-second watchdog and falls back
//    to a fresh connection.
// All but the signal handlers run on the caller's thread (the main thread in the program).

// Whether installSignalHandlers has run in this process.
bool installed();

// The marker: <log folder>/session.pid.
std::filesystem::path pidFileURL();

// Writes the marker (pid and boot time, one per line). Failures are ignored.
void markArmed();

// Removes the marker. Failures, a missing file included, are ignored.
void clearMarker();

// The start-up check; run once, after the flag's connection is open and the handlers are in.
void recoverFromUncleanExit();

// Installs the handlers for SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGABRT, SIGSEGV, SIGBUS, SIGILL
// and SIGFPE, once per process.
void installSignalHandlers();

// Clears the flag on `policy`'s connection, else on a fresh one, all under one 5-second alarm
// that ends the process if the kernel call hangs. True when a clear was confirmed.
bool guardedClear(LidSleepPolicy& policy);

}  // namespace noctave::Recovery

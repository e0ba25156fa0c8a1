#pragma once

#include <optional>
#include <string>

namespace noctave::control {

// Exit statuses of `noctave ctl` besides 0 and a held command's own.
inline constexpr int kExitRefused = 1;        // Noctave answered with an error
inline constexpr int kExitUsage = 64;         // EX_USAGE
inline constexpr int kExitUnavailable = 69;   // EX_UNAVAILABLE: no Noctave, no session bus
inline constexpr int kExitNoPermission = 77;  // EX_NOPERM: Noctave refused this user

// `noctave ctl ...`: when argv[1] is "ctl", runs the subcommand and returns the exit status;
// otherwise nothing. Needs no Qt: the entry point calls it before anything else starts.
std::optional<int> runCtl(int argc, char** argv);

// The usage text of `noctave ctl`, for `noctave --help` and `noctave ctl --help`.
std::string usage();

}  // namespace noctave::control

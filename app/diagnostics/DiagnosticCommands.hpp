#pragma once

#include <optional>

namespace noctave::app {

// The command-line checks of the power mechanisms: "--selftest", "--diagnose" and
// "--verify-disconnect-guard". An option matches only an element of the argument vector that
// equals it exactly (element 0 included), and the first of the three in that order wins.
//
// Called first by main(), before anything else starts. When a check was asked for, it chooses
// the platform and runtime itself, runs the check and returns the exit status the process must
// end with; otherwise it returns no value and touches nothing.
std::optional<int> runDiagnosticMode(int argc, char** argv);

}  // namespace noctave::app

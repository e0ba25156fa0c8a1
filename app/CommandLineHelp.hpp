#pragma once

#include <cstdio>
#include <optional>
#include <string>

#include "core/os/Vocabulary.hpp"

namespace noctave::app {

// "--help" and "--version": what a user or a packager asks a command first. They come after
// every mode with its own verdict, so `noctave --selftest --help` still runs the self-test.

// The help text: every mode of the executable, the environment it reads and its exit statuses.
// The man page documents the same options; a test keeps the two in step. `words` add what is
// true on the platform, such as how to turn on the desktop's own place for Noctave.
std::string helpText(const os::Vocabulary& words);

// "Noctave " + the version the About pane shows (" Beta" appended in a beta build) + "\n".
std::string versionText();

// Prints the help ("--help", in the words of the platform NOCTAVE_PLATFORM names) or the version
// ("--version"), the first of the two present, to `out`. Returns 0, or 1 when the text could not be
// written (a closed pipe, a full disk), so a packaging script never takes a lost text for an
// answer; no value when neither option is present.
std::optional<int> runInfoMode(int argc, char** argv, std::FILE* out = stdout);

}  // namespace noctave::app

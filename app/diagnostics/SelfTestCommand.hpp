#pragma once

namespace noctave::app::SelfTest {

// "--selftest": exercises the lid-close flag, an idle-sleep assertion, the hinge sensor and
// the lid state with the engine's own classes, and prints one line per step:
//
//   Noctave self-test
//   -------------------
//     ok    opened IOPMrootDomain user client
//     ...
//   -------------------
//   PASS
//
// Returns the exit status: 0 when every labelled check succeeded, 1 when one failed or the
// root power domain could not be opened.
int run();

}  // namespace noctave::app::SelfTest

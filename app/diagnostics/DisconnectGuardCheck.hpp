#pragma once

namespace noctave::app::DisconnectGuardCheck {

// "--verify-disconnect-guard": with the lid really closed, reproduces the sleep the power
// daemon forces when an external display goes away (it clears the shared lid-close bit) and
// tells whether the guard assertion (PreventSystemSleep, taken once the lid is shut) keeps the
// machine awake through it. Interactive: it asks the user to close the lid, waits about a
// minute, then asks to open it. Returns the exit status: 0 when no sleep was seen; 1 when the
// machine slept, the root power domain or the lid state could not be opened, arming failed or
// the lid never closed.
int run();

}  // namespace noctave::app::DisconnectGuardCheck

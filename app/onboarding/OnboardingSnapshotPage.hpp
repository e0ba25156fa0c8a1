#pragma once

#include <optional>
#include <string>

namespace noctave::app {

// The page index "--snapshot-onboarding PATH [n]" asks for: n is 1-based, decimal, with an
// optional leading "+" or "-" and digits only; absent, empty or anything else counts as 1.
// The result is clamped to the four pages, 0 to 3.
int onboardingSnapshotPage(const std::optional<std::string>& argument);

}  // namespace noctave::app

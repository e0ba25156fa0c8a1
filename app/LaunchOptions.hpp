#pragma once

#include <optional>
#include <string>

namespace noctave::app {

// The window options of the command line, read once by the entry point (parseLaunchOptions)
// and carried out at launch: by the delegate, and for the virtual laptop's window by
// SimulatorMode.
struct LaunchOptions {
    struct SettingsSnapshot {
        std::string path;                 // as given; made absolute when written
        std::optional<std::string> pane;  // the pane shown in the picture
    };
    struct OnboardingSnapshot {
        std::string path;
        int page = 0;  // 0 to 3
    };

    bool showSettings = false;    // --show-settings
    bool showOnboarding = false;  // --show-onboarding
    // --snapshot-settings <png> [pane]; with --snapshot-settings-hover the picture shows a
    // hovered row.
    std::optional<SettingsSnapshot> settingsSnapshot;
    bool showsSettingsHover = false;
    // --snapshot-onboarding <png> [page]
    std::optional<OnboardingSnapshot> onboardingSnapshot;
    // One of the four options above was given, even without its path: the first run's
    // onboarding is left for a later launch.
    bool asksForWindow = false;

    // --simulate, or --snapshot-simulator <png> (the picture's path in `simulatorSnapshot`).
    bool simulate = false;
    std::optional<std::string> simulatorSnapshot;

    // A snapshot was asked for: it draws offscreen, so no display is needed.
    bool drawsOffscreen = false;
};

}  // namespace noctave::app

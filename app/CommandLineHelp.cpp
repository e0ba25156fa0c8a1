#include "app/CommandLineHelp.hpp"

#include "app/control/Ctl.hpp"
#include "core/support/AppInfo.hpp"
#include "core/support/CommandLine.hpp"
#include "platform/PlatformSelection.hpp"
#include "platform/linux/LinuxVocabulary.hpp"

namespace noctave::app {

std::string helpText(const os::Vocabulary& words) {
    std::string text =
        "Usage: noctave [OPTION...]\n"
        "       noctave ctl COMMAND [ARGUMENT...]\n"
        "\n"
        "Keeps the laptop awake and running with its lid closed. Without one of the\n"
        "one-shot options below, Noctave starts in the tray.\n";
    if (const std::string note = words.desktopExtensionNote(); !note.empty()) {
        text += note + "\n";
    }
    text +=
        "\n"
        "Checks of the power mechanisms (a report; the exit status is the verdict):\n"
        "  --selftest                    lid-close flag, power assertion, hinge sensor, lid\n"
        "  --diagnose                    power properties that change while the flag is set\n"
        "  --verify-disconnect-guard     whether the guard keeps a closed laptop awake when\n"
        "                                the flag is cleared (you close and open the lid)\n"
        "\n"
        "Pictures (no display needed):\n"
        "  --preview-anim                the curtain's preview frames, into /tmp\n"
        "  --preview-menu-icon PNG       the two tray icon states, side by side\n"
        "  --export-app-icon-set DIRECTORY SOURCE-PNG\n"
        "                                the ten application icon sizes (the drawn ember\n"
        "                                when SOURCE-PNG cannot be read)\n"
        "  --snapshot-simulator PNG      the virtual laptop's window, drawn by the\n"
        "                                application running offscreen on it\n"
        "\n"
        "Start the application, then:\n"
        "  --simulate                    run on the virtual laptop and show its window\n"
        "  --show-settings               open the settings window\n"
        "  --show-onboarding             open the introduction\n"
        "  --snapshot-settings PNG [PANE]\n"
        "                                write a picture of the settings window (PANE:\n"
        "                                arming, general or about), then quit\n"
        "  --snapshot-onboarding PNG [PAGE]\n"
        "                                write a picture of introduction page PAGE (1-4),\n"
        "                                then quit\n"
        "  --snapshot-settings-hover     draw the About pane's first button as pointed at\n"
        "\n"
        "  --help                        print this help\n"
        "  --version                     print the version\n"
        "\n"
        "Control of the running Noctave:\n";
    text += control::usage();
    text +=
        "\n"
        "Environment:\n"
        "  NOCTAVE_PLATFORM              linux (the default) or sim, the virtual laptop\n"
        "  NOCTAVE_SIM                   the virtual laptop's starting state, as\n"
        "                                key=value[,key=value...]\n"
        "  NOCTAVE_SIM_HOME              keep the virtual laptop's files in this folder\n"
        "\n"
        "Exit status: 0 success or PASS; 1 a failed check or a failed export; 2 a usage\n"
        "error or a bad NOCTAVE_SIM.\n"
        "The manual: man noctave\n";
    return text;
}

std::string versionText() {
    return "Noctave " + AppInfo::version() + "\n";
}

std::optional<int> runInfoMode(int argc, char** argv, std::FILE* out) {
    const CommandLine line(argc, argv);
    std::string text;
    if (line.has("--help")) {
        if (platform::requestedPlatform() == platform::Platform::Kind::sim) {
            text = helpText(os::MacVocabulary());
        } else {
            text = helpText(linuxos::LinuxVocabulary());
        }
    } else if (line.has("--version")) {
        text = versionText();
    } else {
        return std::nullopt;
    }
    const bool written = std::fputs(text.c_str(), out) >= 0;
    if (std::fflush(out) != 0 || !written || std::ferror(out) != 0) {
        std::fputs("noctave: could not write to standard output\n", stderr);
        return 1;
    }
    return 0;
}

}  // namespace noctave::app

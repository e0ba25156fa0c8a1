// The noctave executable: a command-line mode when one is asked for, else the tray application.
#include "app/CommandLineHelp.hpp"
#include "app/EntryPoint.hpp"
#include "app/control/Ctl.hpp"
#include "app/diagnostics/DiagnosticCommands.hpp"

int main(int argc, char** argv) {
    // `noctave ctl ...` talks to the running instance and never starts one here.
    if (const auto status = noctave::control::runCtl(argc, argv)) {
        return *status;
    }
    // The checks of the power mechanisms come first; like the exports, they end the process.
    if (const auto status = noctave::app::runDiagnosticMode(argc, argv)) {
        return *status;
    }
    if (const auto status = noctave::app::runExportMode(argc, argv)) {
        return *status;
    }
    if (const auto status = noctave::app::runInfoMode(argc, argv)) {
        return *status;
    }
    return noctave::app::runApplication(argc, argv);
}

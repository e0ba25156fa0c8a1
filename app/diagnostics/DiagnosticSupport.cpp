#include "app/diagnostics/DiagnosticSupport.hpp"

#include <chrono>
#include <cstdio>

#include "core/power/LidSleepPolicy.hpp"
#include "core/runtime/Runtime.hpp"

namespace noctave::app::diagnostics {

void printLine(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
}

void pause(double seconds) {
    runtime::current().runFor(seconds);
}

double wallSeconds() {
    return std::chrono::duration<double>(runtime::clock().wall().time_since_epoch()).count();
}

std::unique_ptr<LidSleepPolicy> openLidSleepPolicy() {
    try {
        return std::make_unique<LidSleepPolicy>();
    } catch (const LidSleepPolicy::OpenError&) {
        // The checks print their own line for this; the error's text is not shown.
        return nullptr;
    }
}

}  // namespace noctave::app::diagnostics

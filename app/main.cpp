// The noctave executable: picks the platform, then runs the mode the command line asks for.
#include <cstdio>
#include <string>

#include "app/PlatformSelection.hpp"
#include "core/runtime/ThreadedRuntime.hpp"
#include "core/support/AppInfo.hpp"
#include "core/support/Log.hpp"

int main(int /*argc*/, char** /*argv*/) {
    using namespace noctave;
    std::string error;
    auto platform = app::selectPlatform(&error);
    if (!platform) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 2;
    }
    runtime::ThreadedRuntime runtime;
    runtime::RuntimeInstaller runtimeInstaller{runtime};
    os::SystemInstaller systemInstaller{platform->system()};
    std::printf("Noctave %s (%s platform)\n", AppInfo::version().c_str(),
                platform->isSimulated() ? "virtual laptop" : "Linux");
    return 0;
}

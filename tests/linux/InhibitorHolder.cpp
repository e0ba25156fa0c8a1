// Takes the lid-close inhibitor through the Linux backend, says so, and waits to be killed:
// the test proves that the inhibitor goes with the process.
#include <unistd.h>

#include <cstdio>

#include "platform/linux/LinuxPowerManagement.hpp"

int main() {
    using namespace noctave::linuxos;
    auto bus = std::make_shared<DBusConnection>(BusKind::system);
    LinuxPowerManagement power(MachineRoots{}, bus, nullptr);
    const auto service = power.matchingService(noctave::os::kRootDomainClass);
    noctave::os::IoConnection connection = 0;
    if (service == 0 || power.openService(service, 0, &connection) != 0 ||
        power.callScalarMethod(connection, noctave::os::kLidSleepPolicySelector, 1) != 0) {
        std::puts("failed");
        return 1;
    }
    std::puts("held");
    std::fflush(stdout);
    for (;;) {
        pause();
    }
}

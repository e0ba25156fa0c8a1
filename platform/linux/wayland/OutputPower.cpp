#include "platform/linux/wayland/OutputPower.hpp"

#include <cerrno>
#include <vector>

#include "platform/linux/wayland/WaylandClient.hpp"
#include "wlr-output-power-management-unstable-v1-client-protocol.h"

namespace noctave::linuxos::wayland::OutputPower {

namespace {

void handleMode(void* /*data*/, zwlr_output_power_v1* /*power*/, std::uint32_t /*mode*/) {}
void handleFailed(void* data, zwlr_output_power_v1* /*power*/) {
    *static_cast<bool*>(data) = true;
}
const zwlr_output_power_v1_listener kListener = {handleMode, handleFailed};

}  // namespace

bool isOffered(const WaylandClient& client) {
    return client.outputPowerManager() != nullptr;
}

int sleepAll(WaylandClient& client) {
    if (!isOffered(client)) {
        return ENOTSUP;
    }
    if (client.outputs().empty()) {
        return ENODEV;
    }
    struct Control {
        zwlr_output_power_v1* proxy;
        bool failed;
    };
    std::vector<Control> controls(client.outputs().size());
    for (std::size_t i = 0; i < controls.size(); ++i) {
        controls[i].failed = false;
        controls[i].proxy = zwlr_output_power_manager_v1_get_output_power(
            client.outputPowerManager(), client.outputs()[i]->proxy);
        zwlr_output_power_v1_add_listener(controls[i].proxy, &kListener, &controls[i].failed);
        zwlr_output_power_v1_set_mode(controls[i].proxy, ZWLR_OUTPUT_POWER_V1_MODE_OFF);
    }
    const bool answered = client.roundtrip();
    bool failed = !answered;
    for (auto& control : controls) {
        failed = failed || control.failed;
        zwlr_output_power_v1_destroy(control.proxy);
    }
    client.flush();
    return failed ? EIO : 0;
}

}  // namespace noctave::linuxos::wayland::OutputPower

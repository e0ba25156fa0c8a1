#include "platform/sim/SimStateReport.hpp"

#include <fstream>

#include "platform/sim/SimPower.hpp"

namespace noctave::sim {

namespace {
const char* lidName(SimPower::Lid lid) {
    switch (lid) {
        case SimPower::Lid::open:
            return "open";
        case SimPower::Lid::closed:
            return "closed";
        case SimPower::Lid::unknown:
            return "unknown";
        case SimPower::Lid::absent:
            break;
    }
    return "absent";
}
}  // namespace

std::string describeState(SimPower& power) {
    return std::string("lid-close bit: ") + (power.kernelFlag() ? "set" : "clear") + "\n" +
           "assertions held: " + std::to_string(power.assertions().size()) + "\n" +
           "sleeps: " + std::to_string(power.sleepEvents().size()) + "\n" +
           "lid: " + lidName(power.lid()) + "\n";
}

bool writeStateReport(SimPower& power, const std::filesystem::path& folder) {
    std::ofstream out(folder / "sim-state", std::ios::binary | std::ios::trunc);
    out << describeState(power);
    return static_cast<bool>(out);
}

}  // namespace noctave::sim

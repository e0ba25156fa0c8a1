#include "tests/support/BusDaemon.hpp"

#include <sys/stat.h>

#include <fstream>

namespace noctave::test {

BusDaemon::BusDaemon(const std::string& type, bool openToEveryUser) {
    if (openToEveryUser) {
        ::chmod(dir_.path().c_str(), 0755);
    }
    const auto config = dir_.path() / "bus.conf";
    std::ofstream(config) << "<busconfig><type>" << type
                          << "</type><listen>unix:dir=" << dir_.path().string()
                          << "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                             "<allow user=\"*\"/><allow send_destination=\"*\" "
                             "eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
                             "<allow own=\"*\"/></policy></busconfig>\n";
    // It prints its address once it listens.
    daemon_ = std::make_unique<ChildProcess>(
        "dbus-daemon",
        std::vector<std::string>{"--config-file=" + config.string(), "--nofork", "--nopidfile",
                                 "--print-address=1"},
        ProgramOptions{.standardError = "/dev/null"});
    address_ = daemon_->line(Stream::output, 10).value_or("");
}

}  // namespace noctave::test

#include "platform/linux/lid/LogindLidSettings.hpp"

#include <fstream>
#include <vector>

namespace noctave::linuxos::lid {

namespace fs = std::filesystem;

namespace {

void readInto(const fs::path& file, std::map<std::string, std::string>& settings) {
    std::ifstream in(file);
    std::string line;
    bool inLogin = false;
    while (std::getline(in, line)) {
        const auto start = line.find_first_not_of(" \t");
        if (start == std::string::npos || line[start] == '#' || line[start] == ';') {
            continue;
        }
        if (line[start] == '[') {
            inLogin = line.compare(start, 7, "[Login]") == 0;
            continue;
        }
        const auto equals = line.find('=');
        if (!inLogin || equals == std::string::npos) {
            continue;
        }
        auto trim = [](std::string text) {
            const auto begin = text.find_first_not_of(" \t");
            const auto end = text.find_last_not_of(" \t\r");
            return begin == std::string::npos ? std::string() : text.substr(begin, end - begin + 1);
        };
        const std::string key = trim(line.substr(0, equals));
        if (key.rfind("HandleLidSwitch", 0) == 0 || key == "LidSwitchIgnoreInhibited") {
            settings[key] = trim(line.substr(equals + 1));
        }
    }
}

}  // namespace

std::map<std::string, std::string> readLogindLidSettings(const fs::path& root) {
    std::map<std::string, std::string> settings;
    readInto(root / "etc/systemd/logind.conf", settings);
    // Lowest precedence first, so that for one file name the last folder seen wins.
    const char* folders[] = {"usr/lib/systemd/logind.conf.d", "usr/local/lib/systemd/logind.conf.d",
                             "run/systemd/logind.conf.d", "etc/systemd/logind.conf.d"};
    std::map<std::string, fs::path> dropIns;
    for (const char* folder : folders) {
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(root / folder, error)) {
            if (entry.path().extension() == ".conf") {
                dropIns[entry.path().filename().string()] = entry.path();
            }
        }
    }
    for (const auto& [name, file] : dropIns) {
        readInto(file, settings);
    }
    return settings;
}

}  // namespace noctave::linuxos::lid

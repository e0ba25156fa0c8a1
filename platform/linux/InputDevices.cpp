#include "platform/linux/InputDevices.hpp"

#include <fcntl.h>
#include <linux/input.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <sstream>
#include <system_error>

namespace noctave::linuxos {

namespace {

constexpr std::size_t kBitsPerWord = 8 * sizeof(unsigned long);
constexpr std::size_t kMaxWords = (KEY_MAX + kBitsPerWord) / kBitsPerWord;

std::vector<std::filesystem::path> eventNodes(const MachineRoots& roots) {
    std::vector<std::filesystem::path> nodes;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(roots.dev / "input", ec)) {
        if (entry.path().filename().string().rfind("event", 0) == 0) {
            nodes.push_back(entry.path());
        }
    }
    std::sort(nodes.begin(), nodes.end());
    return nodes;
}

bool advertises(int fd, unsigned eventType, unsigned code) {
    unsigned long bits[kMaxWords] = {};
    if (ioctl(fd, EVIOCGBIT(eventType, sizeof bits), bits) < 0) {
        return false;
    }
    return testBit(bits, kMaxWords, code);
}

}  // namespace

bool testBit(const unsigned long* bits, std::size_t words, unsigned code) {
    std::size_t word = code / kBitsPerWord;
    return word < words && ((bits[word] >> (code % kBitsPerWord)) & 1UL) != 0;
}

bool capabilityHasBit(const std::string& mask, unsigned code) {
    std::istringstream in(mask);
    std::vector<std::string> words;
    std::string word;
    while (in >> word) {
        words.push_back(word);
    }
    std::size_t index = code / kBitsPerWord;
    if (index >= words.size()) {
        return false;
    }
    const std::string& hex = words[words.size() - 1 - index];
    char* end = nullptr;
    errno = 0;
    unsigned long value = std::strtoul(hex.c_str(), &end, 16);
    if (errno != 0 || end == hex.c_str()) {
        return false;
    }
    return ((value >> (code % kBitsPerWord)) & 1UL) != 0;
}

std::vector<std::filesystem::path> findSwitchCapableInputs(const MachineRoots& roots,
                                                           unsigned switchCode) {
    std::vector<std::filesystem::path> found;
    std::error_code ec;
    for (const auto& entry :
         std::filesystem::directory_iterator(roots.sys / "class" / "input", ec)) {
        auto mask = readFirstLine(entry.path() / "capabilities" / "sw");
        if (mask && capabilityHasBit(*mask, switchCode)) {
            found.push_back(entry.path());
        }
    }
    std::sort(found.begin(), found.end());
    return found;
}

int openReadableInput(const MachineRoots& roots, unsigned eventType, unsigned code) {
    for (const auto& node : eventNodes(roots)) {
        int fd = open(node.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        if (advertises(fd, eventType, code)) {
            return fd;
        }
        close(fd);
    }
    return -1;
}

InputScan openAllReadableInputs(const MachineRoots& roots, unsigned eventType, unsigned code) {
    InputScan scan;
    for (const auto& node : eventNodes(roots)) {
        ++scan.nodes;
        int fd = open(node.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            if (errno == EACCES || errno == EPERM) {
                ++scan.deniedNodes;
            }
            continue;
        }
        if (advertises(fd, eventType, code)) {
            scan.fds.push_back(fd);
        } else {
            close(fd);
        }
    }
    return scan;
}

}  // namespace noctave::linuxos

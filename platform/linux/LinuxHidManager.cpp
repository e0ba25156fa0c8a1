#include "platform/linux/LinuxHidManager.hpp"

#include <fcntl.h>
#include <linux/hidraw.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <mutex>

#include "platform/linux/HingeSensorNodes.hpp"

namespace noctave::linuxos {

namespace {

// A device read through one file descriptor, closed exactly once. Only feature reports are
// read; each kind says how much room its report needs.
class FileDevice : public os::HidDevice {
  public:
    int close() override {
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
        return 0;
    }

    int getReport(os::HidReportType type, uint32_t reportId, uint8_t* buffer, std::size_t capacity,
                  std::size_t& length) final {
        length = 0;
        if (fd_ < 0) {
            return EBADF;
        }
        if (type != os::HidReportType::feature || capacity < minimumCapacity_) {
            return ENOTSUP;
        }
        buffer[0] = static_cast<uint8_t>(reportId);
        return readFeature(buffer, capacity, length);
    }

  protected:
    explicit FileDevice(std::size_t minimumCapacity) : minimumCapacity_(minimumCapacity) {}
    // Fills `buffer` after the report id already in buffer[0].
    virtual int readFeature(uint8_t* buffer, std::size_t capacity, std::size_t& length) = 0;

    int fd_ = -1;

  private:
    const std::size_t minimumCapacity_;
};

class HidrawDevice final : public FileDevice {
  public:
    explicit HidrawDevice(std::filesystem::path node) : FileDevice(1), node_(std::move(node)) {}
    ~HidrawDevice() override { close(); }

    int open() override {
        close();
        // A feature-report read needs no write access, and the udev rule grants none.
        fd_ = ::open(node_.c_str(), O_RDONLY | O_CLOEXEC);
        return fd_ >= 0 ? 0 : errno;
    }

    int readFeature(uint8_t* buffer, std::size_t capacity, std::size_t& length) override {
        int got = ioctl(fd_, HIDIOCGFEATURE(capacity), buffer);
        if (got < 0) {
            return errno;
        }
        length = static_cast<std::size_t>(got);
        return 0;
    }

  private:
    std::filesystem::path node_;
};

// The IIO hinge channel, dressed as the HID sensor's feature report.
class IioHingeDevice final : public FileDevice {
  public:
    // The angle as a little-endian 16-bit value after the report id.
    explicit IioHingeDevice(IioHinge hinge) : FileDevice(3), hinge_(std::move(hinge)) {}
    ~IioHingeDevice() override { close(); }

    int open() override {
        close();
        fd_ = ::open(hinge_.rawFile.c_str(), O_RDONLY | O_CLOEXEC);
        return fd_ >= 0 ? 0 : errno;
    }

    int readFeature(uint8_t* buffer, std::size_t, std::size_t& length) override {
        // sysfs attributes are re-read from offset 0; no allocation on this 120 Hz path.
        char text[32];
        ssize_t got = pread(fd_, text, sizeof text - 1, 0);
        if (got <= 0) {
            return got < 0 ? errno : EIO;
        }
        double raw = 0;
        auto [ptr, ec] = std::from_chars(text, text + got, raw);
        if (ec != std::errc{}) {
            return EIO;
        }
        double degrees = iioHingeDegrees(hinge_, raw);
        long rounded = std::lround(degrees);
        uint16_t angle = rounded < 0        ? 0
                         : rounded > 0xFFFF ? 0xFFFF
                                            : static_cast<uint16_t>(rounded);
        buffer[1] = static_cast<uint8_t>(angle & 0xFF);
        buffer[2] = static_cast<uint8_t>(angle >> 8);
        length = 3;
        return 0;
    }

  private:
    IioHinge hinge_;
};

class LinuxHidSession final : public os::HidManagerSession {
  public:
    LinuxHidSession(MachineRoots roots, os::HidMatching matching)
        : roots_(std::move(roots)), matching_(matching) {}

    std::optional<std::vector<std::shared_ptr<os::HidDevice>>> copyDevices() override {
        std::vector<std::shared_ptr<os::HidDevice>> devices;
        HidPrimaryUsage usage{matching_.primaryUsagePage, matching_.primaryUsage};
        for (const auto& node : findHidraw(roots_, usage)) {
            devices.push_back(std::make_shared<HidrawDevice>(node));
        }
        if (usage == kHingeSensorUsage) {
            if (auto hinge = findIioHinge(roots_)) {
                devices.push_back(std::make_shared<IioHingeDevice>(*hinge));
            }
        }
        return devices;
    }

    void close() override {}

  private:
    MachineRoots roots_;
    os::HidMatching matching_;
};

}  // namespace

std::unique_ptr<os::HidManagerSession> LinuxHidManager::create(const os::HidMatching& matching) {
    return std::make_unique<LinuxHidSession>(roots_, matching);
}

}  // namespace noctave::linuxos

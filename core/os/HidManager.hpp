#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace noctave::os {

// Which devices an enumeration returns: those whose primary usage page and primary usage are
// exactly these (no vendor, product or transport criteria).
struct HidMatching {
    uint32_t primaryUsagePage = 0;
    uint32_t primaryUsage = 0;
};

enum class HidReportType { input = 0, output = 1, feature = 2 };

// One enumerated HID device. Status codes: 0 is success, anything else is the platform's
// error code. Every member may be called from any thread; the caller serialises the calls it
// makes on one device.
class HidDevice {
  public:
    virtual ~HidDevice() = default;

    virtual int open() = 0;
    virtual int close() = 0;

    // Reads one report into `buffer` (`capacity` bytes offered). On return `length` holds the
    // number of bytes the device returned. Must not allocate: it runs on a 120 Hz poll.
    virtual int getReport(HidReportType type, uint32_t reportId, uint8_t* buffer,
                          std::size_t capacity, std::size_t& length) = 0;
};

// A manager session: it enumerates devices and is held while a device found through it is
// in use. close() releases it; it is called exactly once by its user.
class HidManagerSession {
  public:
    virtual ~HidManagerSession() = default;

    // The matching devices, in the platform's own order. nullopt: the enumeration gave no
    // result at all (as opposed to an empty one).
    virtual std::optional<std::vector<std::shared_ptr<HidDevice>>> copyDevices() = 0;

    virtual void close() = 0;
};

// The HID facility.
class HidManager {
  public:
    virtual ~HidManager() = default;

    // A new manager session enumerating the devices that match. Never null.
    virtual std::unique_ptr<HidManagerSession> create(const HidMatching& matching) = 0;
};

}  // namespace noctave::os

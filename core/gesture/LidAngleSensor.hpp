#pragma once

#include <memory>
#include <mutex>
#include <optional>

namespace noctave::os {
class HidDevice;
class HidManagerSession;
}  // namespace noctave::os

namespace noctave {

// The lid's opening angle in whole degrees, polled from the hinge sensor (a HID device on the
// sensor usage page). Machines without one simply have no gesture.
//
// Thread-safety: open(), close() and angle() may be called from any thread; one mutex
// serialises them, since a failing read may reopen the device while another thread reads.
class LidAngleSensor {
  public:
    // Reads that may fail in a row before the sensor reopens itself.
    static constexpr int kReopenAfterFailures = 10;

    LidAngleSensor();  // opens nothing
    ~LidAngleSensor();
    LidAngleSensor(const LidAngleSensor&) = delete;
    LidAngleSensor& operator=(const LidAngleSensor&) = delete;

    // (Re)opens the first matching device through os::system().hidManager. Logs the outcome.
    bool open();

    // The angle in degrees (1...359), or nullopt when there is no device, the read failed or
    // the sensor reported no reading. Allocation-free and silent on the good path.
    std::optional<double> angle();

    // Releases device and manager. Harmless when nothing is open.
    void close();

    bool isAvailable() const;
    int consecutiveFailures() const;

  private:
    bool openLocked();
    void closeLocked();

    mutable std::mutex mutex_;
    std::unique_ptr<os::HidManagerSession> manager_;
    std::shared_ptr<os::HidDevice> device_;
    int consecutiveFailures_ = 0;
    bool isAvailable_ = false;
};

}  // namespace noctave

#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

#include "core/os/HidManager.hpp"

namespace noctave::sim {

class SimKeys;

// The virtual laptop's hinge and its angle sensor, seen through the HID port: one device on
// the sensor usage page (0x20, usage 0x8A) that answers feature report 1 with the angle in
// whole degrees, little-endian, in bytes 1 and 2 (byte 0 echoes the report id).
//
// The hinge moves in virtual time: moveTo(0, 0.9) closes the lid over 0.9 s of the installed
// runtime's clock. Knobs and reads are thread-safe; a report read does not allocate.
class SimHinge final : public os::HidManager {
  public:
    enum class Sensor {
        present,     // answers reports
        absent,      // enumerates nothing; an open device stops answering
        unopenable,  // enumerates, but opening it is refused
    };
    enum class Failure {
        status,       // the read returns an error code
        shortReport,  // the read succeeds with only 2 bytes
    };

    static constexpr int kErrorNotPermitted = static_cast<int>(0xE00002E2);
    static constexpr int kErrorNotOpen = static_cast<int>(0xE00002CD);
    static constexpr int kErrorNotAttached = static_cast<int>(0xE00002D9);
    static constexpr int kErrorGeneral = static_cast<int>(0xE00002BC);

    SimHinge();

    // The lid is at `degrees` from now on.
    void setAngle(double degrees);
    // The lid moves linearly from where it is now to `degrees` over `seconds`, then stays.
    void moveTo(double degrees, double seconds);
    // The physical angle now (what the sensor reports, rounded to whole degrees).
    double angle() const;

    void setSensor(Sensor sensor);
    // The next `count` reads fail in the given way, then reads succeed again.
    void failReads(int count, Failure failure = Failure::status);

    // Recorded.
    int reportReads() const;
    int deviceOpens() const;
    int openDevices() const;   // opened and not yet closed
    int openManagers() const;  // created and not yet closed

    // angle=<degrees>|none|absent ("none": present, reporting 0, i.e. no reading).
    void registerKeys(SimKeys& keys);

    std::unique_ptr<os::HidManagerSession> create(const os::HidMatching& matching) override;

  private:
    class Device;
    class Session;
    friend class Device;
    friend class Session;

    double angleLocked(double now) const;
    int readReport(uint32_t reportId, os::HidReportType type, uint8_t* buffer, std::size_t capacity,
                   std::size_t& length);

    mutable std::mutex mutex_;
    Sensor sensor_ = Sensor::present;
    // Motion: fromAngle_ at startTime_, reaching toAngle_ after duration_ seconds.
    double fromAngle_ = 110.0;
    double toAngle_ = 110.0;
    double startTime_ = 0;
    double duration_ = 0;
    int failuresLeft_ = 0;
    Failure failure_ = Failure::status;
    int reportReads_ = 0;
    int deviceOpens_ = 0;
    int openDevices_ = 0;
    int openManagers_ = 0;
    std::shared_ptr<Device> device_;  // one physical sensor, as every enumeration returns it
};

}  // namespace noctave::sim

#pragma once

#include <atomic>
#include <cstdint>

#include "core/os/PowerManagement.hpp"

namespace noctave::sim {

// The virtual root power domain's kernel side: the lid-close bit and the open user-client
// connections, in memory shared with forked children (an anonymous MAP_SHARED mapping), so that
// a test can watch a child's signal handler clear the bit after the child is gone.
//
// scalarMethod() is async-signal-safe: it reads only this block through a fixed table of atomic
// pointers, allocates nothing and takes no lock. Connection handles name their kernel, so one
// plain function serves every virtual laptop of the process.
class SimKernel {
  public:
    static constexpr os::IoReturn kNotPrivileged = static_cast<os::IoReturn>(0xE00002C1);
    static constexpr os::IoReturn kBadArgument = static_cast<os::IoReturn>(0xE00002C2);
    static constexpr os::IoReturn kUnsupported = static_cast<os::IoReturn>(0xE00002C7);
    static constexpr os::IoReturn kNotOpen = static_cast<os::IoReturn>(0xE00002CD);
    static constexpr os::IoReturn kNoResources = static_cast<os::IoReturn>(0xE00002BE);

    SimKernel();
    ~SimKernel();
    SimKernel(const SimKernel&) = delete;
    SimKernel& operator=(const SimKernel&) = delete;

    // A new open connection; 0 when every slot is taken.
    os::IoConnection open();
    // False when the connection was not open.
    bool close(os::IoConnection connection);
    bool isOpen(os::IoConnection connection) const;
    int openCount() const;

    bool flag() const;
    void setFlag(bool on);  // a write by someone else than the program (the power daemon)
    void setRefusing(bool refusing);
    // Refuses only the writes that clear the bit (a kernel that lets it be set but not cleared).
    void setRefusingClears(bool refusing);
    bool isRefusing() const;
    uint32_t scalarCalls() const;  // every call of the method, refused ones included

    static os::IoReturn scalarMethod(os::IoConnection connection, uint32_t selector,
                                     uint64_t input) noexcept;

  private:
    static constexpr int kMaxConnections = 32;
    static constexpr uint32_t kRefuseAll = 1;
    static constexpr uint32_t kRefuseClears = 2;
    struct Shared {
        std::atomic<uint32_t> flag;
        std::atomic<uint32_t> refusing;
        std::atomic<uint32_t> calls;
        std::atomic<uint32_t> nextSerial;
        std::atomic<uint32_t> connections[kMaxConnections];
    };
    static_assert(std::atomic<uint32_t>::is_always_lock_free);

    static Shared* kernelOf(os::IoConnection connection) noexcept;
    static bool isOpenIn(const Shared& shared, os::IoConnection connection) noexcept;

    Shared* shared_;
    uint32_t slot_;
};

}  // namespace noctave::sim

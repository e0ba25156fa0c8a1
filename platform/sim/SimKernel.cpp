#include "platform/sim/SimKernel.hpp"

#include <sys/mman.h>

#include <cstdlib>
#include <new>

namespace noctave::sim {

namespace {

// Connection handle: kernel slot + 1 in the top byte, a serial number below.
constexpr int kSlots = 64;
constexpr uint32_t kSerialMask = 0x00FF'FFFF;
std::atomic<void*> gKernels[kSlots];

}  // namespace

SimKernel::SimKernel() {
    void* memory =
        ::mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) {
        std::abort();
    }
    shared_ = new (memory) Shared{};
    for (uint32_t slot = 0; slot < kSlots; ++slot) {
        void* expected = nullptr;
        if (gKernels[slot].compare_exchange_strong(expected, shared_)) {
            slot_ = slot;
            return;
        }
    }
    std::abort();  // more virtual laptops alive at once than any test makes
}

SimKernel::~SimKernel() {
    gKernels[slot_].store(nullptr);
    shared_->~Shared();
    ::munmap(shared_, sizeof(Shared));
}

SimKernel::Shared* SimKernel::kernelOf(os::IoConnection connection) noexcept {
    const uint32_t slot = (connection >> 24);
    if (slot == 0 || slot > kSlots) {
        return nullptr;
    }
    return static_cast<Shared*>(gKernels[slot - 1].load());
}

bool SimKernel::isOpenIn(const Shared& shared, os::IoConnection connection) noexcept {
    for (const auto& open : shared.connections) {
        if (open.load() == connection) {
            return true;
        }
    }
    return false;
}

os::IoConnection SimKernel::open() {
    const uint32_t serial = (shared_->nextSerial.fetch_add(1) % kSerialMask) + 1;
    const os::IoConnection connection = ((slot_ + 1) << 24) | serial;
    for (auto& open : shared_->connections) {
        uint32_t expected = 0;
        if (open.compare_exchange_strong(expected, connection)) {
            return connection;
        }
    }
    return 0;
}

bool SimKernel::close(os::IoConnection connection) {
    if (connection == 0) {
        return false;
    }
    for (auto& open : shared_->connections) {
        uint32_t expected = connection;
        if (open.compare_exchange_strong(expected, 0)) {
            return true;
        }
    }
    return false;
}

bool SimKernel::isOpen(os::IoConnection connection) const {
    return connection != 0 && isOpenIn(*shared_, connection);
}

int SimKernel::openCount() const {
    int count = 0;
    for (const auto& open : shared_->connections) {
        count += open.load() != 0 ? 1 : 0;
    }
    return count;
}

bool SimKernel::flag() const {
    return shared_->flag.load() != 0;
}
void SimKernel::setFlag(bool on) {
    shared_->flag.store(on ? 1 : 0);
}
void SimKernel::setRefusing(bool refusing) {
    shared_->refusing.store(refusing ? kRefuseAll : 0);
}
void SimKernel::setRefusingClears(bool refusing) {
    shared_->refusing.store(refusing ? kRefuseClears : 0);
}
bool SimKernel::isRefusing() const {
    return shared_->refusing.load() != 0;
}
uint32_t SimKernel::scalarCalls() const {
    return shared_->calls.load();
}

os::IoReturn SimKernel::scalarMethod(os::IoConnection connection, uint32_t selector,
                                     uint64_t input) noexcept {
    Shared* shared = kernelOf(connection);
    if (shared == nullptr || !isOpenIn(*shared, connection)) {
        return kNotOpen;
    }
    shared->calls.fetch_add(1);
    if (selector != os::kLidSleepPolicySelector) {
        return kUnsupported;
    }
    if (input > 1) {
        return kBadArgument;
    }
    const uint32_t refusing = shared->refusing.load();
    if (refusing == kRefuseAll || (refusing == kRefuseClears && input == 0)) {
        return kNotPrivileged;
    }
    shared->flag.store(static_cast<uint32_t>(input));
    return os::kIoReturnSuccess;
}

}  // namespace noctave::sim

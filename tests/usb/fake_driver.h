// What the virtual board cannot play: a driver whose data requests do what a
// test says (by default they stay pending until aborted), whose aborts can end
// nothing or take a while, and which refuses requests when told. Plus raw
// descriptor pieces for the tables the virtual board's builders cannot make,
// and the fixture of a virtual board opened by the library.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "drivers/sim/sim.h"
#include "platform/device_registry.h"
#include "usb/device/usb_device.h"
#include "usb/driver_interface.h"

namespace vek::test {

inline constexpr GUID kTestClass = {0x12345678, 0x1111, 0x2222, {1, 2, 3, 4, 5, 6, 7, 8}};

class FakeDriver {
public:
    explicit FakeDriver(std::string path = "\\\\?\\fake#0") : path_(std::move(path)) {
        id_ = platform::RegisterDevice(kTestClass, path_.c_str(), &Ops(), this, /*followsVirtualClock=*/true);
        platform::RegisterEventPump(Pump);
        Current() = this;
    }
    ~FakeDriver() {
        platform::UnregisterEventPump(Pump);
        EndPending(ERROR_OPERATION_ABORTED, 0);
        platform::UnregisterDevice(id_);
        Current() = nullptr;
    }
    HANDLE Open() const {
        return win32::CreateFileA(path_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OVERLAPPED, nullptr);
    }
    // The answer to a data request; a pending one is kept for an abort.
    std::function<platform::IoOutcome(platform::IoRequest &)> onData = [](platform::IoRequest &) {
        return platform::IoOutcome{platform::IoState::Pending, 0, 0};
    };
    int abortsIgnored = 0;    // aborts taken that end nothing
    bool lateEnds = false;    // an abort's requests end at the second event pump after it
    bool slowAborts = false;  // and the abort itself with them
    DWORD abortedBytes = 0;   // bytes reported for a request ended by an abort
    int aborts = 0;           // aborts received
    std::vector<OVERLAPPED *> pending;
    OVERLAPPED *abortInProgress = nullptr;

    void EndPending(DWORD error, DWORD bytes) {
        for (OVERLAPPED *ov : pending) platform::CompleteRequest(ov, error, bytes);
        pending.clear();
    }

private:
    static FakeDriver *&Current() {
        static FakeDriver *current = nullptr;
        return current;
    }
    static void Pump(DWORD) {
        FakeDriver *self = Current();
        if (self == nullptr || !self->endsDue || ++self->pumpsSinceAbort < 2) return;
        self->endsDue = false;
        self->EndPending(ERROR_OPERATION_ABORTED, self->abortedBytes);
        if (self->abortInProgress != nullptr)
            platform::CompleteRequest(std::exchange(self->abortInProgress, nullptr), ERROR_SUCCESS, 0);
    }
    platform::IoOutcome Io(platform::IoRequest &r) {
        if (r.code != ioctl::kAbortPipe) {
            platform::IoOutcome outcome = onData(r);
            if (outcome.state == platform::IoState::Pending) pending.push_back(r.overlapped);
            return outcome;
        }
        ++aborts;
        if (abortsIgnored > 0) {
            --abortsIgnored;
        } else if (lateEnds || slowAborts) {
            endsDue = true;
            pumpsSinceAbort = 0;
            if (slowAborts) {
                abortInProgress = r.overlapped;
                return {platform::IoState::Pending, ERROR_SUCCESS, 0};
            }
        } else {
            EndPending(ERROR_OPERATION_ABORTED, abortedBytes);
        }
        return {platform::IoState::Complete, ERROR_SUCCESS, 0};
    }
    static const platform::DriverOps &Ops() {
        static const platform::DriverOps ops = {
            "fake-usb",
            [](void *device, void **context) -> DWORD { return *context = device, ERROR_SUCCESS; },
            [](void *context) { static_cast<FakeDriver *>(context)->EndPending(ERROR_OPERATION_ABORTED, 0); },
            [](void *context, platform::IoRequest *r) { return static_cast<FakeDriver *>(context)->Io(*r); },
        };
        return ops;
    }
    std::string path_;
    uint64_t id_ = 0;
    bool endsDue = false;
    int pumpsSinceAbort = 0;
};

// --- raw descriptor pieces ---
using sim::Bytes;
inline uint8_t Lo(unsigned v) { return static_cast<uint8_t>(v); }
inline uint8_t Hi(unsigned v) { return static_cast<uint8_t>(v >> 8); }
inline Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes &p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}
// `bytes` with the given (offset, value) pairs written over it.
inline Bytes Edited(Bytes bytes, std::initializer_list<std::pair<size_t, uint8_t>> edits) {
    for (const auto &[at, value] : edits) bytes.at(at) = value;
    return bytes;
}
// A configuration descriptor followed by `body`; wTotalLength covers it all
// unless `totalLength` is given.
inline Bytes Configuration(const Bytes &body, uint8_t interfaces = 1, int totalLength = -1, uint8_t value = 1) {
    const int total = totalLength >= 0 ? totalLength : static_cast<int>(9 + body.size());
    return Cat({{9, 2, Lo(total), Hi(total), interfaces, value, 0, 0x80, 50}, body});
}
inline Bytes Interface(uint8_t number, uint8_t alt, uint8_t endpoints, uint8_t cls = 0xFF) {
    return {9, 4, number, alt, endpoints, cls, 0, 0, 0};
}
inline Bytes Endpoint(uint8_t address, uint8_t attributes, uint16_t maxPacket, uint8_t interval = 0) {
    return {7, 5, address, attributes, Lo(maxPacket), Hi(maxPacket), interval};
}
inline Bytes Companion(uint8_t maxBurst, uint8_t attributes = 0, uint16_t bytesPerInterval = 0) {
    return {6, 0x30, maxBurst, attributes, Lo(bytesPerInterval), Hi(bytesPerInterval)};
}

// A virtual board (the default one, or `set`) opened on the virtual clock,
// and its endpoints by address.
class OpenBoardTest : public ::testing::Test {
protected:
    void Open(const sim::DescriptorSet *set = nullptr) {
        VekSimSetVirtualClock(1);
        board = set != nullptr ? sim::AttachDevice(*set) : VekSimAttach(nullptr);
        ASSERT_EQ(board, 0);
        device = std::make_unique<CCyDevice>(nullptr, kDriverInterfaceClass, 1);
        VekSimTraceClear();
    }
    void TearDown() override {
        device.reset();
        VekSimDetachAll();
        VekSimSetVirtualClock(0);
    }
    CCyUSBEndPoint &Ep(uint8_t address) {
        for (int i = 1; i < device->EndpointListSize(); ++i)
            if (device->endpointList[i]->address == address) return *device->endpointList[i];
        throw std::logic_error("no such endpoint");
    }
    int board = -1;
    std::unique_ptr<CCyDevice> device;
};

}  // namespace vek::test

// A scripted USB driver registered under a test-only interface class: answers
// from the descriptors and values a test sets, records every request, and can
// hold data requests pending.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "drivers/sim/descriptor_builder.h"
#include "platform/device_registry.h"
#include "platform/win32.h"
#include "usb/driver_interface.h"

namespace vek::test {

inline constexpr GUID kTestClass = {0x12345678, 0x1111, 0x2222, {1, 2, 3, 4, 5, 6, 7, 8}};

// One request as the driver saw it when it was issued.
struct Recorded {
    uint32_t code;
    std::vector<uint8_t> in;  // the input bytes at issue
    uint32_t outLength;
    void *out;
};

class FakeUsb {
public:
    explicit FakeUsb(std::string path = "\\\\?\\fake#usb#0") : path_(std::move(path)) {
        id_ = platform::RegisterDevice(kTestClass, path_.c_str(), &Ops(), this);
    }
    ~FakeUsb() {
        EndAllPending(ERROR_OPERATION_ABORTED);
        platform::UnregisterDevice(id_);
    }
    FakeUsb(const FakeUsb &) = delete;
    FakeUsb &operator=(const FakeUsb &) = delete;

    const std::string &path() const { return path_; }
    HANDLE Open() {
        return vek::win32::CreateFileA(path_.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                       nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    }

    // --- descriptors and driver values ---
    std::vector<uint8_t> device;
    std::vector<std::vector<uint8_t>> configs;  // by index
    std::vector<uint8_t> bos;
    std::map<uint8_t, std::vector<uint8_t>> strings;       // by index (0: LANGIDs)
    std::set<std::pair<uint8_t, uint8_t>> failDescriptor;  // (type, index) answered with a stall
    std::set<uint32_t> failCode;                           // driver queries that fail
    DWORD openError = ERROR_SUCCESS;
    uint8_t busAddress = 7;
    uint8_t altSetting = 0;
    uint32_t driverVersion = 0x01020304;
    uint32_t stackVersion = 0x00000600;
    uint32_t speed = kSpeedHigh;
    std::string deviceName = "FAKE-DEVICE";
    std::string friendlyName = "Fake USB device";
    // Descriptor reads asking more than this come back one byte short; 0: never.
    uint32_t shortRepliesAbove = 0;

    // --- data requests (default: complete at once, moving every byte offered) ---
    std::function<platform::IoOutcome(platform::IoRequest &)> onData;
    int abortsIgnored = 0;   // aborts taken that end nothing
    DWORD abortedBytes = 0;  // bytes reported for a request ended by an abort

    std::vector<Recorded> log;
    std::deque<platform::IoRequest> pending;

    std::vector<Recorded> Requests(uint32_t code) const {
        std::vector<Recorded> found;
        for (const Recorded &r : log) {
            if (r.code == code) found.push_back(r);
        }
        return found;
    }
    size_t Count(uint32_t code) const { return Requests(code).size(); }

    void EndPending(DWORD error, DWORD bytes) {  // the oldest
        if (pending.empty()) return;
        platform::IoRequest r = pending.front();
        pending.pop_front();
        platform::CompleteRequest(r.overlapped, error, bytes);
    }
    void EndAllPending(DWORD error) {
        while (!pending.empty()) EndPending(error, 0);
    }

private:
    static const platform::DriverOps &Ops() {
        static const platform::DriverOps ops = {
            "fake-usb",
            [](void *device, void **context) -> DWORD {
                auto *self = static_cast<FakeUsb *>(device);
                if (self->openError != ERROR_SUCCESS) return self->openError;
                *context = self;
                return ERROR_SUCCESS;
            },
            [](void *context) { static_cast<FakeUsb *>(context)->EndAllPending(ERROR_OPERATION_ABORTED); },
            [](void *context, platform::IoRequest *request) { return static_cast<FakeUsb *>(context)->Io(*request); },
            /*followsVirtualClock=*/true,
        };
        return ops;
    }

    static platform::IoOutcome Done(DWORD bytes) { return {platform::IoState::Complete, ERROR_SUCCESS, bytes}; }
    static platform::IoOutcome Refused() { return {platform::IoState::Complete, ERROR_GEN_FAILURE, 0}; }

    platform::IoOutcome Answer(platform::IoRequest &r, const void *value, size_t size, bool zeroFill = false) {
        if (failCode.count(r.code) != 0) return Refused();
        const DWORD n = std::min<DWORD>(r.outLength, static_cast<DWORD>(size));
        if (zeroFill) std::memset(r.out, 0, r.outLength);
        std::memcpy(r.out, value, n);
        return Done(zeroFill ? r.outLength : n);
    }

    platform::IoOutcome Io(platform::IoRequest &r) {
        Recorded rec{r.code, {}, r.outLength, r.out};
        if (r.in != nullptr && r.inLength > 0) {
            const auto *in = static_cast<const uint8_t *>(r.in);
            rec.in.assign(in, in + r.inLength);
        }
        log.push_back(std::move(rec));

        switch (r.code) {
        case ioctl::kGetDriverVersion:
            return Answer(r, &driverVersion, 4);
        case ioctl::kGetStackVersion:
            return Answer(r, &stackVersion, 4);
        case ioctl::kGetAltSetting:
            return Answer(r, &altSetting, 1);
        case ioctl::kGetAddress:
            return Answer(r, &busAddress, 1);
        case ioctl::kGetSpeed:
            return Answer(r, &speed, 4);
        case ioctl::kGetDeviceName:
            return Answer(r, deviceName.data(), deviceName.size(), true);
        case ioctl::kGetFriendlyName:
            return Answer(r, friendlyName.data(), friendlyName.size(), true);
        case ioctl::kResetPipe:
            return failCode.count(r.code) != 0 ? Refused() : Done(0);
        case ioctl::kAbortPipe:
            if (abortsIgnored > 0) {
                --abortsIgnored;
                return Done(0);
            }
            while (!pending.empty()) EndPending(ERROR_OPERATION_ABORTED, abortedBytes);
            return Done(0);
        case ioctl::kControlRequest: {
            auto *block = static_cast<uint8_t *>(r.in);
            if (r.inLength >= kTransferRequestSize && block[0] == 0x80 && block[1] == 6) return Descriptor(r, block);
            return Data(r);
        }
        default:
            return Data(r);
        }
    }

    platform::IoOutcome Data(platform::IoRequest &r) {
        if (!onData) return Done(r.code == ioctl::kDirectData ? r.outLength : r.inLength);
        platform::IoOutcome outcome = onData(r);
        if (outcome.state == platform::IoState::Pending) pending.push_back(r);
        return outcome;
    }

    platform::IoOutcome Descriptor(platform::IoRequest &r, uint8_t *block) {
        auto *head = reinterpret_cast<TransferRequest *>(block);
        const uint8_t type = static_cast<uint8_t>(head->wValue >> 8);
        const uint8_t index = static_cast<uint8_t>(head->wValue & 0xFF);
        const std::vector<uint8_t> *source = nullptr;
        if (type == 1) source = &device;
        if (type == 2 && index < configs.size()) source = &configs[index];
        if (type == 3 && strings.count(index) != 0) source = &strings[index];
        if (type == 15 && !bos.empty()) source = &bos;
        if (source == nullptr || failDescriptor.count({type, index}) != 0) {
            head->usbdStatus = kUsbdStatusStall;
            head->ntStatus = kNtStatusUnsuccessful;
            return Refused();
        }
        DWORD n = std::min<DWORD>(head->wLength, static_cast<DWORD>(source->size()));
        if (shortRepliesAbove != 0 && head->wLength > shortRepliesAbove && n > 0) n -= 1;
        if (n > 0) std::memcpy(block + kTransferRequestSize, source->data(), n);
        head->usbdStatus = 0;
        head->ntStatus = 0;
        return Done(kTransferRequestSize + n);
    }

    std::string path_;
    uint64_t id_ = 0;
};

// --- descriptor bytes ---
// Whole descriptors come from the virtual board's builders (vek::sim); tables
// those cannot make (class-specific descriptors, counts and lengths that lie)
// are put together from these raw pieces, or edited after building.

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

// The head of a block as the driver received it, unpacked (so that assertions
// can bind references to its fields).
struct Head {
    uint8_t bmRequestType, bRequest;
    uint16_t wValue, wIndex, wLength;
    uint32_t timeoutSeconds;
    uint8_t endpointAddress;
    uint32_t isoPacketOffset, isoPacketLength, bufferOffset, bufferLength;
};
inline Head HeadOf(const Recorded &r) {
    TransferRequest p{};
    std::memcpy(&p, r.in.data(), std::min<size_t>(r.in.size(), sizeof p));
    return {p.bmRequestType,   p.bRequest,        p.wValue,          p.wIndex,       p.wLength,     p.timeoutSeconds,
            p.endpointAddress, p.isoPacketOffset, p.isoPacketLength, p.bufferOffset, p.bufferLength};
}

}  // namespace vek::test

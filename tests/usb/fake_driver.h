// A scripted USB driver for the USB class tests: registered in the platform's
// driver registry under a test-only interface class, it answers the driver's
// request codes from descriptors and values the test sets, records every
// request as the driver received it, and lets a test hold data requests
// pending and end them later.
#pragma once

#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/driver.h"
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
    bool overlapped;  // false for calls made without a record
};

// A pending data request.
struct Pending {
    platform::IoRequest request;
};

class FakeUsb {
public:
    explicit FakeUsb(std::string path = "\\\\?\\fake#usb#0", const GUID &guid = kTestClass) : path_(std::move(path)) {
        id_ = platform::RegisterDevice(guid, path_.c_str(), &Ops(), this);
    }
    ~FakeUsb() {
        EndAllPending(ERROR_OPERATION_ABORTED);
        platform::UnregisterDevice(id_);
    }
    FakeUsb(const FakeUsb &) = delete;
    FakeUsb &operator=(const FakeUsb &) = delete;

    const std::string &path() const { return path_; }

    // Opens the device as a USB class would, for endpoint tests.
    HANDLE Open() {
        return CreateFileA(path_.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    }

    // --- descriptors and driver values ---------------------------------------
    std::vector<uint8_t> device;                      // 18 bytes
    std::vector<std::vector<uint8_t>> configs;        // by index
    std::vector<uint8_t> bos;
    std::map<uint8_t, std::vector<uint8_t>> strings;  // string descriptors by index (0: LANGIDs)
    std::set<std::pair<uint8_t, uint8_t>> failDescriptor;  // (type, index) answered with a stall
    std::set<uint32_t> failCode;                      // driver queries that fail
    DWORD openError = ERROR_SUCCESS;
    uint8_t busAddress = 7;
    uint8_t altSetting = 0;
    uint32_t driverVersion = 0x01020304;
    uint32_t stackVersion = 0x00000600;
    uint32_t speed = kSpeedHigh;
    std::string deviceName = "FAKE-DEVICE";
    std::string friendlyName = "Fake USB device";
    // Descriptor reads asking more than this many bytes come back one byte
    // short (the driver reports what the device sent); 0: never.
    uint32_t shortRepliesAbove = 0;

    // --- data requests (0x220024, 0x22004B, control requests other than
    // GET_DESCRIPTOR) ---------------------------------------------------------
    // Default: complete at once, moving every byte offered.
    std::function<platform::IoOutcome(platform::IoRequest &)> onData;
    // Aborts that are taken but end nothing (to run the second abort).
    int abortsIgnored = 0;
    // Bytes reported for a request ended by an abort (what had arrived).
    DWORD abortedBytes = 0;

    std::vector<Recorded> log;
    std::deque<Pending> pending;

    std::vector<Recorded> Requests(uint32_t code) const {
        std::vector<Recorded> found;
        for (const Recorded &r : log) {
            if (r.code == code) found.push_back(r);
        }
        return found;
    }
    size_t Count(uint32_t code) const { return Requests(code).size(); }

    // Ends the oldest pending request with `error` and `bytes`.
    void EndPending(DWORD error, DWORD bytes) {
        if (pending.empty()) return;
        Pending p = pending.front();
        pending.pop_front();
        platform::CompleteRequest(p.request.overlapped, error, bytes);
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
        };
        return ops;
    }

    static platform::IoOutcome Done(DWORD bytes) { return {platform::IoState::Complete, ERROR_SUCCESS, bytes}; }
    static platform::IoOutcome Refused(DWORD error = ERROR_GEN_FAILURE) {
        return {platform::IoState::Complete, error, 0};
    }

    template <typename T>
    platform::IoOutcome Answer(platform::IoRequest &r, uint32_t code, const T &value) {
        if (failCode.count(code) != 0) return Refused();
        const DWORD n = std::min<DWORD>(r.outLength, sizeof(T));
        std::memcpy(r.out, &value, n);
        return Done(n);
    }

    platform::IoOutcome Io(platform::IoRequest &r) {
        Recorded rec{r.code, {}, r.outLength, r.out, true};
        if (r.in != nullptr && r.inLength > 0) {
            const auto *in = static_cast<const uint8_t *>(r.in);
            rec.in.assign(in, in + r.inLength);
        }
        log.push_back(std::move(rec));

        switch (r.code) {
        case ioctl::kGetDriverVersion:
            return Answer(r, r.code, driverVersion);
        case ioctl::kGetStackVersion:
            return Answer(r, r.code, stackVersion);
        case ioctl::kGetAltSetting:
            return Answer(r, r.code, altSetting);
        case ioctl::kGetAddress:
            return Answer(r, r.code, busAddress);
        case ioctl::kGetSpeed:
            return Answer(r, r.code, speed);
        case ioctl::kGetDeviceName:
        case ioctl::kGetFriendlyName: {
            if (failCode.count(r.code) != 0) return Refused();
            const std::string &text = r.code == ioctl::kGetDeviceName ? deviceName : friendlyName;
            const DWORD n = std::min<DWORD>(r.outLength, static_cast<DWORD>(text.size()));
            std::memset(r.out, 0, r.outLength);
            std::memcpy(r.out, text.data(), n);
            return Done(r.outLength);
        }
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
            if (r.inLength >= kTransferRequestSize && block[0] == 0x80 && block[1] == 6) {
                return Descriptor(r, block);
            }
            return Data(r);
        }
        default:
            return Data(r);
        }
    }

    platform::IoOutcome Data(platform::IoRequest &r) {
        if (onData) {
            platform::IoOutcome outcome = onData(r);
            if (outcome.state == platform::IoState::Pending) pending.push_back({r});
            return outcome;
        }
        if (r.code == ioctl::kDirectData) return Done(r.outLength);
        return Done(r.inLength);
    }

    platform::IoOutcome Descriptor(platform::IoRequest &r, uint8_t *block) {
        auto *head = reinterpret_cast<TransferRequest *>(block);
        const uint8_t type = static_cast<uint8_t>(head->wValue >> 8);
        const uint8_t index = static_cast<uint8_t>(head->wValue & 0xFF);
        if (failDescriptor.count({type, index}) != 0) {
            head->usbdStatus = kUsbdStatusStall;
            head->ntStatus = kNtStatusUnsuccessful;
            return Refused();
        }
        const std::vector<uint8_t> *source = nullptr;
        if (type == 1) source = &device;
        if (type == 2 && index < configs.size()) source = &configs[index];
        if (type == 3 && strings.count(index) != 0) source = &strings[index];
        if (type == 15 && !bos.empty()) source = &bos;
        if (source == nullptr) {
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

// --- descriptor builders -----------------------------------------------------

using Bytes = std::vector<uint8_t>;

inline Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes &p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

inline Bytes DeviceDescriptor(uint16_t bcdUsb, uint8_t maxPacket0, uint8_t configurations = 1,
                              uint16_t vendor = 0x04B4, uint16_t product = 0x1003) {
    return {18, 1, static_cast<uint8_t>(bcdUsb), static_cast<uint8_t>(bcdUsb >> 8), 0xFF, 0, 0, maxPacket0,
            static_cast<uint8_t>(vendor), static_cast<uint8_t>(vendor >> 8), static_cast<uint8_t>(product),
            static_cast<uint8_t>(product >> 8), 0x00, 0x01, 1, 2, 3, configurations};
}

// A configuration descriptor followed by `body`; wTotalLength covers it all
// unless `totalLength` is given.
inline Bytes Configuration(const Bytes &body, uint8_t interfaces = 1, int totalLength = -1, uint8_t value = 1) {
    const int total = totalLength >= 0 ? totalLength : static_cast<int>(9 + body.size());
    Bytes d = {9, 2, static_cast<uint8_t>(total), static_cast<uint8_t>(total >> 8), interfaces, value, 0, 0x80, 50};
    d.insert(d.end(), body.begin(), body.end());
    return d;
}

inline Bytes Interface(uint8_t number, uint8_t alt, uint8_t endpoints, uint8_t cls = 0xFF, uint8_t sub = 0,
                       uint8_t protocol = 0) {
    return {9, 4, number, alt, endpoints, cls, sub, protocol, 0};
}

inline Bytes Endpoint(uint8_t address, uint8_t attributes, uint16_t maxPacket, uint8_t interval = 0) {
    return {7, 5, address, attributes, static_cast<uint8_t>(maxPacket), static_cast<uint8_t>(maxPacket >> 8),
            interval};
}

inline Bytes Companion(uint8_t maxBurst, uint8_t attributes = 0, uint16_t bytesPerInterval = 0) {
    return {6, 0x30, maxBurst, attributes, static_cast<uint8_t>(bytesPerInterval),
            static_cast<uint8_t>(bytesPerInterval >> 8)};
}

inline Bytes Usb20Extension(uint32_t attributes = 0x2) {
    return {7, 0x10, 2, static_cast<uint8_t>(attributes), static_cast<uint8_t>(attributes >> 8),
            static_cast<uint8_t>(attributes >> 16), static_cast<uint8_t>(attributes >> 24)};
}
inline Bytes SuperSpeedCapability() { return {10, 0x10, 3, 0, 0x0E, 0, 1, 0x0A, 0xFF, 0x07}; }
inline Bytes ContainerId(uint8_t first = 0xA5) {
    Bytes d = {20, 0x10, 4, 0};
    for (uint8_t i = 0; i < 16; ++i) d.push_back(static_cast<uint8_t>(first + i));
    return d;
}
inline Bytes Bos(const Bytes &caps, uint8_t count, int totalLength = -1) {
    const int total = totalLength >= 0 ? totalLength : static_cast<int>(5 + caps.size());
    Bytes d = {5, 15, static_cast<uint8_t>(total), static_cast<uint8_t>(total >> 8), count};
    d.insert(d.end(), caps.begin(), caps.end());
    return d;
}

// A string descriptor with ASCII `text` as UTF-16LE.
inline Bytes StringDescriptor(const std::string &text) {
    Bytes d = {static_cast<uint8_t>(2 + 2 * text.size()), 3};
    for (char c : text) {
        d.push_back(static_cast<uint8_t>(c));
        d.push_back(0);
    }
    return d;
}
inline Bytes LanguageIds(std::initializer_list<uint16_t> ids) {
    Bytes d = {static_cast<uint8_t>(2 + 2 * ids.size()), 3};
    for (uint16_t id : ids) {
        d.push_back(static_cast<uint8_t>(id));
        d.push_back(static_cast<uint8_t>(id >> 8));
    }
    return d;
}

// The head of a block as the driver received it, unpacked (so that test
// assertions can bind references to its fields).
struct Head {
    uint8_t bmRequestType, bRequest;
    uint16_t wValue, wIndex, wLength;
    uint32_t timeoutSeconds;
    uint8_t flags, endpointAddress;
    uint32_t ntStatus, usbdStatus, isoPacketOffset, isoPacketLength, bufferOffset, bufferLength;
};

inline Head HeadOf(const Recorded &r) {
    TransferRequest packed{};
    std::memcpy(&packed, r.in.data(), std::min<size_t>(r.in.size(), sizeof packed));
    return {packed.bmRequestType, packed.bRequest,      packed.wValue,          packed.wIndex,
            packed.wLength,       packed.timeoutSeconds, packed.flags,          packed.endpointAddress,
            packed.ntStatus,      packed.usbdStatus,     packed.isoPacketOffset, packed.isoPacketLength,
            packed.bufferOffset,  packed.bufferLength};
}

}  // namespace vek::test

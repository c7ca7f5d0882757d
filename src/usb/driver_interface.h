// The USB driver's request interface: the device interface class, the request
// codes and the request block that heads every control and data request.
// Shared by the USB classes (which issue requests) and the driver backends
// (which answer them).
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/win32.h"

namespace vek {

// Device interface class of the board's USB driver.
inline constexpr GUID kDriverInterfaceClass = {
    0xAE18AA60, 0x7F6A, 0x11D4, {0x97, 0xDD, 0x00, 0x01, 0x02, 0x29, 0xB9, 0x59}};

// I/O control codes: device type 0x22, any access, function in bits 2-13, method in bits 0-1.
constexpr uint32_t DriverIoctlCode(uint32_t function, uint32_t method = 0) {
    return (0x22u << 16) | (function << 2) | method;
}
constexpr uint32_t DriverIoctlFunction(uint32_t code) { return (code >> 2) & 0xFFFu; }

namespace ioctl {
inline constexpr uint32_t kGetDriverVersion = 0x220000;  // out: u32
inline constexpr uint32_t kGetStackVersion = 0x220004;   // out: u32
inline constexpr uint32_t kGetAltSetting = 0x220008;     // out: 1 byte
inline constexpr uint32_t kSetAltSetting = 0x22000C;     // in: 1 byte (never issued)
inline constexpr uint32_t kGetAddress = 0x220010;        // out: 1 byte
inline constexpr uint32_t kGetPowerState = 0x220018;     // never issued
inline constexpr uint32_t kSetPowerState = 0x22001C;     // never issued
inline constexpr uint32_t kControlRequest = 0x220020;    // block + wLength data, in and out
inline constexpr uint32_t kBufferedData = 0x220024;      // block + bufferLength data, in and out
inline constexpr uint32_t kCyclePort = 0x220028;         // never issued
inline constexpr uint32_t kResetPipe = 0x22002C;         // in: 1 byte endpoint address
inline constexpr uint32_t kResetPort = 0x220030;         // never issued
inline constexpr uint32_t kGetTransferSize = 0x220034;   // never issued
inline constexpr uint32_t kSetTransferSize = 0x220038;   // never issued
inline constexpr uint32_t kGetDeviceName = 0x22003C;     // out: 256 bytes
inline constexpr uint32_t kGetFriendlyName = 0x220040;   // out: 256 bytes
inline constexpr uint32_t kAbortPipe = 0x220044;         // in: 1 byte endpoint address
inline constexpr uint32_t kDirectData = 0x22004B;        // in: 38-byte block; out: caller's buffer
inline constexpr uint32_t kGetSpeed = 0x22004C;          // out: u32 (2 high speed, 4 SuperSpeed)
}  // namespace ioctl

inline constexpr uint32_t kSpeedHigh = 2;
inline constexpr uint32_t kSpeedSuper = 4;

#pragma pack(push, 1)
// The 38-byte request block, little-endian. Data follows it at bufferOffset in
// buffered and control requests.
struct TransferRequest {
    uint8_t bmRequestType;
    uint8_t bRequest;
    uint16_t wValue;
    uint16_t wIndex;
    uint16_t wLength;
    uint32_t timeoutSeconds;
    uint8_t flags;            // always 0
    uint8_t endpointAddress;  // 0 = default pipe
    uint32_t ntStatus;        // set by the driver
    uint32_t usbdStatus;      // set by the driver
    uint32_t isoPacketOffset;
    uint32_t isoPacketLength;
    uint32_t bufferOffset;  // 38 when data follows the block
    uint32_t bufferLength;
};
#pragma pack(pop)

static_assert(sizeof(TransferRequest) == 38);
static_assert(offsetof(TransferRequest, timeoutSeconds) == 8);
static_assert(offsetof(TransferRequest, endpointAddress) == 13);
static_assert(offsetof(TransferRequest, ntStatus) == 14);
static_assert(offsetof(TransferRequest, usbdStatus) == 18);
static_assert(offsetof(TransferRequest, isoPacketOffset) == 22);
static_assert(offsetof(TransferRequest, bufferOffset) == 30);
static_assert(offsetof(TransferRequest, bufferLength) == 34);

inline constexpr uint32_t kTransferRequestSize = sizeof(TransferRequest);

// Status words a driver leaves in a failed request's block.
inline constexpr uint32_t kUsbdStatusStall = 0xC0000004u;
inline constexpr uint32_t kUsbdStatusCanceled = 0xC0010000u;
inline constexpr uint32_t kUsbdStatusDeviceGone = 0xC0007000u;
inline constexpr uint32_t kUsbdStatusTimeout = 0xC0006000u;
inline constexpr uint32_t kUsbdStatusBabble = 0xC0000012u;
inline constexpr uint32_t kNtStatusUnsuccessful = 0xC0000001u;
inline constexpr uint32_t kNtStatusCancelled = 0xC0000120u;
inline constexpr uint32_t kNtStatusNoSuchDevice = 0xC000000Eu;
inline constexpr uint32_t kNtStatusIoTimeout = 0xC00000B5u;
inline constexpr uint32_t kNtStatusDataOverrun = 0xC000003Cu;

}  // namespace vek

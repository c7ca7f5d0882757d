// The board's wire protocol: 32-bit registers reached by 8-byte packets on
// bulk endpoint 0x04 (replies on 0x86), frame data on 0x02 (readback on 0x86),
// the one transfer routine under them, endpoint lookup, pipe reset and the
// list of attached-device names.
//
// These primitives work on the USB device object and take no gate; the device
// calls in api/ pass their handle's device.
#pragma once

#include <cstdint>
#include <string_view>

namespace vek {

class CCyDevice;
class CCyUSBEndPoint;

// Bulk endpoints of the board.
inline constexpr uint32_t kRegisterEndpoint = 0x04;  // OUT: register packets
inline constexpr uint32_t kReplyEndpoint = 0x86;     // IN: read replies, frame readback
inline constexpr uint32_t kDataEndpoint = 0x02;      // OUT: frame data

// bmAttributes of a plain bulk endpoint (no other attribute bit).
inline constexpr uint8_t kBulkAttributes = 2;
// Longest wait for one bulk transfer.
inline constexpr uint32_t kBulkWaitMs = 2000;
// Every bulk transfer's completion event: auto-reset, created and closed per
// transfer under this one name.
inline constexpr const char *kTransferEventName = "CYUSB_INOUT";
// Bit 31 of a packet's address word marks a read request.
inline constexpr uint32_t kReadRequestFlag = 0x80000000u;
inline constexpr uint32_t kRegisterPacketSize = 8;
// Result of the raw primitives.
inline constexpr uint32_t kTransportOk = 0;
inline constexpr uint32_t kTransportFailed = 0xFFFFFFFFu;

// The attached-device names gathered at allocation. `entries` (kNameListBytes
// bytes, heap) holds, back to back, a u32 little-endian length L followed by
// the L bytes of a device's driver name; nothing marks the end. `count` is the
// number of attached devices of the driver's class, which may exceed the
// number of entries.
struct DeviceNameList {
    int32_t count;
    uint8_t *entries;
};
inline constexpr uint32_t kNameListBytes = 0x100000;

// One bulk transfer of `length` bytes on the bulk endpoint `endpointAddress`:
// begin, a wait of at most 2000 ms, finish. A request still pending after the
// wait is aborted and waited for until it has ended, and counts as failed.
bool BulkTransfer(uint8_t *buffer, uint32_t length, CCyDevice *device, uint32_t endpointAddress);

// The first endpoint in slots 1 and up of the device's endpoint list whose
// attributes are exactly bulk and whose address equals `endpointAddress`
// (compared as 32-bit numbers); null when none matches.
CCyUSBEndPoint *FindBulkEndpoint(CCyDevice *device, uint32_t endpointAddress);

// A register read under the board's lock: the request for `address` (bit 31
// set, `*value` as its second word) on 0x04, then the 8-byte reply on 0x86.
// Fills *value with the reply's value and, when `echoed` is not null,
// *echoed with the reply's address word; neither on failure.
// kTransportOk, or kTransportFailed (also for a null device or value).
uint32_t ReadRegister(CCyDevice *device, uint32_t address, uint32_t *value, uint32_t *echoed);

// Receives up to `length` bytes from 0x86 as one transfer: 0 or 0xFFFFFFFF.
uint32_t ReadBulkData(CCyDevice *device, uint32_t length, uint8_t *data);

// ResetPipe on the bulk endpoint of that address; false when there is none.
bool ResetBulkPipe(CCyDevice *device, uint32_t endpointAddress);

// Fills `list` (zeroed first) with a new entry buffer and the device count:
// 0, or -1 (buffer freed) when the buffer cannot be had or no device is found.
int32_t BuildNameList(DeviceNameList *list);
// Frees the entry buffer (if any) and zeroes the list.
void FreeNameList(DeviceNameList *list);

// Opens each attached device of the driver's class in turn and appends the
// driver name of every device with one interface at alternate setting 0 to
// `entries` (kNameListBytes bytes). Returns the attached-device count (0-255).
uint32_t EnumerateDeviceNames(uint8_t *entries);

// True when the first entry of the list exists and its name begins with `prefix`.
bool FirstNameStartsWith(const DeviceNameList &list, const char *prefix);
// Entry `index` of the list (0 = first), or an empty view when the list has no
// such entry. The buffer is zero-filled, so a length of 0 marks its end.
std::string_view ListedName(const DeviceNameList &list, uint32_t index);

}  // namespace vek

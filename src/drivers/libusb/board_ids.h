// How the libusb backend recognises a VEK board among the attached USB
// devices: by the endpoint layout of interface 0 (bulk 0x02 OUT, 0x04 OUT and
// 0x86 IN), or by a vendor and product id on the known list, which users
// extend with the environment variable VEK_USB_IDS ("vvvv:pppp,vvvv:pppp").
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace vek::usbdrv {

struct UsbId {
    uint16_t vendor;
    uint16_t product;
    bool operator==(const UsbId &) const = default;
};

// The ids built in: the board's own (as its firmware reports them).
std::span<const UsbId> BuiltInBoardIds();

// Parses "vvvv:pppp[,vvvv:pppp...]" (hexadecimal, optional 0x, blanks and
// semicolons allowed as separators). Malformed items are skipped and named in
// `rejected` (comma-separated) when it is given.
std::vector<UsbId> ParseUsbIds(const char *text, std::string *rejected = nullptr);

// The built-in ids followed by those of VEK_USB_IDS.
std::vector<UsbId> KnownBoardIds();

struct EndpointInfo {
    uint8_t address;
    uint8_t attributes;
};

// True when the endpoints of an interface include bulk 0x02 OUT, bulk 0x04 OUT
// and bulk 0x86 IN, the board's register and frame pipes.
bool HasBoardEndpointLayout(std::span<const EndpointInfo> endpoints);

}  // namespace vek::usbdrv

// How the libusb backend recognises a VEK board among the attached USB
// devices: by identity only. A device is a board when its vendor and product
// ids are on the board list and, where the product string can be read without
// opening the device, that string starts with "VEK4.0". A controller still
// waiting for its firmware is recognised only by ids on the loader list, which
// has none built in. Users extend both lists with environment variables:
// VEK_USB_IDS (boards) and VEK_USB_LOADER_IDS (controllers), each
// "vvvv:pppp[,vvvv:pppp...]" in hexadecimal.
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

// The ids built in: the virtual board's (the project's own test range).
std::span<const UsbId> BuiltInBoardIds();

// Parses "vvvv:pppp[,vvvv:pppp...]" (hexadecimal, optional 0x, blanks and
// semicolons allowed as separators). Malformed items are skipped and named in
// `rejected` (comma-separated) when it is given.
std::vector<UsbId> ParseUsbIds(const char *text, std::string *rejected = nullptr);

struct KnownIds {
    std::vector<UsbId> boards;   // built in, then VEK_USB_IDS
    std::vector<UsbId> loaders;  // VEK_USB_LOADER_IDS
};
KnownIds ReadKnownIds();

enum class Recognition { Foreign, Board, WaitingForFirmware };

// What a device with `id` is; `product` is its product string when it could be
// read without opening the device, or null.
Recognition Recognise(const KnownIds &known, UsbId id, const char *product);

}  // namespace vek::usbdrv

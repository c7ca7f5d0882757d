// How the libusb backend recognises a VEK board among the attached USB
// devices: by identity only. A device whose product string starts with
// "VEK4.0" is a board, whatever its ids (the string comes from sysfs, without
// opening the device). Where sysfs cannot give the string, a device whose ids
// are on the board list is opened and its string read before anything else
// happens to it; no other device is ever opened. A controller still waiting
// for its firmware is recognised only by ids on the loader list, which has
// none built in. Users extend both lists with environment variables:
// VEK_USB_IDS (boards) and VEK_USB_LOADER_IDS (controllers), each
// "vvvv:pppp[,vvvv:pppp...]" in hexadecimal.
#pragma once

#include <cstdint>
#include <memory>
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
// The lists as the environment gives them now; parsed once per distinct
// value of the two variables (enumeration asks at every listing).
std::shared_ptr<const KnownIds> ReadKnownIds();

// AskDevice: the product string is needed and only the device can give it.
enum class Recognition { Foreign, Board, WaitingForFirmware, AskDevice };

// What a device with `id` is; `product` is its product string, or null when
// it is not known (yet).
Recognition Recognise(const KnownIds &known, UsbId id, const char *product);
// True for a product string of a programmed board.
bool IsBoardProduct(const char *product);

}  // namespace vek::usbdrv

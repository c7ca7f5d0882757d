// The tree of configuration, interface and BOS objects built from the raw
// descriptors a device returns. The objects copy the fields they keep and hold
// no reference into the descriptor buffers.
//
// Descriptors come from the device and are not trusted: every walk is bounded
// by the bytes it was given, whatever bLength, wTotalLength, bNumEndpoints or
// bNumDeviceCaps say. A table that cannot be walked consistently raises
// DescriptorError (see docs/decisions.md, "Malformed descriptor tables").
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>

#include "platform/win32.h"

namespace vek {

class CCyUSBEndPoint;

// Raised while a ConfigurationInfo or BosInfo is built from a table that
// cannot be walked; the device object turns it into its message box.
class DescriptorError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Descriptor types (bDescriptorType), for the reads and the walks alike.
namespace descriptor_type {
inline constexpr uint8_t kDevice = 1;
inline constexpr uint8_t kConfiguration = 2;
inline constexpr uint8_t kString = 3;
inline constexpr uint8_t kInterface = 4;
inline constexpr uint8_t kEndpoint = 5;
inline constexpr uint8_t kBos = 15;
inline constexpr uint8_t kCompanion = 0x30;
}  // namespace descriptor_type

inline constexpr int kMaxInterfaceObjects = 8;
inline constexpr int kEndpointSlots = 32;  // slot 0 + at most 31 endpoints

enum class DescriptorWalk { Plain, SuperSpeed };

struct InterfaceInfo {
    // Slot 0: the device's control endpoint while this is the current
    // interface; slots 1 to bNumEndpoints: the endpoint objects; owned.
    CCyUSBEndPoint *endpoints[kEndpointSlots];
    uint8_t bLength;
    uint8_t bDescriptorType;
    uint8_t bInterfaceNumber;
    uint8_t bAlternateSetting;
    uint8_t bNumEndpoints;
    uint8_t bInterfaceClass;
    uint8_t bInterfaceSubClass;
    uint8_t bInterfaceProtocol;
    uint8_t iInterface;
    uint8_t altSettingCount;
    uint16_t totalLength;  // bytes from the interface descriptor to the end of its last descriptor

    // `descriptor` points at an interface descriptor with `available` bytes
    // from it to the end of the configuration data.
    InterfaceInfo(HANDLE handle, const uint8_t *descriptor, size_t available, DescriptorWalk walk);
    ~InterfaceInfo();
    InterfaceInfo(const InterfaceInfo &) = delete;
    InterfaceInfo &operator=(const InterfaceInfo &) = delete;
};

struct ConfigurationInfo {
    InterfaceInfo *interfaces[kMaxInterfaceObjects];  // owned
    uint8_t bLength;
    uint8_t bDescriptorType;
    uint16_t wTotalLength;
    uint8_t bNumInterfaces;
    uint8_t bConfigurationValue;
    uint8_t iConfiguration;
    uint8_t bmAttributes;
    uint8_t bMaxPower;
    uint8_t interfaceObjectCount;

    // `data` holds `size` bytes of the configuration descriptor as read.
    ConfigurationInfo(HANDLE handle, const uint8_t *data, size_t size, DescriptorWalk walk);
    // Destroys the interface objects; an endpoint in slot 0 (the device's
    // control endpoint) is destroyed once and cleared in every interface.
    ~ConfigurationInfo();
    ConfigurationInfo(const ConfigurationInfo &) = delete;
    ConfigurationInfo &operator=(const ConfigurationInfo &) = delete;
};

struct Usb20ExtensionInfo {
    uint8_t bLength;
    uint8_t bDescriptorType;
    uint8_t bDevCapabilityType;
    uint32_t bmAttributes;
};

struct SuperSpeedCapabilityInfo {
    uint8_t bLength;
    uint8_t bDescriptorType;
    uint8_t bDevCapabilityType;
    uint8_t bmAttributes;
    uint16_t wSpeedsSupported;
    uint8_t bFunctionalitySupport;
    uint8_t bU1DevExitLat;
    uint16_t wU2DevExitLat;
};

struct ContainerIdInfo {
    uint8_t bLength;
    uint8_t bDescriptorType;
    uint8_t bDevCapabilityType;
    uint8_t ContainerID[16];
};

struct BosInfo {
    ContainerIdInfo *containerId;                    // owned
    Usb20ExtensionInfo *usb20Extension;              // owned
    SuperSpeedCapabilityInfo *superSpeedCapability;  // owned
    uint8_t bLength;
    uint8_t bDescriptorType;
    uint16_t wTotalLength;
    uint8_t bNumDeviceCaps;

    // `data` holds `size` bytes of the BOS descriptor as read.
    BosInfo(HANDLE handle, const uint8_t *data, size_t size);
    ~BosInfo();
    BosInfo(const BosInfo &) = delete;
    BosInfo &operator=(const BosInfo &) = delete;
};

}  // namespace vek

// Builders of USB descriptor blobs for virtual devices: the VEK board's own
// set, and whatever tests of the USB layers need (SuperSpeed with BOS and
// endpoint companions, several interfaces and alternate settings,
// isochronous and interrupt endpoints, two configurations). Malformed sets are
// made by editing the bytes these return.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace vek::sim {

using Bytes = std::vector<uint8_t>;

struct EndpointSpec {
    uint8_t address = 0;
    uint8_t attributes = 2;        // bmAttributes: 1 isochronous, 2 bulk, 3 interrupt
    uint16_t maxPacketSize = 512;  // wMaxPacketSize as sent (bits 11-12: extra transactions)
    uint8_t interval = 0;
    bool companion = false;  // a SuperSpeed endpoint companion follows
    uint8_t maxBurst = 0;
    uint8_t companionAttributes = 0;
    uint16_t bytesPerInterval = 0;
};

struct InterfaceSpec {
    uint8_t number = 0;
    uint8_t alternateSetting = 0;
    uint8_t interfaceClass = 0xFF;
    uint8_t interfaceSubclass = 0;
    uint8_t interfaceProtocol = 0;
    uint8_t iInterface = 0;
    std::vector<EndpointSpec> endpoints;
};

struct ConfigurationSpec {
    uint8_t configurationValue = 1;
    uint8_t attributes = 0x80;
    uint8_t maxPower = 50;
    uint8_t iConfiguration = 0;
    int numInterfaces = -1;  // -1: the number of distinct interface numbers
    std::vector<InterfaceSpec> interfaces;
};

struct DeviceSpec {
    uint16_t bcdUSB = 0x0200;
    uint8_t deviceClass = 0;
    uint8_t deviceSubclass = 0;
    uint8_t deviceProtocol = 0;
    uint8_t maxPacketSize0 = 64;
    uint16_t vendorId = 0x1209;
    uint16_t productId = 0x7E40;
    uint16_t bcdDevice = 0x0100;
    uint8_t iManufacturer = 1;
    uint8_t iProduct = 2;
    uint8_t iSerialNumber = 3;
    uint8_t numConfigurations = 1;
};

Bytes DeviceDescriptor(const DeviceSpec &spec);
Bytes ConfigurationDescriptor(const ConfigurationSpec &spec);
// String descriptor of an ASCII text (UTF-16LE, at most 126 characters kept).
Bytes StringDescriptor(std::string_view text);
Bytes LanguageIdDescriptor(std::initializer_list<uint16_t> languages);
// BOS descriptor holding the given device capability descriptors.
Bytes BosDescriptor(const std::vector<Bytes> &capabilities);
Bytes Usb20ExtensionCapability(uint32_t attributes = 0x02);
Bytes SuperSpeedCapability(uint16_t speedsSupported = 0x000E);
Bytes ContainerIdCapability();

// The descriptor set that a virtual device answers GET_DESCRIPTOR with.
struct DescriptorSet {
    Bytes device;
    std::vector<Bytes> configurations;
    Bytes bos;                         // empty: the device has none
    std::map<uint8_t, Bytes> strings;  // by index; 0 = LANGID list
};

// The VEK board: USB 2.0 high speed, one configuration, one interface at
// alternate setting 0 with bulk endpoints 0x02 OUT, 0x04 OUT and 0x86 IN of
// 512 bytes, and manufacturer, product and serial strings (indexes 1 to 3).
DescriptorSet VekBoardDescriptors(std::string_view manufacturer, std::string_view product,
                                  std::string_view serialNumber);
// A SuperSpeed variant of it: bcdUSB 0x0300, bMaxPacketSize0 9, 1024-byte bulk
// endpoints with companions (bMaxBurst 15), and a BOS with the USB 2.0
// extension and SuperSpeed capabilities.
DescriptorSet VekSuperSpeedDescriptors();

inline constexpr const char *kDefaultManufacturer = "VEK FW 4.0 sim";
inline constexpr const char *kDefaultProduct = "VEK4.0 Pattern Board";
inline constexpr const char *kDefaultDeviceNamePrefix = "VEK4.0 Virtual Board";
inline constexpr const char *kDefaultFriendlyName = "VEK pattern projection board (virtual)";

}  // namespace vek::sim

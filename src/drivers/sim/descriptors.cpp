#include <set>

#include "drivers/sim/descriptor_builder.h"

namespace vek::sim {

namespace {
void Put16(Bytes &b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}
}  // namespace

Bytes DeviceDescriptor(const DeviceSpec &s) {
    Bytes b{18, 1};
    Put16(b, s.bcdUSB);
    b.push_back(s.deviceClass);
    b.push_back(s.deviceSubclass);
    b.push_back(s.deviceProtocol);
    b.push_back(s.maxPacketSize0);
    Put16(b, s.vendorId);
    Put16(b, s.productId);
    Put16(b, s.bcdDevice);
    b.push_back(s.iManufacturer);
    b.push_back(s.iProduct);
    b.push_back(s.iSerialNumber);
    b.push_back(s.numConfigurations);
    return b;
}

Bytes ConfigurationDescriptor(const ConfigurationSpec &s) {
    Bytes b{9, 2, 0, 0};
    std::set<uint8_t> numbers;
    for (const InterfaceSpec &i : s.interfaces) numbers.insert(i.number);
    b.push_back(static_cast<uint8_t>(s.numInterfaces >= 0 ? s.numInterfaces : static_cast<int>(numbers.size())));
    b.push_back(s.configurationValue);
    b.push_back(s.iConfiguration);
    b.push_back(s.attributes);
    b.push_back(s.maxPower);
    for (const InterfaceSpec &i : s.interfaces) {
        b.insert(b.end(), {9, 4, i.number, i.alternateSetting, static_cast<uint8_t>(i.endpoints.size()),
                           i.interfaceClass, i.interfaceSubclass, i.interfaceProtocol, i.iInterface});
        for (const EndpointSpec &e : i.endpoints) {
            b.insert(b.end(), {7, 5, e.address, e.attributes});
            Put16(b, e.maxPacketSize);
            b.push_back(e.interval);
            if (e.companion) {
                b.insert(b.end(), {6, 0x30, e.maxBurst, e.companionAttributes});
                Put16(b, e.bytesPerInterval);
            }
        }
    }
    b[2] = static_cast<uint8_t>(b.size());
    b[3] = static_cast<uint8_t>(b.size() >> 8);
    return b;
}

Bytes StringDescriptor(std::string_view text) {
    if (text.size() > 126) text = text.substr(0, 126);
    Bytes b{static_cast<uint8_t>(2 + 2 * text.size()), 3};
    for (char c : text) Put16(b, static_cast<uint8_t>(c));
    return b;
}

Bytes LanguageIdDescriptor(std::initializer_list<uint16_t> languages) {
    Bytes b{static_cast<uint8_t>(2 + 2 * languages.size()), 3};
    for (uint16_t l : languages) Put16(b, l);
    return b;
}

Bytes BosDescriptor(const std::vector<Bytes> &capabilities) {
    Bytes b{5, 15, 0, 0, static_cast<uint8_t>(capabilities.size())};
    for (const Bytes &c : capabilities) b.insert(b.end(), c.begin(), c.end());
    b[2] = static_cast<uint8_t>(b.size());
    b[3] = static_cast<uint8_t>(b.size() >> 8);
    return b;
}

Bytes Usb20ExtensionCapability(uint32_t attributes) {
    Bytes b{7, 16, 2};
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(attributes >> (8 * i)));
    return b;
}

Bytes SuperSpeedCapability(uint16_t speedsSupported) {
    Bytes b{10, 16, 3, 0};
    Put16(b, speedsSupported);
    b.push_back(1);   // bFunctionalitySupport: full speed
    b.push_back(10);  // bU1DevExitLat
    Put16(b, 2047);   // wU2DevExitLat
    return b;
}

Bytes ContainerIdCapability() {
    Bytes b{20, 16, 4, 0};
    for (uint8_t i = 0; i < 16; ++i) b.push_back(static_cast<uint8_t>(0xA0 + i));
    return b;
}

DescriptorSet VekBoardDescriptors(std::string_view manufacturer, std::string_view product,
                                  std::string_view serialNumber) {
    DescriptorSet set;
    set.device = DeviceDescriptor(DeviceSpec{});
    ConfigurationSpec config;
    config.interfaces.push_back(InterfaceSpec{0, 0, 0xFF, 0, 0, 0, {{0x02, 2, 512}, {0x04, 2, 512}, {0x86, 2, 512}}});
    set.configurations.push_back(ConfigurationDescriptor(config));
    set.strings[0] = LanguageIdDescriptor({0x0409});
    set.strings[1] = StringDescriptor(manufacturer);
    set.strings[2] = StringDescriptor(product);
    set.strings[3] = StringDescriptor(serialNumber);
    return set;
}

DescriptorSet VekSuperSpeedDescriptors() {
    DescriptorSet set = VekBoardDescriptors(kDefaultManufacturer, kDefaultProduct, "VEKSS0001");
    DeviceSpec device;
    device.bcdUSB = 0x0300;
    device.maxPacketSize0 = 9;
    set.device = DeviceDescriptor(device);
    ConfigurationSpec config;
    config.maxPower = 100;
    InterfaceSpec intf{0, 0, 0xFF, 0, 0, 0, {}};
    for (uint8_t address : {0x02, 0x04, 0x86}) {
        EndpointSpec e{address, 2, 1024};
        e.companion = true;
        e.maxBurst = 15;
        intf.endpoints.push_back(e);
    }
    config.interfaces.push_back(intf);
    set.configurations = {ConfigurationDescriptor(config)};
    set.bos = BosDescriptor({Usb20ExtensionCapability(), SuperSpeedCapability()});
    return set;
}

}  // namespace vek::sim

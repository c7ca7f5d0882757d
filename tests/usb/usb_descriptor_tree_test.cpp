// The descriptor walks: configurations, interfaces and their endpoint
// objects, the BOS capabilities, and tables that cannot be trusted.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <tuple>

#include "fake_driver.h"
#include "usb/device/descriptor_tree.h"
#include "usb/endpoint/bulk_endpoint.h"
#include "usb/endpoint/control_endpoint.h"
#include "usb/endpoint/interrupt_endpoint.h"
#include "usb/endpoint/isoc_endpoint.h"

namespace vek {
namespace {

using namespace test;  // the descriptor builders

const HANDLE kHandle = reinterpret_cast<HANDLE>(uintptr_t{0x4242});
// (Which walk applies a companion is the device tests'.)
constexpr auto kPlain = DescriptorWalk::Plain;
constexpr auto kSuper = DescriptorWalk::SuperSpeed;

std::unique_ptr<ConfigurationInfo> Build(const Bytes &data, DescriptorWalk walk = kPlain) {
    return std::make_unique<ConfigurationInfo>(kHandle, data.data(), data.size(), walk);
}

// Alternate settings are interface objects of their own; each endpoint's class
// follows its transfer type; a control endpoint put in slot 0 of two
// interfaces is destroyed once (AddressSanitizer would report a double delete).
TEST(ConfigurationWalk, InterfacesAndEndpointObjects) {
    const Bytes data =
        Configuration(Cat({Interface(0, 0, 1), Endpoint(0x02, 2, 512), Interface(0, 1, 4), Endpoint(0x81, 0x05, 1024),
                           Endpoint(0x02, 2, 512), Endpoint(0x83, 3, 64), Endpoint(0x04, 0, 64), Interface(1, 0, 0)}),
                      2, -1, 3);
    auto config = Build(data);
    EXPECT_EQ(std::tuple(config->wTotalLength, config->bConfigurationValue), std::tuple(data.size(), 3));
    ASSERT_EQ(config->interfaceObjectCount, 3);
    InterfaceInfo *const *i = config->interfaces;
    EXPECT_EQ(std::tuple(i[0]->altSettingCount, i[2]->altSettingCount, i[1]->bAlternateSetting,
                         i[1]->endpoints[4]->address, i[1]->endpoints[5]),
              std::tuple(2, 1, 1, 0x04, nullptr));
    CCyUSBEndPoint *const *slots = i[1]->endpoints;
    EXPECT_NE(dynamic_cast<CCyIsocEndPoint *>(slots[1]), nullptr);
    EXPECT_NE(dynamic_cast<CCyBulkEndPoint *>(slots[2]), nullptr);
    EXPECT_NE(dynamic_cast<CCyInterruptEndPoint *>(slots[3]), nullptr);
    EXPECT_NE(dynamic_cast<CCyControlEndPoint *>(slots[4]), nullptr);
    for (int n = 1; n <= 4; ++n) EXPECT_EQ(slots[n]->driverHandle, kHandle);
    i[0]->endpoints[0] = i[1]->endpoints[0] = new CCyControlEndPoint(kHandle, nullptr);
    config.reset();
}

// What the walk builds: class-specific descriptors are passed over, at most
// eight interface objects and 31 endpoint slots, and the walk ends at the data
// (whatever wTotalLength says) or at a descriptor of bLength 0.
TEST(ConfigurationWalk, WhatTheWalkBuilds) {
    Bytes nine, manyClass = Interface(0, 0, 1), thirtyOne = Interface(0, 0, 31);
    for (uint8_t i = 0; i < 9; ++i) nine = Cat({nine, Interface(i, 0, 0)});
    for (uint8_t i = 0; i < 14; ++i) manyClass = Cat({manyClass, {3, 0x24, i}});
    for (int i = 0; i < 31; ++i) thirtyOne = Cat({thirtyOne, Endpoint(static_cast<uint8_t>(0x01 + i % 15), 2, 512)});
    const Bytes bulk = Cat({Interface(0, 0, 1), Endpoint(0x02, 2, 512)});
    const struct {
        const char *name;
        Bytes data;
        int interfaces, slot, address, totalLength;  // of interface 0: slot `slot` holds `address` (0: none)
    } cases[] = {
        {"class-specific before the endpoints",
         Configuration(Cat({Interface(0, 0, 2),
                            {5, 0x24, 1, 2, 3},
                            Endpoint(0x02, 2, 512),
                            Endpoint(0x86, 2, 512),
                            Interface(1, 0, 0)}),
                       2),
         2, 2, 0x86, 9 + 5 + 7 + 7},
        {"many class-specific", Configuration(Cat({manyClass, Endpoint(0x86, 2, 512)})), 1, 1, 0x86, 9 + 14 * 3 + 7},
        {"nine interfaces", Configuration(nine, 9), 8, 1, 0, 9},
        {"31 endpoints", Configuration(thirtyOne), 1, 31, 0x01, 9 + 31 * 7},
        {"wTotalLength past the data", Configuration(bulk, 1, 4000), 1, 1, 0x02, 16},
        {"wTotalLength 9", Configuration(Interface(0, 0, 0), 1, 9), 0, 0, 0, 0},
        {"bLength 0", Configuration(Cat({bulk, {0, 0x24, 0, 0}, Interface(1, 0, 0)})), 1, 2, 0, 16},
        {"bLength 0, last byte", Configuration(Cat({bulk, {0}, Interface(1, 0, 0)})), 1, 2, 0, 16},
        {"bLength 0 of an interface", Configuration(Cat({bulk, {0, 4}, Interface(1, 0, 0)})), 1, 2, 0, 16},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        auto config = Build(c.data);
        ASSERT_EQ(config->interfaceObjectCount, c.interfaces);
        if (c.interfaces == 0) continue;
        const InterfaceInfo *first = config->interfaces[0];
        EXPECT_EQ(
            std::tuple(first->totalLength, first->endpoints[0], config->interfaces[c.interfaces - 1]->bInterfaceNumber),
            std::tuple(c.totalLength, nullptr, c.interfaces - 1));
        for (int slot = 1; slot < c.slot; ++slot) EXPECT_NE(first->endpoints[slot], nullptr) << slot;
        EXPECT_EQ(first->endpoints[c.slot] != nullptr ? first->endpoints[c.slot]->address : 0, c.address);
    }
}

// Tables that cannot be walked raise DescriptorError; every read stays inside
// the bytes given (AddressSanitizer checks the rest: each case is copied into
// a buffer of exactly its size).
template <typename Info, typename... Walk>
void ExpectRejected(const char *name, const Bytes &data, Walk... walk) {
    SCOPED_TRACE(name);
    auto exact = std::make_unique<uint8_t[]>(data.size());
    std::copy(data.begin(), data.end(), exact.get());
    EXPECT_THROW(Info(kHandle, exact.get(), data.size(), walk...), DescriptorError);
}

TEST(ConfigurationWalk, MalformedTablesAreRejected) {
    Bytes thirtyTwo = Interface(0, 0, 32);
    for (int i = 0; i < 32; ++i) thirtyTwo = Cat({thirtyTwo, Endpoint(0x02, 2, 512)});
    const Bytes iface1 = Interface(0, 0, 1), bulk1024 = Endpoint(0x02, 2, 1024);
    const struct {
        const char *name;
        Bytes data;
        DescriptorWalk walk;
    } cases[] = {
        {"shorter than a configuration descriptor", {9, 2, 9, 0, 0}, kPlain},
        {"not a configuration descriptor", {9, 4, 9, 0, 0, 0, 0, 0, 0}, kPlain},
        {"bLength below 9", {5, 2, 9, 0, 0, 0, 0, 0, 0}, kPlain},
        {"bLength 1 in the table", Configuration(Cat({{1, 0x24}, Interface(0, 0, 0)})), kPlain},
        {"descriptor past the end", Configuration({40, 0x24, 0, 0}), kPlain},
        {"descriptor one byte past the end", Configuration({5, 0x24, 0, 0}), kPlain},
        {"one byte left over", Configuration(Cat({Interface(0, 0, 0), {7}})), kPlain},
        {"truncated interface", Configuration({9, 4, 0, 0, 1}), kPlain},
        {"interface of bLength 5", Configuration({5, 4, 0, 0, 0}), kPlain},
        {"endpoints missing at the end", Configuration(Cat({Interface(0, 0, 2), Endpoint(0x02, 2, 512)})), kPlain},
        {"endpoints missing before the next interface",
         Configuration(Cat({Interface(0, 0, 2), Endpoint(0x02, 2, 512), Interface(1, 0, 0)})), kSuper},
        {"a configuration descriptor among the endpoints",
         Configuration(Cat({iface1, Configuration({}, 0), Endpoint(0x02, 2, 512)})), kPlain},
        {"endpoint of bLength 6", Configuration(Cat({iface1, {6, 5, 0x02, 2, 0, 2}})), kPlain},
        {"endpoint of bLength 0", Configuration(Cat({iface1, {0, 5, 0x02, 2, 0, 2, 0}})), kPlain},
        {"truncated companion", Configuration(Cat({iface1, bulk1024, {6, 0x30, 15, 0}})), kSuper},
        {"companion of bLength 2", Configuration(Cat({iface1, bulk1024, {2, 0x30}})), kSuper},
        {"more than 31 endpoints", Configuration(thirtyTwo), kPlain},
        {"wTotalLength cuts an interface short", Configuration(Cat({iface1, Endpoint(0x02, 2, 512)}), 1, 20), kPlain},
    };
    for (const auto &c : cases) ExpectRejected<ConfigurationInfo>(c.name, c.data, c.walk);
}

// --- BOS ---

std::unique_ptr<BosInfo> BuildBos(const Bytes &data) {
    return std::make_unique<BosInfo>(kHandle, data.data(), data.size());
}

// The capabilities in any order; an unknown one ends the walk; a second one
// of a type replaces the first; a wTotalLength below the header records nothing.
TEST(BosWalk, WhatIsRecorded) {
    const Bytes usb20 = sim::Usb20ExtensionCapability(0x1E), super = sim::SuperSpeedCapability(),
                id = sim::ContainerIdCapability(), id2 = Edited(id, {{4, 0x20}});
    const struct {
        Bytes data;
        int usb20Attributes, superU2ExitLatency, containerId0;  // -1: none
    } cases[] = {
        {sim::BosDescriptor({usb20, super, id}), 0x1E, 0x07FF, 0xA0},
        {sim::BosDescriptor({id, super, usb20}), 0x1E, 0x07FF, 0xA0},
        {sim::BosDescriptor({super, id, usb20}), 0x1E, 0x07FF, 0xA0},
        {sim::BosDescriptor({usb20, {8, 0x10, 10, 0, 1, 2, 3, 4}, super}), 0x1E, -1, -1},
        {sim::BosDescriptor({id, id2}), -1, -1, 0x20},
        {Edited(sim::BosDescriptor({usb20}), {{2, 3}}), -1, -1, -1},
    };
    for (const auto &c : cases) {
        auto bos = BuildBos(c.data);
        const auto *ss = bos->superSpeedCapability;
        EXPECT_EQ(std::tuple(bos->usb20Extension != nullptr ? static_cast<int>(bos->usb20Extension->bmAttributes) : -1,
                             ss != nullptr ? ss->wU2DevExitLat : -1,
                             bos->containerId != nullptr ? bos->containerId->ContainerID[0] : -1),
                  std::tuple(c.usb20Attributes, c.superU2ExitLatency, c.containerId0));
        if (ss != nullptr) {
            EXPECT_EQ(std::tuple(ss->wSpeedsSupported, ss->bU1DevExitLat, bos->containerId->ContainerID[15]),
                      std::tuple(0x0E, 0x0A, 0xA0 + 15));
        }
    }
}

TEST(BosWalk, MalformedTablesAreRejected) {
    const Bytes full = sim::BosDescriptor({sim::ContainerIdCapability()});
    Bytes shortId = Edited(sim::ContainerIdCapability(), {{0, 19}});
    shortId.pop_back();
    const struct {
        const char *name;
        Bytes data;
    } cases[] = {
        {"shorter than the header", {5, 15, 5}},
        {"not a BOS descriptor", {5, 2, 5, 0, 0}},
        {"more capabilities counted than held",
         Edited(sim::BosDescriptor({sim::Usb20ExtensionCapability()}), {{4, 2}})},
        {"capability of bLength 0", sim::BosDescriptor({{0, 0x10, 2, 0, 0, 0, 0}})},
        {"capability past wTotalLength", Edited(sim::BosDescriptor({sim::SuperSpeedCapability()}), {{2, 5 + 8}})},
        {"capability past the data", Bytes(full.begin(), full.begin() + 15)},
        {"capability one byte past the end", Bytes(full.begin(), full.end() - 1)},
        {"short USB 2.0 extension", sim::BosDescriptor({{4, 0x10, 2, 0}})},
        {"short SuperSpeed capability", sim::BosDescriptor({{7, 0x10, 3, 0, 0, 0, 0}})},
        {"short container ID", sim::BosDescriptor({shortId})},
    };
    for (const auto &c : cases) ExpectRejected<BosInfo>(c.name, c.data);
}

}  // namespace
}  // namespace vek

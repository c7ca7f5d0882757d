// The descriptor walks: configurations, interfaces and their endpoint
// objects, the BOS capabilities, and tables that cannot be trusted.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <memory>

#include "fake_driver.h"
#include "usb/device/descriptor_tree.h"
#include "usb/endpoint/bulk_endpoint.h"
#include "usb/endpoint/control_endpoint.h"
#include "usb/endpoint/interrupt_endpoint.h"
#include "usb/endpoint/isoc_endpoint.h"

namespace vek {
namespace {

using test::Bytes;
using test::Cat;
using test::Companion;
using test::Configuration;
using test::Endpoint;
using test::Interface;

const HANDLE kHandle = reinterpret_cast<HANDLE>(uintptr_t{0x4242});

std::unique_ptr<ConfigurationInfo> Build(const Bytes &data, DescriptorWalk walk = DescriptorWalk::Plain) {
    return std::make_unique<ConfigurationInfo>(kHandle, data.data(), data.size(), walk);
}

TEST(ConfigurationWalk, CopiesTheConfigurationFields) {
    const Bytes data = Configuration(Cat({Interface(0, 0, 0)}), 1, -1, 3);
    auto config = Build(data);
    EXPECT_EQ(config->bLength, 9);
    EXPECT_EQ(config->bDescriptorType, 2);
    EXPECT_EQ(config->wTotalLength, 18);
    EXPECT_EQ(config->bNumInterfaces, 1);
    EXPECT_EQ(config->bConfigurationValue, 3);
    EXPECT_EQ(config->bmAttributes, 0x80);
    EXPECT_EQ(config->bMaxPower, 50);
    EXPECT_EQ(config->interfaceObjectCount, 1);
}

TEST(ConfigurationWalk, AlternateSettingsAreObjectsOfTheirOwn) {
    const Bytes data = Configuration(Cat({Interface(0, 0, 1), Endpoint(0x02, 2, 512), Interface(0, 1, 2),
                                          Endpoint(0x02, 2, 512), Endpoint(0x86, 2, 512), Interface(1, 0, 0)}),
                                     2);
    auto config = Build(data);
    ASSERT_EQ(config->interfaceObjectCount, 3);
    EXPECT_EQ(config->interfaces[0]->altSettingCount, 2);
    EXPECT_EQ(config->interfaces[1]->altSettingCount, 2);
    EXPECT_EQ(config->interfaces[2]->altSettingCount, 1);
    EXPECT_EQ(config->interfaces[1]->bAlternateSetting, 1);
    EXPECT_EQ(config->interfaces[1]->bNumEndpoints, 2);
    EXPECT_EQ(config->interfaces[1]->endpoints[2]->address, 0x86);
    EXPECT_EQ(config->interfaces[1]->endpoints[3], nullptr);
}

TEST(ConfigurationWalk, ClassSpecificDescriptorBeforeTheEndpoints) {
    const Bytes classSpecific = {5, 0x24, 1, 2, 3};
    const Bytes data = Configuration(
        Cat({Interface(0, 0, 2), classSpecific, Endpoint(0x02, 2, 512), Endpoint(0x86, 2, 512), Interface(1, 0, 0)}),
        2);
    auto config = Build(data);
    ASSERT_EQ(config->interfaceObjectCount, 2);
    const InterfaceInfo *first = config->interfaces[0];
    EXPECT_EQ(first->totalLength, 9 + 5 + 7 + 7);
    EXPECT_EQ(first->endpoints[0], nullptr);
    ASSERT_NE(first->endpoints[1], nullptr);
    ASSERT_NE(first->endpoints[2], nullptr);
    EXPECT_EQ(first->endpoints[1]->address, 0x02);
    EXPECT_EQ(first->endpoints[2]->address, 0x86);
    EXPECT_EQ(config->interfaces[1]->bInterfaceNumber, 1);  // the walk went on after the second endpoint
}

TEST(ConfigurationWalk, EndpointClassFollowsTheTransferType) {
    const Bytes data = Configuration(Cat({Interface(0, 0, 4), Endpoint(0x81, 0x05, 1024), Endpoint(0x02, 0x02, 512),
                                          Endpoint(0x83, 0x03, 64), Endpoint(0x04, 0x00, 64)}));
    auto config = Build(data);
    CCyUSBEndPoint *const *slots = config->interfaces[0]->endpoints;
    EXPECT_NE(dynamic_cast<CCyIsocEndPoint *>(slots[1]), nullptr);
    EXPECT_NE(dynamic_cast<CCyBulkEndPoint *>(slots[2]), nullptr);
    EXPECT_NE(dynamic_cast<CCyInterruptEndPoint *>(slots[3]), nullptr);
    EXPECT_NE(dynamic_cast<CCyControlEndPoint *>(slots[4]), nullptr);
    for (int i = 1; i <= 4; ++i) EXPECT_EQ(slots[i]->driverHandle, kHandle);
}

TEST(ConfigurationWalk, CompanionUnderEachWalk) {
    const Bytes data =
        Configuration(Cat({Interface(0, 0, 2), Endpoint(0x02, 2, 1024), Companion(15), Endpoint(0x81, 3, 64)}));

    auto super = Build(data, DescriptorWalk::SuperSpeed);
    const InterfaceInfo *info = super->interfaces[0];
    EXPECT_EQ(info->totalLength, 9 + 7 + 6 + 7);
    ASSERT_NE(dynamic_cast<CCyBulkEndPoint *>(info->endpoints[1]), nullptr);
    EXPECT_EQ(info->endpoints[1]->maxBurst, 15);
    EXPECT_EQ(info->endpoints[1]->maxPacketSize, 16384);
    ASSERT_NE(info->endpoints[2], nullptr);  // the companion took no slot
    EXPECT_EQ(info->endpoints[2]->address, 0x81);
    EXPECT_EQ(info->endpoints[2]->companionLength, 0);  // the last endpoint has no companion after it

    // The plain walk passes the companion over like any other descriptor.
    auto plain = Build(data, DescriptorWalk::Plain);
    EXPECT_EQ(plain->interfaces[0]->endpoints[1]->maxBurst, 0);
    EXPECT_EQ(plain->interfaces[0]->endpoints[1]->maxPacketSize, 1024);
    EXPECT_EQ(plain->interfaces[0]->endpoints[2]->address, 0x81);
    EXPECT_EQ(plain->interfaces[0]->totalLength, 9 + 7 + 6 + 7);
}

TEST(ConfigurationWalk, AtMostEightInterfaceObjects) {
    Bytes body;
    for (uint8_t i = 0; i < 9; ++i) body = Cat({body, Interface(i, 0, 0)});
    auto config = Build(Configuration(body, 9));
    EXPECT_EQ(config->interfaceObjectCount, 8);
    EXPECT_EQ(config->interfaces[7]->bInterfaceNumber, 7);
}

TEST(ConfigurationWalk, TotalLengthNineBuildsNoInterface) {
    const Bytes data = Configuration(Cat({Interface(0, 0, 0)}), 1, 9);
    EXPECT_EQ(Build(data)->interfaceObjectCount, 0);
}

TEST(ConfigurationWalk, TotalLengthBeyondTheDataEndsAtTheData) {
    const Bytes data = Configuration(Cat({Interface(0, 0, 1), Endpoint(0x02, 2, 512)}), 1, 4000);
    auto config = Build(data);
    ASSERT_EQ(config->interfaceObjectCount, 1);
    EXPECT_EQ(config->interfaces[0]->endpoints[1]->address, 0x02);
}

TEST(ConfigurationWalk, ManyClassSpecificDescriptorsArePassedOver) {
    Bytes body = Interface(0, 0, 1);
    for (int i = 0; i < 14; ++i) body = Cat({body, Bytes{3, 0x24, static_cast<uint8_t>(i)}});
    body = Cat({body, Endpoint(0x86, 2, 512)});
    auto config = Build(Configuration(body));
    const InterfaceInfo *info = config->interfaces[0];
    ASSERT_NE(info->endpoints[1], nullptr);
    EXPECT_EQ(info->endpoints[1]->address, 0x86);
    EXPECT_EQ(info->totalLength, 9 + 14 * 3 + 7);
}

TEST(ConfigurationWalk, ThirtyOneEndpointsFill31Slots) {
    Bytes body = Interface(0, 0, 31);
    for (int i = 0; i < 31; ++i) body = Cat({body, Endpoint(static_cast<uint8_t>(0x01 + i % 15), 2, 512)});
    auto config = Build(Configuration(body));
    for (int slot = 1; slot <= 31; ++slot) EXPECT_NE(config->interfaces[0]->endpoints[slot], nullptr) << slot;
}

// Tables that cannot be walked raise DescriptorError; every read stays inside
// the bytes given (AddressSanitizer checks the rest: each case is copied into
// a buffer of exactly its size).
TEST(ConfigurationWalk, MalformedTablesAreRejected) {
    struct Case {
        const char *name;
        Bytes data;
        DescriptorWalk walk;
    };
    Bytes thirtyTwo = Interface(0, 0, 32);
    for (int i = 0; i < 32; ++i) thirtyTwo = Cat({thirtyTwo, Endpoint(0x02, 2, 512)});
    const Case cases[] = {
        {"shorter than a configuration descriptor", Bytes{9, 2, 9, 0, 0}, DescriptorWalk::Plain},
        {"not a configuration descriptor", Bytes{9, 4, 9, 0, 0, 0, 0, 0, 0}, DescriptorWalk::Plain},
        {"bLength below 9", Bytes{5, 2, 9, 0, 0, 0, 0, 0, 0}, DescriptorWalk::Plain},
        {"bLength 0 in the table", Configuration(Cat({Bytes{0, 0x24, 0, 0}, Interface(0, 0, 0)})),
         DescriptorWalk::Plain},
        {"bLength 1 in the table", Configuration(Cat({Bytes{1, 0x24}, Interface(0, 0, 0)})), DescriptorWalk::Plain},
        {"descriptor past the end", Configuration(Cat({Bytes{40, 0x24, 0, 0}})), DescriptorWalk::Plain},
        {"one byte left over", Configuration(Cat({Interface(0, 0, 0), Bytes{7}})), DescriptorWalk::Plain},
        {"truncated interface", Configuration(Cat({Bytes{9, 4, 0, 0, 1}})), DescriptorWalk::Plain},
        {"interface of bLength 5", Configuration(Cat({Bytes{5, 4, 0, 0, 0}})), DescriptorWalk::Plain},
        {"endpoints missing at the end", Configuration(Cat({Interface(0, 0, 2), Endpoint(0x02, 2, 512)})),
         DescriptorWalk::Plain},
        {"endpoints missing before the next interface",
         Configuration(Cat({Interface(0, 0, 2), Endpoint(0x02, 2, 512), Interface(1, 0, 0)})),
         DescriptorWalk::SuperSpeed},
        {"endpoint of bLength 6", Configuration(Cat({Interface(0, 0, 1), Bytes{6, 5, 0x02, 2, 0, 2}})),
         DescriptorWalk::Plain},
        {"endpoint of bLength 0", Configuration(Cat({Interface(0, 0, 1), Bytes{0, 5, 0x02, 2, 0, 2, 0}})),
         DescriptorWalk::Plain},
        {"truncated companion",
         Configuration(Cat({Interface(0, 0, 1), Endpoint(0x02, 2, 1024), Bytes{6, 0x30, 15, 0}})),
         DescriptorWalk::SuperSpeed},
        {"companion of bLength 2",
         Configuration(Cat({Interface(0, 0, 1), Endpoint(0x02, 2, 1024), Bytes{2, 0x30}})),
         DescriptorWalk::SuperSpeed},
        {"more than 31 endpoints", Configuration(thirtyTwo), DescriptorWalk::Plain},
        {"wTotalLength cuts an interface short",
         Configuration(Cat({Interface(0, 0, 1), Endpoint(0x02, 2, 512)}), 1, 20), DescriptorWalk::Plain},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        auto exact = std::make_unique<uint8_t[]>(c.data.size());
        std::copy(c.data.begin(), c.data.end(), exact.get());
        EXPECT_THROW(ConfigurationInfo(kHandle, exact.get(), c.data.size(), c.walk), DescriptorError);
    }
}

TEST(ConfigurationWalk, ControlEndpointInSlotZeroIsDestroyedOnce) {
    const Bytes data =
        Configuration(Cat({Interface(0, 0, 1), Endpoint(0x02, 2, 512), Interface(0, 1, 1), Endpoint(0x02, 2, 512)}));
    auto config = Build(data);
    auto *control = new CCyControlEndPoint(kHandle, nullptr);
    config->interfaces[0]->endpoints[0] = control;
    config->interfaces[1]->endpoints[0] = control;
    config.reset();  // a double delete would be reported by AddressSanitizer
    SUCCEED();
}

// --- BOS ---------------------------------------------------------------------

std::unique_ptr<BosInfo> BuildBos(const Bytes &data) {
    return std::make_unique<BosInfo>(kHandle, data.data(), data.size());
}

TEST(BosWalk, CapabilitiesInAnyOrder) {
    const Bytes caps[3] = {test::Usb20Extension(0x1E), test::SuperSpeedCapability(), test::ContainerId()};
    std::array<int, 3> order = {0, 1, 2};
    do {
        SCOPED_TRACE(testing::Message() << order[0] << order[1] << order[2]);
        auto bos = BuildBos(test::Bos(Cat({caps[order[0]], caps[order[1]], caps[order[2]]}), 3));
        ASSERT_NE(bos->usb20Extension, nullptr);
        ASSERT_NE(bos->superSpeedCapability, nullptr);
        ASSERT_NE(bos->containerId, nullptr);
        EXPECT_EQ(bos->usb20Extension->bmAttributes, 0x1Eu);
        EXPECT_EQ(bos->superSpeedCapability->wSpeedsSupported, 0x0E);
        EXPECT_EQ(bos->superSpeedCapability->bFunctionalitySupport, 1);
        EXPECT_EQ(bos->superSpeedCapability->bU1DevExitLat, 0x0A);
        EXPECT_EQ(bos->superSpeedCapability->wU2DevExitLat, 0x07FF);
        EXPECT_EQ(bos->containerId->ContainerID[0], 0xA5);
        EXPECT_EQ(bos->containerId->ContainerID[15], 0xA5 + 15);
        EXPECT_EQ(bos->bNumDeviceCaps, 3);
        EXPECT_EQ(bos->wTotalLength, 5 + 7 + 10 + 20);
    } while (std::next_permutation(order.begin(), order.end()));
}

TEST(BosWalk, UnknownCapabilityEndsTheWalk) {
    const Bytes platformCap = {8, 0x10, 10, 0, 1, 2, 3, 4};
    auto bos = BuildBos(test::Bos(Cat({test::Usb20Extension(), platformCap, test::SuperSpeedCapability()}), 3));
    EXPECT_NE(bos->usb20Extension, nullptr);
    EXPECT_EQ(bos->superSpeedCapability, nullptr);
    EXPECT_EQ(bos->containerId, nullptr);
}

TEST(BosWalk, ASecondCapabilityOfATypeReplacesTheFirst) {
    auto bos = BuildBos(test::Bos(Cat({test::ContainerId(0x10), test::ContainerId(0x20)}), 2));
    ASSERT_NE(bos->containerId, nullptr);
    EXPECT_EQ(bos->containerId->ContainerID[0], 0x20);
}

TEST(BosWalk, TotalLengthBelowTheHeaderRecordsNothing) {
    auto bos = BuildBos(test::Bos(test::Usb20Extension(), 1, 3));
    EXPECT_EQ(bos->usb20Extension, nullptr);
    EXPECT_EQ(bos->wTotalLength, 3);
}

TEST(BosWalk, MalformedTablesAreRejected) {
    struct Case {
        const char *name;
        Bytes data;
    };
    const Bytes full = test::Bos(test::ContainerId(), 1);
    const Case cases[] = {
        {"shorter than the header", Bytes{5, 15, 5}},
        {"not a BOS descriptor", Bytes{5, 2, 5, 0, 0}},
        {"more capabilities counted than held", test::Bos(test::Usb20Extension(), 2)},
        {"capability of bLength 0", test::Bos(Bytes{0, 0x10, 2, 0, 0, 0, 0}, 1)},
        {"capability past wTotalLength", test::Bos(test::SuperSpeedCapability(), 1, 5 + 8)},
        {"capability past the data", Bytes(full.begin(), full.begin() + 15)},
        {"short USB 2.0 extension", test::Bos(Bytes{4, 0x10, 2, 0}, 1)},
        {"short SuperSpeed capability", test::Bos(Bytes{7, 0x10, 3, 0, 0, 0, 0}, 1)},
        {"short container ID", test::Bos(Bytes{19, 0x10, 4, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}, 1)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        auto exact = std::make_unique<uint8_t[]>(c.data.size());
        std::copy(c.data.begin(), c.data.end(), exact.get());
        EXPECT_THROW(BosInfo(kHandle, exact.get(), c.data.size()), DescriptorError);
    }
}

}  // namespace
}  // namespace vek

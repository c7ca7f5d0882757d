// The USB device object on a scripted driver: finding and opening devices,
// the descriptor reads and driver queries, the configuration tree and the
// bound endpoints, the failure paths, and closing.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "fake_driver.h"
#include "platform/clock.h"
#include "platform/message_box.h"
#include "usb/device/usb_device.h"

namespace vek {
namespace {

using namespace test;  // the scripted driver and the descriptor builders

// The board's layout: one interface, bulk 0x02 and 0x04 OUT, 0x86 IN.
void MakeBoard(FakeUsb &fake) {
    const sim::DescriptorSet board = sim::VekBoardDescriptors("Maker", "Board", "0001");
    fake.device = board.device;
    fake.configs = board.configurations;
    fake.strings = board.strings;
}

std::u16string Text(const char16_t *text) { return std::u16string(text); }

// The descriptor requests the device object sent, as (type, index, wLength).
std::vector<std::tuple<int, int, int>> DescriptorReads(const FakeUsb &fake) {
    std::vector<std::tuple<int, int, int>> reads;
    for (const Recorded &r : fake.Requests(ioctl::kControlRequest)) {
        const Head head = HeadOf(r);
        reads.emplace_back(head.wValue >> 8, head.wValue & 0xFF, head.wLength);
    }
    return reads;
}

// Runs `call`, which must raise a UsbError carrying `text`.
template <typename Call>
void ExpectUsbError(Call call, const char *text) {
    try {
        call();
        ADD_FAILURE() << "no error raised";
    } catch (const UsbError &error) {
        EXPECT_STREQ(error.what(), text);
    }
}

class DeviceTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::SetVirtualClock(true);
        MakeBoard(fake);
    }
    FakeUsb fake;
};

TEST(DeviceNoBoard, NothingAttached) {
    CCyDevice device(nullptr, kTestClass, 1);
    EXPECT_EQ(device.DeviceCount(), 0);
    EXPECT_EQ(device.driverHandle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(device.EndpointListSize(), 0);
    EXPECT_FALSE(device.OpenDevice(0));
    EXPECT_EQ(device.lastError, 0u);
    uint8_t header[9];
    device.CopyConfigurationHeader(header);
    EXPECT_EQ(Bytes(header, header + 9), Bytes(9, 0));
    EXPECT_FALSE(device.DriverRequest(ioctl::kGetSpeed, header, 4));
}

TEST_F(DeviceTest, OpensTheBoardAndBindsItsEndpoints) {
    CCyDevice device(nullptr, kTestClass, 1);
    ASSERT_NE(device.driverHandle, INVALID_HANDLE_VALUE);
    EXPECT_STREQ(device.interfacePath, fake.path().c_str());
    EXPECT_EQ(std::tuple(device.vendorId, device.productId, device.stringLanguage, device.busAddress),
              std::tuple(0x1209, 0x7E40, 0x0409, 7));
    EXPECT_EQ(std::tuple(Text(device.manufacturerText), Text(device.productText), Text(device.serialNumberText)),
              std::tuple(u"Maker", u"Board", u"0001"));
    EXPECT_EQ(std::string(device.driverDeviceName) + "/" + device.driverFriendlyName, "FAKE-DEVICE/Fake USB device");
    EXPECT_EQ(std::tuple(device.driverRevision, device.stackRevision), std::tuple(0x01020304u, 0x600u));
    EXPECT_EQ(std::tuple(device.isHighSpeed, device.bosInfo), std::tuple(true, nullptr));
    ASSERT_NE(device.controlEndpoint, nullptr);
    ASSERT_EQ(device.EndpointListSize(), 4);
    EXPECT_EQ(
        std::tuple(device.controlEndpoint->maxPacketSize, device.endpointList[0], device.endpointList[2]->address),
        std::tuple(64, device.controlEndpoint, 0x04));
    for (int i = 1; i < 4; ++i) EXPECT_EQ(device.endpointList[i]->directTransfer, 1u);
    EXPECT_EQ(std::tuple(device.bulkOutEndpoint, device.bulkInEndpoint, device.isoInEndpoint),
              std::tuple(device.endpointList[1], device.endpointList[3], nullptr));

    uint8_t header[9], iface[9];
    device.CopyConfigurationHeader(header);
    EXPECT_EQ(Bytes(header, header + 9), Bytes(fake.configs[0].begin(), fake.configs[0].begin() + 9));
    device.CopyInterfaceDescriptor(iface);
    EXPECT_EQ(Bytes(iface, iface + 9), Interface(0, 0, 3));
}

TEST_F(DeviceTest, RequestsInOrder) {
    CCyDevice device(nullptr, kTestClass, 1);
    const std::vector<std::tuple<int, int, int>> expected = {
        {1, 0, 18}, {3, 0, 2}, {3, 0, 4},  {3, 1, 2}, {3, 1, 12}, {3, 2, 2},
        {3, 2, 12}, {3, 3, 2}, {3, 3, 10}, {2, 0, 9}, {2, 0, 39},
    };
    EXPECT_EQ(DescriptorReads(fake), expected);  // no BOS read for a USB 2.0 device
    for (const Recorded &r : fake.Requests(ioctl::kControlRequest)) {
        const Head h = HeadOf(r);
        EXPECT_EQ(std::tuple(h.bmRequestType, h.bRequest, h.timeoutSeconds, h.bufferOffset, h.bufferLength, r.in.size(),
                             h.wIndex),
                  std::tuple(0x80, 6, 5u, 38u, uint32_t{h.wLength}, 38u + h.wLength,
                             (h.wValue >> 8) == 3 && (h.wValue & 0xFF) != 0 ? 0x0409 : 0));
    }
    std::vector<uint32_t> queries;
    for (const Recorded &r : fake.log) {
        if (r.code != ioctl::kControlRequest) queries.push_back(r.code);
    }
    EXPECT_EQ(queries, (std::vector<uint32_t>{ioctl::kGetAddress, ioctl::kGetDeviceName, ioctl::kGetFriendlyName,
                                              ioctl::kGetDriverVersion, ioctl::kGetStackVersion, ioctl::kGetSpeed,
                                              ioctl::kGetAltSetting}));
}

TEST_F(DeviceTest, OneObjectWalksEveryDeviceAndAnIndexPastTheEndClosesIt) {
    FakeUsb second("\\\\?\\fake#usb#1");
    MakeBoard(second);
    second.deviceName = "SECOND";
    CCyDevice device(nullptr, kTestClass, 0);
    ASSERT_EQ(device.DeviceCount(), 2);
    std::vector<std::string> names;
    for (uint8_t i = 0; i < 2; ++i) {
        ASSERT_TRUE(device.OpenDevice(i));
        EXPECT_EQ(device.deviceIndex, i);
        names.emplace_back(device.driverDeviceName);
        device.CloseDevice();
        EXPECT_EQ(std::tuple(device.EndpointListSize(), device.controlEndpoint, device.bulkInEndpoint),
                  std::tuple(0, nullptr, nullptr));
    }
    EXPECT_EQ(names, (std::vector<std::string>{"FAKE-DEVICE", "SECOND"}));
    ASSERT_TRUE(device.OpenDevice(1));
    EXPECT_FALSE(device.OpenDevice(2));
    EXPECT_EQ(std::tuple(device.driverHandle, device.deviceIndex, device.controlEndpoint, device.lastError),
              std::tuple(INVALID_HANDLE_VALUE, 0, nullptr, 0u));
}

TEST_F(DeviceTest, FailedReadsAndQueriesLeaveTheirMembers) {
    fake.failDescriptor.insert({3, 1});  // manufacturer
    fake.failCode = {ioctl::kGetAddress, ioctl::kGetDriverVersion, ioctl::kGetStackVersion, ioctl::kGetSpeed,
                     ioctl::kGetDeviceName};
    CCyDevice device(nullptr, kTestClass, 0);
    EXPECT_TRUE(device.OpenDevice(0));  // none of these stops the open
    EXPECT_EQ(Text(device.manufacturerText) + Text(device.productText), u"Board");
    EXPECT_EQ(std::tuple(device.busAddress, device.driverRevision, device.stackRevision, device.isHighSpeed),
              std::tuple(0, 0u, 0u, false));
    EXPECT_EQ(device.driverDeviceName[0], 0);
    EXPECT_EQ(device.EndpointListSize(), 4);

    fake.openError = ERROR_ACCESS_DENIED;  // and a refused open fails with the driver's error
    EXPECT_FALSE(device.OpenDevice(0));
    EXPECT_EQ(device.lastError, ERROR_ACCESS_DENIED);
}

TEST_F(DeviceTest, FailedDeviceDescriptorMeansNoConfiguration) {
    fake.failDescriptor.insert({1, 0});
    CCyDevice device(nullptr, kTestClass, 0);
    EXPECT_FALSE(device.OpenDevice(0));
    // The status words are those of the last request (a string read that
    // succeeded); the failed read itself leaves the block's words.
    EXPECT_EQ(std::tuple(device.lastError, device.configCount, device.usbdStatus),
              std::tuple(ERROR_GEN_FAILURE, 0, 0u));
    EXPECT_FALSE(device.ReadDeviceDescriptor());
    EXPECT_EQ(std::tuple(device.usbdStatus, device.ntStatus), std::tuple(kUsbdStatusStall, kNtStatusUnsuccessful));
    // Open but unbound: the handle stays open, nothing can be reached.
    EXPECT_NE(device.driverHandle, INVALID_HANDLE_VALUE);
    EXPECT_NE(device.controlEndpoint, nullptr);
    EXPECT_EQ(device.EndpointListSize(), 0);
}

TEST_F(DeviceTest, NoConfigurationZeroOrNoInterface) {
    const struct {
        const char *name;
        std::vector<Bytes> configs;
        std::set<std::pair<uint8_t, uint8_t>> fail;
    } cases[] = {
        {"configuration 0 fails to read", {}, {{2, 0}}},
        {"no interface", {Configuration({}, 0)}, {}},
        {"wTotalLength 9", {Configuration(Interface(0, 0, 0), 1, 9)}, {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        fake.configs = c.configs;
        fake.failDescriptor = c.fail;
        CCyDevice device(nullptr, kTestClass, 0);
        EXPECT_FALSE(device.OpenDevice(0));
        EXPECT_NE(device.driverHandle, INVALID_HANDLE_VALUE);
        EXPECT_EQ(device.EndpointListSize(), 0);
    }  // the destruction releases the open handle and the tree
}

// The message boxes shown, as "caption: text" lines.
std::string shownMessages;
bool TakeMessage(const char *text, const char *caption) {
    shownMessages += std::string(caption) + ": " + text + "\n";
    return true;
}

TEST_F(DeviceTest, MalformedDescriptorTablesShowTheirMessage) {
    const char *config = "Wrong Device Configuration: Please correct firmware descriptor table";
    const char *bos = "Wrong BOS Descriptor: Please correct firmware BOS descriptor table";
    const Bytes plain = Configuration(Interface(0, 0, 0));
    const struct {
        const char *name;
        uint16_t bcdUsb;
        Bytes config, bos;
        const char *message;
    } cases[] = {
        {"configuration runs short",
         0x0200,
         Configuration(Cat({Interface(0, 0, 2), Endpoint(0x02, 2, 512)})),
         {},
         config},
        {"BOS counts a capability it lacks", 0x0300, plain,
         Edited(sim::BosDescriptor({sim::Usb20ExtensionCapability()}), {{4, 2}}), bos},
        {"BOS capability runs past the end", 0x0300, plain, sim::BosDescriptor({{30, 0x10, 3, 0}}), bos},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        fake.device = sim::DeviceDescriptor({.bcdUSB = c.bcdUsb, .maxPacketSize0 = Lo(c.bcdUsb >= 0x0300 ? 9 : 64)});
        fake.configs = {c.config};
        fake.bos = c.bos;
        CCyDevice device(nullptr, kTestClass, 0);
        shownMessages.clear();
        vek::platform::SetMessageBoxObserver(TakeMessage);
        EXPECT_FALSE(device.OpenDevice(0));
        vek::platform::SetMessageBoxObserver(nullptr);
        const std::string shown = shownMessages;
        EXPECT_NE(shown.find(c.message), std::string::npos) << shown;
        EXPECT_EQ(std::tuple(device.driverHandle, device.controlEndpoint, device.bosInfo, device.configurations[0]),
                  std::tuple(INVALID_HANDLE_VALUE, nullptr, nullptr, nullptr));  // closed
    }
}

TEST_F(DeviceTest, SuperSpeedDevice) {
    fake.device = sim::DeviceDescriptor({.bcdUSB = 0x0300, .maxPacketSize0 = 9});
    fake.configs = {Configuration(
        Cat({Interface(0, 0, 2), Endpoint(0x02, 2, 1024), Companion(15), Endpoint(0x81, 1, 1024), Companion(0, 1)}))};
    fake.bos = sim::BosDescriptor({sim::Usb20ExtensionCapability(), sim::SuperSpeedCapability()});
    fake.speed = kSpeedSuper;
    CCyDevice device(nullptr, kTestClass, 1);
    ASSERT_NE(device.bosInfo, nullptr);
    EXPECT_EQ(std::tuple(device.controlEndpoint->maxPacketSize, device.isSuperSpeed), std::tuple(512, true));
    EXPECT_NE(device.bosInfo->superSpeedCapability, nullptr);
    ASSERT_EQ(device.EndpointListSize(), 3);
    EXPECT_EQ(std::tuple(device.bulkOutEndpoint->maxPacketSize, device.isoInEndpoint->maxPacketSize),
              std::tuple(16384, 2048));
    const auto reads = DescriptorReads(fake);
    EXPECT_NE(std::find(reads.begin(), reads.end(), std::make_tuple(15, 0, 5)), reads.end());
    EXPECT_NE(std::find(reads.begin(), reads.end(), std::make_tuple(15, 0, 5 + 7 + 10)), reads.end());
}

TEST_F(DeviceTest, FullSpeedDeviceUsesTheSuperSpeedWalk) {
    fake.device = sim::DeviceDescriptor({.bcdUSB = 0x0110, .maxPacketSize0 = 8});
    fake.configs = {
        Configuration(Cat({Interface(0, 0, 2), Endpoint(0x02, 2, 64), Companion(3), Endpoint(0x83, 3, 8, 10)}))};
    CCyDevice device(nullptr, kTestClass, 1);
    ASSERT_NE(device.driverHandle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(device.ep0MaxPacketSize, 8u);
    for (const auto &read : DescriptorReads(fake)) EXPECT_NE(std::get<0>(read), 15);  // no BOS read
    EXPECT_EQ(device.bulkOutEndpoint->maxBurst, 3);                                   // the companion was recognised
    EXPECT_EQ(device.interruptInEndpoint->companionLength, 0);
}

// The language is 0x0409 when offered, else the first one; replies of no
// text leave the member empty; the longest string is cut and terminated.
TEST_F(DeviceTest, StringDescriptors) {
    const std::pair<Bytes, uint16_t> languages[] = {{sim::LanguageIdDescriptor({0x0407, 0x0409}), 0x0409},
                                                    {sim::LanguageIdDescriptor({0x0411, 0x0407}), 0x0411},
                                                    {sim::LanguageIdDescriptor({}), 0}};
    for (const auto &[ids, chosen] : languages) {
        fake.strings[0] = ids;
        EXPECT_EQ(CCyDevice(nullptr, kTestClass, 1).stringLanguage, chosen);
    }
    for (const Bytes &reply : {Bytes{2, 3}, Bytes{6, 5, 'A', 0, 'B', 0}, Bytes{0, 3}}) {
        SCOPED_TRACE(testing::Message() << int{reply[0]} << " " << int{reply[1]});
        fake.strings[1] = reply;
        CCyDevice device(nullptr, kTestClass, 1);
        EXPECT_EQ(Text(device.manufacturerText) + Text(device.productText), u"Board");
    }
    fake.strings[1] = sim::StringDescriptor(std::string(126, 'x'));  // bLength 254: 252 bytes of text
    fake.strings[2] = Cat({{255, 3}, Bytes(253, 'y')});
    CCyDevice device(nullptr, kTestClass, 1);
    EXPECT_EQ(Text(device.manufacturerText), std::u16string(126, u'x'));
    EXPECT_EQ(device.productText[127], 0);
}

TEST_F(DeviceTest, TypedReferencesTakeTheFirstOfEachKind) {
    fake.configs = {
        Configuration(Cat({Interface(0, 0, 6), Endpoint(0x81, 2, 512), Endpoint(0x82, 2, 512), Endpoint(0x03, 3, 64),
                           Endpoint(0x84, 3, 64), Endpoint(0x05, 1, 1024), Endpoint(0x86, 1, 1024)}))};
    CCyDevice device(nullptr, kTestClass, 1);
    ASSERT_EQ(device.EndpointListSize(), 7);
    CCyUSBEndPoint *const *list = device.endpointList;
    EXPECT_EQ(std::tuple(device.bulkInEndpoint, device.bulkOutEndpoint, device.interruptOutEndpoint,
                         device.interruptInEndpoint, device.isoOutEndpoint, device.isoInEndpoint),
              std::tuple(list[1], nullptr, list[3], list[4], list[5], list[6]));
}

TEST_F(DeviceTest, AlternateSettingReportedByTheDriver) {
    fake.configs = {Configuration(Cat({Interface(0, 0, 1), Endpoint(0x02, 2, 512), Interface(0, 1, 2, 0x0A),
                                       Endpoint(0x04, 2, 512), Endpoint(0x88, 2, 512)}))};
    fake.altSetting = 1;
    CCyDevice device(nullptr, kTestClass, 1);
    EXPECT_EQ(std::tuple(device.currentInterface, device.interfaceClass), std::tuple(1, 0x0A));
    ASSERT_EQ(device.EndpointListSize(), 3);
    EXPECT_EQ(std::tuple(device.bulkOutEndpoint->address, device.bulkInEndpoint->address), std::tuple(0x04, 0x88));
}

// No interface object has the alternate setting the driver reports (or the
// query fails): nothing is bound, and EndpointListSize gives 0 so that no
// caller reads a slot.
TEST_F(DeviceTest, UnknownAlternateSettingBindsNothing) {
    for (bool queryFails : {false, true}) {
        SCOPED_TRACE(queryFails ? "query fails" : "alt setting 3");
        fake.altSetting = 3;
        if (queryFails) fake.failCode.insert(ioctl::kGetAltSetting);
        CCyDevice device(nullptr, kTestClass, 1);
        EXPECT_EQ(std::tuple(device.endpointList, device.bulkInEndpoint, device.EndpointListSize()),
                  std::tuple(nullptr, nullptr, 0));
        EXPECT_NE(device.controlEndpoint, nullptr);  // destroyed by the close, not by the tree
    }
}

TEST_F(DeviceTest, AtMostTwoConfigurations) {
    fake.device = sim::DeviceDescriptor({.numConfigurations = 3});
    for (uint8_t value : {2, 3}) fake.configs.push_back(Configuration(Interface(0, 0, 0), 1, -1, value));
    CCyDevice device(nullptr, kTestClass, 1);
    EXPECT_EQ(device.configCount, 2);
    ASSERT_NE(device.configurations[1], nullptr);
    EXPECT_EQ(device.configurations[1]->bConfigurationValue, 2);
    for (const auto &[type, index, length] : DescriptorReads(fake)) {
        if (type == 2) {
            EXPECT_LT(index, 2);
        }
    }
}

TEST_F(DeviceTest, ShortSecondStageIsAFailedRead) {
    fake.shortRepliesAbove = 18;  // the whole configuration comes back one byte short
    CCyDevice device(nullptr, kTestClass, 0);
    EXPECT_FALSE(device.OpenDevice(0));
    EXPECT_EQ(device.configDescriptorData[0], nullptr);
    EXPECT_EQ(device.returnedLength, 38u + 39u - 1u);
}

TEST(DeviceInterfacePath, PathsThatDoNotFitAreNotOpened) {
    platform::SetVirtualClock(true);
    for (const auto &[length, opens] : {std::pair{255, true}, {256, false}, {300, false}}) {
        SCOPED_TRACE(length);
        FakeUsb fake(std::string(length, 'p'));
        MakeBoard(fake);
        CCyDevice device(nullptr, kTestClass, 0);
        EXPECT_EQ(device.OpenDevice(0), opens);
        EXPECT_EQ(device.driverHandle != INVALID_HANDLE_VALUE, opens);
        if (opens) {
            EXPECT_EQ(std::string(device.interfacePath), fake.path());
        }
    }
}

TEST(DeviceCountBound, AtMost255Devices) {
    std::vector<std::unique_ptr<FakeUsb>> fakes;
    for (int i = 0; i < 300; ++i) fakes.push_back(std::make_unique<FakeUsb>("dev" + std::to_string(i)));
    CCyDevice device(nullptr, kTestClass, 0);
    EXPECT_EQ(device.DeviceCount(), 255);
}

// --- closing ---

TEST_F(DeviceTest, CloseErrorsCarryTheirText) {
    {
        CCyDevice device(nullptr, kTestClass, 1);
        const HANDLE handle = device.driverHandle;
        ASSERT_TRUE(vek::win32::CloseHandle(handle));  // someone closed the driver handle under the object
        ExpectUsbError([&] { device.CloseDevice(); }, "Failed to close handle to driver.");
        // The handle is kept; the tree went all the same.
        EXPECT_EQ(std::tuple(device.lastError, device.driverHandle, device.controlEndpoint, device.configurations[0]),
                  std::tuple(ERROR_INVALID_HANDLE, handle, nullptr, nullptr));
        EXPECT_THROW(device.OpenDevice(0), UsbError);  // the open closes first, and fails the same way
        device.driverHandle = INVALID_HANDLE_VALUE;
    }
#if !defined(_WIN32)  // the system's notifications cannot be given a bad token safely
    CCyDevice device(nullptr, kTestClass, 1);
    device.handleNotification = reinterpret_cast<HDEVNOTIFY>(uintptr_t{0xBAD});
    ExpectUsbError([&] { device.CloseDevice(); }, "Failed to close the handle notification handle.");
    EXPECT_NE(device.driverHandle, INVALID_HANDLE_VALUE);
    device.handleNotification = nullptr;
    device.CloseDevice();
    EXPECT_EQ(device.driverHandle, INVALID_HANDLE_VALUE);
#endif
}

TEST_F(DeviceTest, WindowNotificationsAreRegisteredAndReleased) {
#if defined(_WIN32)
    GTEST_SKIP() << "the system's notifications need a real window; the platform layer's accept any";
#endif
    HWND window = reinterpret_cast<HWND>(uintptr_t{0x5150});
    {
        CCyDevice device(window, kTestClass, 1);
        EXPECT_NE(device.interfaceNotification, nullptr);
        EXPECT_NE(device.handleNotification, nullptr);
        device.CloseDevice();
        EXPECT_EQ(device.handleNotification, nullptr);
    }  // the interface registration goes with the object
    auto *device = new CCyDevice(window, kTestClass, 1);
    ASSERT_TRUE(vek::win32::UnregisterDeviceNotification(device->interfaceNotification));
    ExpectUsbError([&] { delete device; }, "Failed to close the device notification handle.");
}

TEST_F(DeviceTest, DriverRequestNeedsTheFullLength) {
    CCyDevice device(nullptr, kTestClass, 1);
    uint32_t speed = 0;
    EXPECT_TRUE(device.DriverRequest(ioctl::kGetSpeed, &speed, sizeof speed));
    EXPECT_EQ(speed, kSpeedHigh);
    uint64_t wide = 0;
    EXPECT_FALSE(device.DriverRequest(ioctl::kGetSpeed, &wide, sizeof wide));  // 4 bytes back for 8
    EXPECT_EQ(device.returnedLength, 4u);
    fake.failCode.insert(ioctl::kGetSpeed);
    EXPECT_FALSE(device.DriverRequest(ioctl::kGetSpeed, &speed, sizeof speed));
    EXPECT_EQ(device.lastError, ERROR_GEN_FAILURE);
}

}  // namespace
}  // namespace vek

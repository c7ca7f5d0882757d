// The USB device object on the virtual board: finding and opening devices,
// the descriptor reads and driver queries, the configuration tree and the
// bound endpoints, the failure paths, and closing.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <tuple>
#include <vector>

#include "fake_driver.h"
#include "platform/message_box.h"

namespace vek {
namespace {

using namespace test;  // the raw descriptor pieces

std::u16string Text(const char16_t *text) { return std::u16string(text); }

// The descriptor requests the board saw, as (type, index, wLength).
std::vector<std::tuple<int, int, int>> DescriptorReads() {
    std::vector<std::tuple<int, int, int>> reads;
    for (const VekSimTraceEntry &e : sim::TraceOf(VEK_SIM_TRACE_CONTROL))
        reads.emplace_back(e.wValue >> 8, e.wValue & 0xFF, e.wLength);
    return reads;
}

// Each test attaches its device (the board's layout unless it changes `set`)
// with Attach(), then opens it.
// The places of an open's requests among all it makes (the order the open
// test asserts): nine descriptor reads, then these driver queries.
enum OpenRequest : uint32_t {
    kAddress = 10,
    kDeviceName,
    kFriendlyName,
    kDriverVersion,
    kStackVersion,
    kSpeed,
    kAltSetting = 18
};

class DeviceTest : public OpenBoardTest {
protected:
    void SetUp() override { VekSimSetVirtualClock(1); }
    void Attach() {
        ASSERT_GE(sim::AttachDevice(set, identity), 0);
        VekSimTraceClear();
    }
    sim::DescriptorSet set = sim::VekBoardDescriptors("Maker", "Board", "0001");
    sim::BoardIdentity identity{
        .deviceName = "FAKE-DEVICE", .friendlyName = "Fake USB device", .busAddress = 7, .driverVersion = 0x01020304};
};

TEST_F(DeviceTest, OpensTheBoard) {
    Attach();
    CCyDevice device(nullptr, kDriverInterfaceClass, 1);
    ASSERT_EQ(device.EndpointListSize(), 4);
    EXPECT_EQ(std::tuple(device.vendorId, device.productId, device.stringLanguage, device.busAddress),
              std::tuple(0x1209, 0x7E40, 0x0409, 7));
    EXPECT_EQ(std::tuple(Text(device.manufacturerText), Text(device.productText), Text(device.serialNumberText)),
              std::tuple(u"Maker", u"Board", u"0001"));
    EXPECT_EQ(std::string(device.driverDeviceName) + "/" + device.driverFriendlyName, "FAKE-DEVICE/Fake USB device");
    EXPECT_EQ(std::tuple(device.driverRevision, device.stackRevision, device.isHighSpeed, device.endpointList[0]),
              std::tuple(0x01020304u, 0x600u, true, device.controlEndpoint));
    for (int i = 1; i < 4; ++i) EXPECT_EQ(device.endpointList[i]->directTransfer, 1u);
    uint8_t header[9], iface[9];
    device.CopyConfigurationHeader(header);
    device.CopyInterfaceDescriptor(iface);
    EXPECT_EQ(Bytes(header, header + 9), Bytes(set.configurations[0].begin(), set.configurations[0].begin() + 9));
    EXPECT_EQ(Bytes(iface, iface + 9), Interface(0, 0, 3));
    // The reads in order (no BOS read for a USB 2.0 device), the strings in
    // the language chosen, and the driver queries.
    const std::vector<std::tuple<int, int, int>> expected = {
        {1, 0, 18}, {3, 0, 2}, {3, 0, 4},  {3, 1, 2}, {3, 1, 12}, {3, 2, 2},
        {3, 2, 12}, {3, 3, 2}, {3, 3, 10}, {2, 0, 9}, {2, 0, 39},
    };
    EXPECT_EQ(DescriptorReads(), expected);
    std::vector<uint32_t> queries;
    for (const VekSimTraceEntry &e : sim::TraceOf(VEK_SIM_TRACE_CONTROL)) {
        EXPECT_EQ(std::tuple(e.bmRequestType, e.bRequest, e.wIndex),
                  std::tuple(0x80, 6, (e.wValue >> 8) == 3 && (e.wValue & 0xFF) != 0 ? 0x0409 : 0));
    }
    for (const VekSimTraceEntry &e : sim::TraceOf(VEK_SIM_TRACE_REQUEST))
        if (e.code != ioctl::kControlRequest) queries.push_back(e.code);
    EXPECT_EQ(queries, (std::vector<uint32_t>{ioctl::kGetAddress, ioctl::kGetDeviceName, ioctl::kGetFriendlyName,
                                              ioctl::kGetDriverVersion, ioctl::kGetStackVersion, ioctl::kGetSpeed,
                                              ioctl::kGetAltSetting}));
}

// What an open bound, as "ep0 packet size: each endpoint's address/
// maxPacketSize/maxBurst | the typed references (bulk, interrupt, isochronous;
// IN then OUT; 00 none) | the interface's alternate setting and class |
// configuration value, count kept, reads | BOS reads, SuperSpeed capability".
std::string Bound(CCyDevice &&d) {
    const auto at = [](const CCyUSBEndPoint *ep) { return ep != nullptr ? ep->address : 0; };
    char part[160];
    std::snprintf(part, sizeof part, "%d:", d.controlEndpoint->maxPacketSize);
    std::string s = part;
    for (int i = 1; i < d.EndpointListSize(); ++i) {
        const CCyUSBEndPoint &ep = *d.endpointList[i];
        std::snprintf(part, sizeof part, " %02x/%d/%d", ep.address, ep.maxPacketSize, ep.maxBurst);
        s += part;
    }
    int configReads = 0, bosReads = 0;
    for (const auto &read : DescriptorReads()) {
        configReads += std::get<0>(read) == 2;
        bosReads += std::get<0>(read) == 15;
    }
    std::snprintf(part, sizeof part, " | %02x %02x %02x %02x %02x %02x | %d %02x | %d %d %d | %d %d",
                  at(d.bulkInEndpoint), at(d.bulkOutEndpoint), at(d.interruptInEndpoint), at(d.interruptOutEndpoint),
                  at(d.isoInEndpoint), at(d.isoOutEndpoint), d.currentInterface, d.interfaceClass,
                  d.configurations[d.configCount - 1]->bConfigurationValue, d.configCount, configReads, bosReads,
                  d.isSuperSpeed && d.bosInfo != nullptr && d.bosInfo->superSpeedCapability != nullptr);
    return s + part;
}

// The board; SuperSpeed; full speed (the SuperSpeed walk applies the
// companion, no BOS read), high speed (the plain walk passes it over); the
// first of each kind; the driver's alternate setting 1, 3 (none has it:
// nothing bound), its query failing; three configurations (two kept).
TEST_F(DeviceTest, WhatAnOpenBinds) {
    const sim::DescriptorSet super = sim::VekSuperSpeedDescriptors();  // its BOS for every row
    const Bytes usb2 = set.device, usb3 = super.device,
                usb11 = sim::DeviceDescriptor({.bcdUSB = 0x0110, .maxPacketSize0 = 8}),
                threeConfigs = sim::DeviceDescriptor({.numConfigurations = 3});
    const Bytes board = set.configurations[0], superBoard = super.configurations[0],
                fullSpeed = Configuration(
                    Cat({Interface(0, 0, 2), Endpoint(0x02, 2, 64), Companion(3), Endpoint(0x83, 3, 8, 10)})),
                eachKind = Configuration(
                    Cat({Interface(0, 0, 6), Endpoint(0x81, 2, 512), Endpoint(0x82, 2, 512), Endpoint(0x03, 3, 64),
                         Endpoint(0x84, 3, 64), Endpoint(0x05, 1, 1024), Endpoint(0x86, 1, 1024)})),
                alternates = Configuration(Cat({Interface(0, 0, 1), Endpoint(0x02, 2, 512), Interface(0, 1, 2, 0x0A),
                                                Endpoint(0x04, 2, 512), Endpoint(0x88, 2, 512)}));
    const struct {
        Bytes device, config;
        int altSetting;  // the driver's; -1: 3, and its query fails
        const char *bound;
    } cases[] = {
        {usb2, board, 0, "64: 02/512/0 04/512/0 86/512/0 | 86 02 00 00 00 00 | 0 ff | 1 1 2 | 0 0"},
        {usb3, superBoard, 0, "512: 02/16384/15 04/16384/15 86/16384/15 | 86 02 00 00 00 00 | 0 ff | 1 1 2 | 2 1"},
        {usb11, fullSpeed, 0, "8: 02/256/3 83/8/0 | 00 02 83 00 00 00 | 0 ff | 1 1 2 | 0 0"},
        {usb2, fullSpeed, 0, "64: 02/64/0 83/8/0 | 00 02 83 00 00 00 | 0 ff | 1 1 2 | 0 0"},
        {usb2, eachKind, 0,
         "64: 81/512/0 82/512/0 03/64/0 84/64/0 05/1024/0 86/1024/0 | 81 00 84 03 86 05 | 0 ff | 1 1 2 | 0 0"},
        {usb2, alternates, 1, "64: 04/512/0 88/512/0 | 88 04 00 00 00 00 | 1 0a | 1 1 2 | 0 0"},
        {usb2, alternates, 3, "64: | 00 00 00 00 00 00 | 0 ff | 1 1 2 | 0 0"},
        {usb2, alternates, -1, "64: | 00 00 00 00 00 00 | 0 ff | 1 1 2 | 0 0"},
        {threeConfigs, board, 0, "64: 02/512/0 04/512/0 86/512/0 | 86 02 00 00 00 00 | 0 ff | 2 2 4 | 0 0"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.bound);
        set.device = c.device;
        set.configurations = {c.config};
        for (uint8_t value = 2; value <= c.device[17]; ++value)
            set.configurations.push_back(Configuration(Interface(0, 0, 0), 1, -1, value));
        set.bos = super.bos;
        identity.altSetting = static_cast<uint8_t>(c.altSetting < 0 ? 3 : c.altSetting);
        Attach();
        if (c.altSetting < 0) {
            ASSERT_EQ(VekSimInjectFault(0, VEK_SIM_ANY_ENDPOINT, kAltSetting, VEK_SIM_FAULT_FAIL_AT_ISSUE), 0);
        }
        EXPECT_EQ(Bound(CCyDevice(nullptr, kDriverInterfaceClass, 1)), c.bound);
        VekSimDetachAll();
    }
}

TEST_F(DeviceTest, FailedReadsAndQueriesLeaveTheirMembers) {
    Attach();
    for (uint32_t nth : {kAddress, kDriverVersion, kStackVersion, kSpeed, kDeviceName})
        ASSERT_EQ(VekSimInjectFault(0, VEK_SIM_ANY_ENDPOINT, nth, VEK_SIM_FAULT_FAIL_AT_ISSUE), 0);
    ASSERT_EQ(VekSimInjectFault(0, 0, 5, VEK_SIM_FAULT_STALL), 0);  // the manufacturer string's second read
    CCyDevice device(nullptr, kDriverInterfaceClass, 0);
    EXPECT_TRUE(device.OpenDevice(0));  // none of these stops the open
    EXPECT_EQ(Text(device.manufacturerText) + Text(device.productText), u"Board");
    EXPECT_EQ(std::tuple(device.busAddress, device.driverRevision, device.stackRevision, device.isHighSpeed),
              std::tuple(0, 0u, 0u, false));
    EXPECT_EQ(std::tuple(device.driverDeviceName[0], device.EndpointListSize()), std::tuple(0, 4));
    // A driver query needs its full length back, and one refused leaves its error.
    uint64_t wide = 0;
    EXPECT_FALSE(device.DriverRequest(ioctl::kGetSpeed, &wide, sizeof wide));
    EXPECT_EQ(device.returnedLength, 4u);
    ASSERT_EQ(VekSimInjectFault(0, VEK_SIM_ANY_ENDPOINT, 1, VEK_SIM_FAULT_FAIL_AT_ISSUE), 0);
    EXPECT_FALSE(device.DriverRequest(ioctl::kGetSpeed, &wide, 4));
    EXPECT_EQ(device.lastError, ERROR_GEN_FAILURE);
}

// The message boxes shown, as "caption: text" lines.
std::string shownMessages;
bool TakeMessage(const char *text, const char *caption) {
    shownMessages += std::string(caption) + ": " + text + "\n";
    return true;
}

// The open fails. The device descriptor or configuration 0 unread (a stall,
// or a second stage one byte short), or no interface: the handle stays open
// and nothing is bound. A malformed table: its message is shown, and closed.
TEST_F(DeviceTest, FailedOpens) {
    const char *config = "Wrong Device Configuration: Please correct firmware descriptor table";
    const char *bos = "Wrong BOS Descriptor: Please correct firmware BOS descriptor table";
    const Bytes usb2 = set.device, usb3 = sim::VekSuperSpeedDescriptors().device, board = set.configurations[0], none;
    const struct {
        const char *name;
        Bytes device, config, bos;
        int fault;  // on the nth control request: 1 the device descriptor, 10 and 11 the configuration's two stages
        uint32_t nth;
        const char *message;  // nullptr: none shown, the handle kept
    } cases[] = {
        {"device descriptor fails to read", usb2, board, none, VEK_SIM_FAULT_STALL, 1, nullptr},
        {"configuration 0 fails to read", usb2, board, none, VEK_SIM_FAULT_STALL, 10, nullptr},
        {"second stage short", usb2, board, none, VEK_SIM_FAULT_SHORT, 11, nullptr},
        {"no interface", usb2, Configuration({}, 0), none, VEK_SIM_FAULT_NONE, 0, nullptr},
        {"configuration runs short", usb2, Configuration(Cat({Interface(0, 0, 2), Endpoint(0x02, 2, 512)})), none,
         VEK_SIM_FAULT_NONE, 0, config},
        {"BOS capability runs past the end", usb3, Configuration(Interface(0, 0, 0)),
         sim::BosDescriptor({{30, 0x10, 3, 0}}), VEK_SIM_FAULT_NONE, 0, bos},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        set.device = c.device;
        set.configurations = {c.config};
        set.bos = c.bos;
        Attach();
        if (c.fault != VEK_SIM_FAULT_NONE) {
            ASSERT_EQ(VekSimInjectFault(0, 0, c.nth, c.fault), 0);
        }
        CCyDevice device(nullptr, kDriverInterfaceClass, 0);
        shownMessages.clear();
        vek::platform::SetMessageBoxObserver(TakeMessage);
        EXPECT_FALSE(device.OpenDevice(0));
        vek::platform::SetMessageBoxObserver(nullptr);
        if (c.message != nullptr) {
            EXPECT_NE(shownMessages.find(c.message), std::string::npos) << shownMessages;
            EXPECT_EQ(std::tuple(device.driverHandle, device.controlEndpoint, device.bosInfo, device.configurations[0]),
                      std::tuple(INVALID_HANDLE_VALUE, nullptr, nullptr, nullptr));
        } else {
            EXPECT_EQ(std::tuple(shownMessages, device.driverHandle != INVALID_HANDLE_VALUE,
                                 device.controlEndpoint != nullptr, device.EndpointListSize()),
                      std::tuple("", true, true, 0));
        }
        if (c.nth == 1) {  // the status words are those of the last request, a string read that succeeded
            EXPECT_EQ(std::tuple(device.lastError, device.configCount, device.usbdStatus),
                      std::tuple(ERROR_GEN_FAILURE, 0, 0u));
        }
        if (c.fault == VEK_SIM_FAULT_SHORT) {
            EXPECT_EQ(std::tuple(device.configDescriptorData[0], device.returnedLength),
                      std::tuple(nullptr, 38u + 39u / 2));
        }
        VekSimDetachAll();
    }
}

// The language is 0x0409 when offered, else the first one; replies of no
// text leave the member empty; the longest string is cut and terminated.
TEST_F(DeviceTest, StringDescriptors) {
    const auto open = [&](auto check) {
        Attach();
        check(CCyDevice(nullptr, kDriverInterfaceClass, 1));
        VekSimDetachAll();
    };
    const std::pair<Bytes, uint16_t> languages[] = {{sim::LanguageIdDescriptor({0x0407, 0x0409}), 0x0409},
                                                    {sim::LanguageIdDescriptor({0x0411, 0x0407}), 0x0411},
                                                    {sim::LanguageIdDescriptor({}), 0}};
    for (const auto &[ids, chosen] : languages) {
        set.strings[0] = ids;
        open([&](const CCyDevice &d) { EXPECT_EQ(d.stringLanguage, chosen); });
    }
    for (const Bytes &reply : {Bytes{2, 3}, Bytes{6, 5, 'A', 0, 'B', 0}, Bytes{0, 3}}) {
        SCOPED_TRACE(testing::Message() << int{reply[0]} << " " << int{reply[1]});
        set.strings[1] = reply;
        open([&](const CCyDevice &d) { EXPECT_EQ(Text(d.manufacturerText) + Text(d.productText), u"Board"); });
    }
    set.strings[1] = sim::StringDescriptor(std::string(126, 'x'));  // bLength 254: 252 bytes of text
    set.strings[2] = Cat({{255, 3}, Bytes(253, 'y')});
    open([&](const CCyDevice &d) {
        EXPECT_EQ(Text(d.manufacturerText), std::u16string(126, u'x'));
        EXPECT_EQ(d.productText[127], 0);
    });
}

// At most 255 devices are counted; a path that does not fit interfacePath is not opened.
TEST_F(DeviceTest, DeviceCountAndPathBounds) {
    for (int i = 0; i < 300; ++i) ASSERT_GE(VekSimAttach(nullptr), 0);
    EXPECT_EQ(CCyDevice(nullptr, kDriverInterfaceClass, 0).DeviceCount(), 255);
    for (const auto &[length, opens] : {std::pair{255, true}, {256, false}, {300, false}}) {
        SCOPED_TRACE(length);
        FakeDriver fake(std::string(static_cast<size_t>(length), 'p'));
        fake.onData = [](platform::IoRequest &) { return platform::IoOutcome{}; };  // refused
        CCyDevice device(nullptr, kTestClass, 0);
        device.OpenDevice(0);
        EXPECT_EQ(device.driverHandle != INVALID_HANDLE_VALUE, opens);
        EXPECT_EQ(std::string(device.interfacePath).size(), opens ? 255u : 0u);
    }
}

// --- closing ---

// A driver handle that fails to close raises its error (its text is the
// handle tests'), and the tree goes all the same.
TEST_F(DeviceTest, AFailedCloseStillReleasesTheTree) {
    Attach();
    CCyDevice device(nullptr, kDriverInterfaceClass, 1);
    const HANDLE handle = device.driverHandle;
    ASSERT_TRUE(vek::win32::CloseHandle(handle));  // someone closed the driver handle under the object
    EXPECT_THROW(device.CloseDevice(), UsbError);
    EXPECT_EQ(std::tuple(device.lastError, device.driverHandle, device.controlEndpoint, device.configurations[0],
                         device.bulkInEndpoint, device.EndpointListSize()),
              std::tuple(ERROR_INVALID_HANDLE, handle, nullptr, nullptr, nullptr, 0));
    EXPECT_THROW(device.OpenDevice(0), UsbError);  // the open closes first, and fails the same way
    device.driverHandle = INVALID_HANDLE_VALUE;
}

}  // namespace
}  // namespace vek

// The device and endpoint classes on the virtual board: the board found and
// opened through the driver's interface class, register packets on its bulk
// endpoints as the board receives them, control requests to the controller,
// a custom SuperSpeed device, and the board's faults.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "fake_driver.h"
#include "usb/device/usb_device.h"
#include "vek_sim.h"

namespace vek {
namespace {

using test::Bytes;
using test::Cat;

std::vector<VekSimTraceEntry> Trace(uint32_t kind) {
    std::vector<VekSimTraceEntry> found;
    for (uint32_t i = 0; i < VekSimTraceCount(); ++i) {
        VekSimTraceEntry entry{};
        if (VekSimTraceGet(i, &entry) == 0 && entry.kind == kind) found.push_back(entry);
    }
    return found;
}

CCyUSBEndPoint *FindEndpoint(CCyDevice &device, uint8_t address) {
    for (int i = 1; i < device.EndpointListSize(); ++i) {
        if (device.endpointList[i]->address == address) return device.endpointList[i];
    }
    return nullptr;
}

// One transfer driven as the register transport drives it: begin, a wait of
// at most 2000 ms, finish.
bool Transfer(CCyUSBEndPoint &endpoint, uint8_t *data, int32_t &length) {
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, FALSE, FALSE, "CYUSB_INOUT");
    uint8_t *block = endpoint.BeginTransfer(data, length, &ov);
    endpoint.WaitForTransfer(&ov, 2000);
    const bool ok = endpoint.FinishTransfer(data, length, &ov, block);
    CloseHandle(ov.hEvent);
    return ok;
}

// Attaches a board with one configuration and, if given, its own device
// descriptor and BOS.
int AttachCustom(const Bytes &config, const Bytes &device = {}, const Bytes &bos = {}) {
    const uint8_t *configs[] = {config.data()};
    const uint32_t configLengths[] = {static_cast<uint32_t>(config.size())};
    VekSimDeviceConfig custom{};
    custom.size = sizeof custom;
    custom.deviceDescriptor = device.empty() ? nullptr : device.data();
    custom.deviceDescriptorLength = static_cast<uint32_t>(device.size());
    custom.configurationCount = 1;
    custom.configurations = configs;
    custom.configurationLengths = configLengths;
    custom.bos = bos.empty() ? nullptr : bos.data();
    custom.bosLength = static_cast<uint32_t>(bos.size());
    return VekSimAttachCustom(&custom);
}

class VirtualBoardTest : public ::testing::Test {
protected:
    void SetUp() override {
        VekSimDetachAll();
        VekSimSetVirtualClock(1);
    }
    void TearDown() override { VekSimDetachAll(); }
};

TEST_F(VirtualBoardTest, RegisterPacketsOnTheBulkEndpoints) {
    const int board = VekSimAttach(nullptr);
    CCyDevice device(nullptr, kDriverInterfaceClass, 1);
    ASSERT_NE(device.driverHandle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(std::string(device.driverDeviceName).rfind("VEK4.0", 0), 0u) << device.driverDeviceName;
    EXPECT_TRUE(device.isHighSpeed);
    ASSERT_EQ(device.EndpointListSize(), 4);
    ASSERT_NE(FindEndpoint(device, 0x02), nullptr);
    CCyUSBEndPoint *requests = FindEndpoint(device, 0x04);
    CCyUSBEndPoint *replies = FindEndpoint(device, 0x86);
    ASSERT_NE(requests, nullptr);
    ASSERT_EQ(replies, device.bulkInEndpoint);
    EXPECT_EQ(replies->maxPacketSize, 512);
    VekSimTraceClear();

    uint8_t write[8] = {0x30, 0, 0, 0, 0x78, 0x56, 0x34, 0x12};
    int32_t length = 8;
    ASSERT_TRUE(Transfer(*requests, write, length));
    EXPECT_EQ(length, 8);
    uint32_t value = 0;
    ASSERT_EQ(VekSimGetRegister(board, 0x30, &value), 0);
    EXPECT_EQ(value, 0x12345678u);

    uint8_t read[8] = {0x30, 0, 0, 0x80, 0, 0, 0, 0};
    length = 8;
    ASSERT_TRUE(Transfer(*requests, read, length));
    uint8_t reply[8] = {};
    length = 8;
    ASSERT_TRUE(Transfer(*replies, reply, length));
    EXPECT_EQ(length, 8);
    uint32_t replied = 0;
    std::memcpy(&replied, reply + 4, 4);
    EXPECT_EQ(replied, 0x12345678u);

    // Each packet went out as a direct request: a 38-byte block in, the
    // caller's 8 bytes as the data area.
    const auto seen = Trace(VEK_SIM_TRACE_REQUEST);
    ASSERT_EQ(seen.size(), 3u);
    for (const VekSimTraceEntry &e : seen) {
        EXPECT_EQ(e.code, ioctl::kDirectData);
        EXPECT_EQ(e.inLength, 38u);
        EXPECT_EQ(e.outLength, 8u);
    }
    EXPECT_EQ(seen[2].endpoint, 0x86u);
}

TEST_F(VirtualBoardTest, InWithNothingToDeliverExpiresAndIsAborted) {
    VekSimAttach(nullptr);
    CCyDevice device(nullptr, kDriverInterfaceClass, 1);
    CCyUSBEndPoint *replies = FindEndpoint(device, 0x86);
    ASSERT_NE(replies, nullptr);
    VekSimTraceClear();
    replies->timeoutMs = 500;
    uint8_t buffer[8] = {};
    int32_t length = 8;
    EXPECT_FALSE(replies->SyncTransfer(buffer, length));
    EXPECT_EQ(length, 0);
    const auto aborts = Trace(VEK_SIM_TRACE_ABORT);
    ASSERT_EQ(aborts.size(), 1u);
    EXPECT_EQ(aborts[0].endpoint, 0x86u);
    EXPECT_EQ(aborts[0].bytes, 1u);  // the one pending request ended

    // The same through the transport's steps: the 2000 ms wait expires, and
    // FinishTransfer ends the request before it frees the block.
    VekSimTraceClear();
    length = 8;
    EXPECT_FALSE(Transfer(*replies, buffer, length));
    EXPECT_EQ(Trace(VEK_SIM_TRACE_ABORT).size(), 1u);
}

TEST_F(VirtualBoardTest, StallReportsItsStatusUntilThePipeIsReset) {
    const int board = VekSimAttach(nullptr);
    CCyDevice device(nullptr, kDriverInterfaceClass, 1);
    CCyUSBEndPoint *requests = FindEndpoint(device, 0x04);
    ASSERT_NE(requests, nullptr);
    ASSERT_EQ(VekSimInjectFault(board, 0x04, 1, VEK_SIM_FAULT_STALL), 0);
    uint8_t packet[8] = {0x30, 0, 0, 0, 1, 0, 0, 0};
    int32_t length = 8;
    EXPECT_FALSE(requests->SyncTransfer(packet, length));
    EXPECT_EQ(requests->usbdStatus, kUsbdStatusStall);
    length = 8;
    EXPECT_FALSE(requests->SyncTransfer(packet, length));  // still halted
    EXPECT_TRUE(requests->ResetPipe());
    length = 8;
    EXPECT_TRUE(requests->SyncTransfer(packet, length));
    EXPECT_EQ(requests->usbdStatus, 0u);
}

TEST_F(VirtualBoardTest, ShortTransferReportsWhatMoved) {
    const int board = VekSimAttach(nullptr);
    CCyDevice device(nullptr, kDriverInterfaceClass, 1);
    CCyUSBEndPoint *frames = FindEndpoint(device, 0x02);
    ASSERT_NE(frames, nullptr);
    for (uint32_t direct : {1u, 0u}) {
        frames->directTransfer = direct;
        ASSERT_EQ(VekSimInjectFault(board, 0x02, 1, VEK_SIM_FAULT_SHORT), 0);
        std::vector<uint8_t> data(1000, 0x11);
        int32_t length = 1000;
        EXPECT_TRUE(frames->SyncTransfer(data.data(), length));
        EXPECT_EQ(length, 500) << "direct " << direct;
    }
}

TEST_F(VirtualBoardTest, ControlWritesReachTheControllerRam) {
    const int board = VekSimAttach(nullptr);
    CCyDevice device(nullptr, kDriverInterfaceClass, 1);
    ASSERT_NE(device.controlEndpoint, nullptr);
    CCyControlEndPoint &control = *device.controlEndpoint;
    control.requestCode = 0xA0;
    control.value = 0x1000;
    control.index = 0;
    uint8_t code[16];
    for (int i = 0; i < 16; ++i) code[i] = static_cast<uint8_t>(0xC0 + i);
    int32_t length = 16;
    ASSERT_TRUE(control.ControlWrite(code, length));
    EXPECT_EQ(length, 16);
    uint8_t ram[16] = {};
    ASSERT_EQ(VekSimReadControllerRam(board, 0x1000, ram, 16), 0);
    EXPECT_EQ(std::memcmp(ram, code, 16), 0);
    const auto controls = Trace(VEK_SIM_TRACE_CONTROL);
    ASSERT_FALSE(controls.empty());
    EXPECT_EQ(controls.back().bmRequestType, 0x40);
    EXPECT_EQ(controls.back().wLength, 16);

    uint8_t back[16] = {};
    length = 16;
    ASSERT_TRUE(control.ControlRead(back, length));
    EXPECT_EQ(length, 16);
    EXPECT_EQ(std::memcmp(back, code, 16), 0);
    EXPECT_EQ(Trace(VEK_SIM_TRACE_CONTROL).back().bmRequestType, 0xC0);
}

TEST_F(VirtualBoardTest, CustomSuperSpeedDevice) {
    const Bytes deviceDescriptor = test::DeviceDescriptor(0x0310, 9);
    const Bytes config = test::Configuration(Cat({test::Interface(0, 0, 3), test::Endpoint(0x01, 2, 1024),
                                                  test::Companion(15), test::Endpoint(0x81, 2, 1024),
                                                  test::Companion(15), test::Endpoint(0x82, 3, 64, 4),
                                                  test::Companion(0)}));
    const Bytes bos = test::Bos(Cat({test::SuperSpeedCapability(), test::ContainerId(), test::Usb20Extension()}), 3);
    ASSERT_GE(AttachCustom(config, deviceDescriptor, bos), 0);

    CCyDevice device(nullptr, kDriverInterfaceClass, 1);
    ASSERT_NE(device.driverHandle, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(device.isSuperSpeed);
    EXPECT_EQ(device.ep0MaxPacketSize, 512u);
    ASSERT_NE(device.bosInfo, nullptr);
    EXPECT_NE(device.bosInfo->containerId, nullptr);
    ASSERT_EQ(device.EndpointListSize(), 4);
    EXPECT_EQ(device.bulkOutEndpoint->maxPacketSize, 16384);
    EXPECT_EQ(device.bulkInEndpoint->maxBurst, 15);
    EXPECT_EQ(device.interruptInEndpoint->interval, 4);
}

TEST_F(VirtualBoardTest, MalformedCustomConfigurationShowsTheMessage) {
    const Bytes config = test::Configuration(Cat({test::Interface(0, 0, 2), test::Endpoint(0x02, 2, 512)}));
    ASSERT_GE(AttachCustom(config), 0);
    testing::internal::CaptureStderr();
    CCyDevice device(nullptr, kDriverInterfaceClass, 1);
    const std::string shown = testing::internal::GetCapturedStderr();
    EXPECT_NE(shown.find("Wrong Device Configuration"), std::string::npos) << shown;
    EXPECT_EQ(device.driverHandle, INVALID_HANDLE_VALUE);
}

TEST_F(VirtualBoardTest, DetachedBoardFailsItsTransfers) {
    const int board = VekSimAttach(nullptr);
    CCyDevice device(nullptr, kDriverInterfaceClass, 1);
    CCyUSBEndPoint *requests = FindEndpoint(device, 0x04);
    ASSERT_NE(requests, nullptr);
    ASSERT_EQ(VekSimDetach(board), 0);
    uint8_t packet[8] = {};
    int32_t length = 8;
    EXPECT_FALSE(requests->SyncTransfer(packet, length));
    EXPECT_EQ(requests->lastError, ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(device.DeviceCount(), 0);
    device.CloseDevice();  // the handle of a detached board still closes cleanly
    EXPECT_EQ(device.driverHandle, INVALID_HANDLE_VALUE);
}

}  // namespace
}  // namespace vek

// The device and endpoint classes on the virtual board: the board found and
// opened through the driver's interface class, register packets on its bulk
// endpoints as the board receives them, control requests to the controller,
// a custom SuperSpeed device, an expired read and an unplugged board.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <tuple>
#include <vector>

#include "fake_driver.h"
#include "usb/device/usb_device.h"
#include "vek_sim.h"

namespace vek {
namespace {

using namespace test;  // the descriptor builders

std::vector<VekSimTraceEntry> Trace(uint32_t kind) {
    std::vector<VekSimTraceEntry> found;
    for (uint32_t i = 0; i < VekSimTraceCount(); ++i) {
        VekSimTraceEntry entry{};
        if (VekSimTraceGet(i, &entry) == 0 && entry.kind == kind) found.push_back(entry);
    }
    return found;
}

// One transfer driven as the register transport drives it: begin, a wait of
// at most 2000 ms, finish.
bool Transfer(CCyUSBEndPoint &endpoint, uint8_t *data, int32_t length = 8) {
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, FALSE, FALSE, "CYUSB_INOUT");
    uint8_t *block = endpoint.BeginTransfer(data, length, &ov);
    endpoint.WaitForTransfer(&ov, 2000);
    const bool ok = endpoint.FinishTransfer(data, length, &ov, block);
    CloseHandle(ov.hEvent);
    return ok && length == 8;
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

    // Attaches the stock board, opens it and finds its three bulk endpoints.
    void OpenBoard() {
        board = VekSimAttach(nullptr);
        device = std::make_unique<CCyDevice>(nullptr, kDriverInterfaceClass, 1);
        ASSERT_EQ(device->EndpointListSize(), 4);
        for (int i = 1; i < 4; ++i) {
            CCyUSBEndPoint *ep = device->endpointList[i];
            (ep->address == 0x02 ? frames : ep->address == 0x04 ? requests : replies) = ep;
        }
        ASSERT_TRUE(frames != nullptr && requests != nullptr && replies == device->bulkInEndpoint);
        VekSimTraceClear();
    }

    int board = -1;
    std::unique_ptr<CCyDevice> device;
    CCyUSBEndPoint *frames = nullptr, *requests = nullptr, *replies = nullptr;
};

TEST_F(VirtualBoardTest, RegisterPacketsOnTheBulkEndpoints) {
    ASSERT_NO_FATAL_FAILURE(OpenBoard());
    EXPECT_EQ(std::string(device->driverDeviceName).rfind("VEK4.0", 0), 0u) << device->driverDeviceName;
    EXPECT_TRUE(device->isHighSpeed);
    EXPECT_EQ(replies->maxPacketSize, 512);

    uint8_t write[8] = {0x30, 0, 0, 0, 0x78, 0x56, 0x34, 0x12};
    ASSERT_TRUE(Transfer(*requests, write));
    uint32_t value = 0;
    ASSERT_EQ(VekSimGetRegister(board, 0x30, &value), 0);
    EXPECT_EQ(value, 0x12345678u);

    uint8_t read[8] = {0x30, 0, 0, 0x80, 0, 0, 0, 0}, reply[8] = {};
    ASSERT_TRUE(Transfer(*requests, read));
    ASSERT_TRUE(Transfer(*replies, reply));
    std::memcpy(&value, reply + 4, 4);
    EXPECT_EQ(value, 0x12345678u);

    // Each packet went out as a direct request: a 38-byte block in, the
    // caller's 8 bytes as the data area.
    const auto seen = Trace(VEK_SIM_TRACE_REQUEST);
    ASSERT_EQ(seen.size(), 3u);
    for (const VekSimTraceEntry &e : seen) {
        EXPECT_EQ(std::tuple(e.code, e.inLength, e.outLength), std::tuple(ioctl::kDirectData, 38u, 8u));
    }
    EXPECT_EQ(seen[2].endpoint, 0x86u);
}

TEST_F(VirtualBoardTest, InWithNothingToDeliverExpiresAndIsAborted) {
    ASSERT_NO_FATAL_FAILURE(OpenBoard());
    replies->timeoutMs = 500;
    uint8_t buffer[8] = {};
    int32_t length = 8;
    EXPECT_FALSE(replies->SyncTransfer(buffer, length));
    EXPECT_EQ(length, 0);
    const auto aborts = Trace(VEK_SIM_TRACE_ABORT);
    ASSERT_EQ(aborts.size(), 1u);
    EXPECT_EQ(std::tuple(aborts[0].endpoint, aborts[0].bytes), std::tuple(0x86u, 1u));  // the one request ended

    // The same through the transport's steps: the 2000 ms wait expires, and
    // FinishTransfer ends the request before it frees the block.
    VekSimTraceClear();
    EXPECT_FALSE(Transfer(*replies, buffer));
    EXPECT_EQ(Trace(VEK_SIM_TRACE_ABORT).size(), 1u);
}

TEST_F(VirtualBoardTest, ControlWritesReachTheControllerRam) {
    ASSERT_NO_FATAL_FAILURE(OpenBoard());
    CCyControlEndPoint &control = *device->controlEndpoint;
    control.requestCode = 0xA0;
    control.value = 0x1000;
    control.index = 0;
    uint8_t code[16], ram[16] = {}, back[16] = {};
    for (int i = 0; i < 16; ++i) code[i] = static_cast<uint8_t>(0xC0 + i);
    int32_t length = 16;
    ASSERT_TRUE(control.ControlWrite(code, length));
    EXPECT_EQ(length, 16);
    ASSERT_EQ(VekSimReadControllerRam(board, 0x1000, ram, 16), 0);
    EXPECT_EQ(std::memcmp(ram, code, 16), 0);
    const auto controls = Trace(VEK_SIM_TRACE_CONTROL);
    ASSERT_FALSE(controls.empty());
    EXPECT_EQ(std::tuple(controls.back().bmRequestType, controls.back().wLength), std::tuple(0x40, 16));

    ASSERT_TRUE(control.ControlRead(back, length));
    EXPECT_EQ(length, 16);
    EXPECT_EQ(std::memcmp(back, code, 16), 0);
    EXPECT_EQ(Trace(VEK_SIM_TRACE_CONTROL).back().bmRequestType, 0xC0);
}

TEST_F(VirtualBoardTest, CustomSuperSpeedDevice) {
    const Bytes config =
        Configuration(Cat({Interface(0, 0, 3), Endpoint(0x01, 2, 1024), Companion(15), Endpoint(0x81, 2, 1024),
                           Companion(15), Endpoint(0x82, 3, 64, 4), Companion(0)}));
    const Bytes bos = Bos(Cat({SuperSpeedCapability(), ContainerId(), Usb20Extension()}), 3);
    ASSERT_GE(AttachCustom(config, DeviceDescriptor(0x0310, 9), bos), 0);
    CCyDevice device(nullptr, kDriverInterfaceClass, 1);
    ASSERT_NE(device.driverHandle, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(device.isSuperSpeed);
    EXPECT_EQ(device.ep0MaxPacketSize, 512u);
    ASSERT_NE(device.bosInfo, nullptr);
    EXPECT_NE(device.bosInfo->containerId, nullptr);
    ASSERT_EQ(device.EndpointListSize(), 4);
    EXPECT_EQ(std::tuple(device.bulkOutEndpoint->maxPacketSize, device.bulkInEndpoint->maxBurst,
                         device.interruptInEndpoint->interval),
              std::tuple(16384, 15, 4));
}

TEST_F(VirtualBoardTest, MalformedCustomConfigurationShowsTheMessage) {
    ASSERT_GE(AttachCustom(Configuration(Cat({Interface(0, 0, 2), Endpoint(0x02, 2, 512)}))), 0);
    testing::internal::CaptureStderr();
    CCyDevice device(nullptr, kDriverInterfaceClass, 1);
    const std::string shown = testing::internal::GetCapturedStderr();
    EXPECT_NE(shown.find("Wrong Device Configuration"), std::string::npos) << shown;
    EXPECT_EQ(device.driverHandle, INVALID_HANDLE_VALUE);
}

TEST_F(VirtualBoardTest, DetachedBoardFailsItsTransfers) {
    ASSERT_NO_FATAL_FAILURE(OpenBoard());
    ASSERT_EQ(VekSimDetach(board), 0);
    uint8_t packet[8] = {};
    EXPECT_FALSE(Transfer(*requests, packet));
    EXPECT_EQ(requests->lastError, ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(device->DeviceCount(), 0);
    device->CloseDevice();  // the handle of a detached board still closes cleanly
    EXPECT_EQ(device->driverHandle, INVALID_HANDLE_VALUE);
}

}  // namespace
}  // namespace vek

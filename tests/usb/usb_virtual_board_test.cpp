// The device and endpoint classes on the virtual board: an expired read and
// an unplugged board.
#include <gtest/gtest.h>

#include <memory>
#include <tuple>
#include <vector>

#include "usb/device/usb_device.h"
#include "vek_sim.h"

namespace vek {
namespace {

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
    ov.hEvent = vek::win32::CreateEventA(nullptr, FALSE, FALSE, "CYUSB_INOUT");
    uint8_t *block = endpoint.BeginTransfer(data, length, &ov);
    endpoint.WaitForTransfer(&ov, 2000);
    const bool ok = endpoint.FinishTransfer(data, length, &ov, block);
    vek::win32::CloseHandle(ov.hEvent);
    return ok && length == 8;
}

class VirtualBoardTest : public ::testing::Test {
protected:
    // Attaches the stock board and opens it; 0x04 carries requests, 0x86 replies.
    void SetUp() override {
        VekSimDetachAll();
        VekSimSetVirtualClock(1);
        board = VekSimAttach(nullptr);
        device = std::make_unique<CCyDevice>(nullptr, kDriverInterfaceClass, 1);
        ASSERT_EQ(device->EndpointListSize(), 4);
        requests = device->endpointList[2];
        replies = device->bulkInEndpoint;
        ASSERT_EQ(std::tuple(requests->address, replies->address), std::tuple(0x04, 0x86));
        VekSimTraceClear();
    }
    void TearDown() override { VekSimDetachAll(); }

    int board = -1;
    std::unique_ptr<CCyDevice> device;
    CCyUSBEndPoint *requests = nullptr, *replies = nullptr;
};

TEST_F(VirtualBoardTest, InWithNothingToDeliverExpiresAndIsAborted) {
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

TEST_F(VirtualBoardTest, DetachedBoardFailsItsTransfers) {
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

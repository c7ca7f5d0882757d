// The register transport on the virtual board: packets, replies, data moves,
// endpoint lookup, pipe reset and the ending of transfers that never complete.
#include <gtest/gtest.h>

#include <cstring>

#include "api/board_fixture.h"
#include "api/device_handle.h"
#include "transport/transport.h"
#include "usb/device/usb_device.h"
#include "usb/endpoint/usb_endpoint.h"

using namespace vektest;

namespace {

class TransportTest : public BoardTest {
protected:
    CCyDevice *device() { return handle_->device; }
    std::vector<VekSimTraceEntry> Entries(uint32_t kind) {
        std::vector<VekSimTraceEntry> out;
        for (uint32_t i = 0; i < VekSimTraceCount(); ++i) {
            VekSimTraceEntry e{};
            VekSimTraceGet(i, &e);
            if (e.kind == kind) out.push_back(e);
        }
        return out;
    }
};

TEST_F(TransportTest, WriteIsOneEightBytePacket) {
    uint32_t v = 0x5678;
    EXPECT_EQ(VekWriteReg(device(), 0x1234, &v), 0u);
    EXPECT_EQ(TraceLines(board_), Lines({"W 1234=5678"}));
    const auto data = Entries(VEK_SIM_TRACE_DATA);
    ASSERT_EQ(data.size(), 1u);
    EXPECT_EQ(data[0].endpoint, 0x04u);
    EXPECT_EQ(data[0].length, 8u);
}

TEST_F(TransportTest, ReadCarriesTheCallersValueAndTakesBytesFourToSeven) {
    ASSERT_EQ(VekSimSetRegister(board_, 0x10, 0xfeed), 0);
    VekSimTraceClear();
    uint32_t v = 0xabc;
    EXPECT_EQ(VekReadReg(device(), 0x10, &v), 0u);
    EXPECT_EQ(v, 0xfeedu);
    EXPECT_EQ(TraceLines(board_), Lines({"R 10=feed<abc"}));
    const auto data = Entries(VEK_SIM_TRACE_DATA);
    ASSERT_EQ(data.size(), 2u);
    EXPECT_EQ(data[1].endpoint, 0x86u);
    EXPECT_EQ(data[1].length, 8u);
}

TEST_F(TransportTest, ReplyAddressIsNotChecked) {
    const uint8_t stray[8] = {0x99, 0x99, 0x99, 0x99, 0x21, 0x43, 0x65, 0x87};
    ASSERT_EQ(VekSimQueueInData(board_, 0x86, stray, 8), 0);
    uint32_t v = 0;
    EXPECT_EQ(VekReadReg(device(), 0x10, &v), 0u);
    EXPECT_EQ(v, 0x87654321u);
}

TEST_F(TransportTest, FailedRequestHalfSendsNoReplyRequest) {
    const int64_t before = VekSimRequestCount(board_, 0x86);
    ASSERT_EQ(VekSimInjectFault(board_, 0x04, 1, VEK_SIM_FAULT_FAIL_AT_ISSUE), 0);
    uint32_t v = 0x42;
    EXPECT_EQ(VekReadReg(device(), 0x10, &v), 0xFFFFFFFFu);
    EXPECT_EQ(v, 0x42u);
    EXPECT_EQ(VekSimRequestCount(board_, 0x86), before);
    ASSERT_EQ(VekSimInjectFault(board_, 0x86, 1, VEK_SIM_FAULT_FAIL_AT_ISSUE), 0);
    EXPECT_EQ(VekReadReg(device(), 0x10, &v), 0xFFFFFFFFu);
    EXPECT_EQ(v, 0x42u);
}

TEST_F(TransportTest, ShortTransferStillSucceeds) {
    ASSERT_EQ(VekSimInjectFault(board_, 0x02, 1, VEK_SIM_FAULT_SHORT), 0);
    const uint8_t data[16] = {1, 2, 3};
    EXPECT_EQ(VekWriteData(device(), 16, data), 0u);
    const auto moved = Entries(VEK_SIM_TRACE_DATA);
    ASSERT_EQ(moved.size(), 1u);
    EXPECT_EQ(moved[0].length, 8u) << "the board saw half the bytes";
}

TEST_F(TransportTest, StalledTransferFailsUntilThePipeIsReset) {
    ASSERT_EQ(VekSimInjectFault(board_, 0x02, 1, VEK_SIM_FAULT_STALL), 0);
    const uint8_t data[16] = {};
    EXPECT_EQ(VekWriteData(device(), 16, data), 0xFFFFFFFFu);
    EXPECT_EQ(VekWriteData(device(), 16, data), 0xFFFFFFFFu);
    EXPECT_EQ(ResetUSBPipe(handle_, 0x02), 1);
    EXPECT_EQ(VekWriteData(device(), 16, data), 0u);
    EXPECT_NE(std::find(TraceLines(board_).begin(), TraceLines(board_).end(), "RESET 2"), TraceLines(board_).end());
}

// An IN transfer with nothing to deliver stays pending: after the 2000 ms wait
// the pipe is aborted, the request waited for until it has ended, and the
// transfer fails.
TEST_F(TransportTest, PendingTransferIsAbortedAfterTwoSeconds) {
    uint8_t buf[64];
    std::memset(buf, 0x5A, sizeof buf);
    const uint64_t start = VekSimClockMs();
    EXPECT_EQ(vek::ReadBulkData(device(), sizeof buf, buf), 0xFFFFFFFFu);
    EXPECT_GE(VekSimClockMs() - start, 2000u);
    EXPECT_EQ(TraceLines(board_), Lines({"ABORT 86"}));
    for (uint8_t b : buf) ASSERT_EQ(b, 0x5A);

    VekSimTraceClear();
    ASSERT_EQ(VekSimInjectFault(board_, 0x04, 1, VEK_SIM_FAULT_STAY_PENDING), 0);
    uint32_t v = 1;
    EXPECT_EQ(VekWriteReg(device(), 0x31, &v), 0xFFFFFFFFu);
    EXPECT_EQ(TraceLines(board_), Lines({"ABORT 4"}));
    // The pipe works again afterwards.
    EXPECT_EQ(VekWriteReg(device(), 0x31, &v), 0u);
    EXPECT_EQ(Reg(board_, 0x31), 1u);
}

TEST_F(TransportTest, NullArguments) {
    uint32_t v = 0;
    EXPECT_EQ(VekWriteReg(nullptr, 1, &v), 0xFFFFFFFFu);
    EXPECT_EQ(VekReadReg(nullptr, 1, &v), 0xFFFFFFFFu);
    EXPECT_EQ(VekWriteReg(device(), 1, nullptr), 0xFFFFFFFFu);
    EXPECT_EQ(VekReadReg(device(), 1, nullptr), 0xFFFFFFFFu);
    EXPECT_EQ(VekWriteData(nullptr, 0, nullptr), 0xFFFFFFFFu);
    EXPECT_EQ(VekWriteData(device(), 4, nullptr), 0xFFFFFFFFu);
    EXPECT_EQ(VekSimTraceCount(), 0u);
}

TEST_F(TransportTest, EndpointLookup) {
    EXPECT_NE(vek::FindBulkEndpoint(device(), 0x02), nullptr);
    EXPECT_NE(vek::FindBulkEndpoint(device(), 0x04), nullptr);
    EXPECT_EQ(vek::FindBulkEndpoint(device(), 0x86)->address, 0x86);
    EXPECT_EQ(vek::FindBulkEndpoint(device(), 0x00), nullptr) << "the control endpoint is never considered";
    EXPECT_EQ(vek::FindBulkEndpoint(device(), 0x102), nullptr) << "addresses compare as 32-bit numbers";
    EXPECT_EQ(vek::FindBulkEndpoint(device(), 0x06), nullptr);
    EXPECT_EQ(vek::FindBulkEndpoint(nullptr, 0x02), nullptr);
    EXPECT_EQ(ResetUSBPipe(handle_, 0x00), 0);
    EXPECT_FALSE(vek::BulkTransfer(nullptr, 0, device(), 0x00));
    EXPECT_EQ(VekSimTraceCount(), 0u);
}

// One interface with bulk 0x02, 0x04, 0x86, an interrupt IN 0x81 and an
// endpoint 0x08 whose attributes carry a bit beside "bulk".
TEST(TransportEndpoints, OnlyPlainBulkEndpointsAreFound) {
    VekSimDetachAll();
    VekSimSetVirtualClock(1);
    static const uint8_t config[] = {9, 2, 9 + 9 + 5 * 7, 0, 1, 1, 0, 0x80, 50,
                                     9, 4, 0, 0, 5, 0xff, 0, 0, 0,
                                     7, 5, 0x02, 2, 0x00, 0x02, 0,
                                     7, 5, 0x04, 2, 0x00, 0x02, 0,
                                     7, 5, 0x86, 2, 0x00, 0x02, 0,
                                     7, 5, 0x81, 3, 0x40, 0x00, 1,
                                     7, 5, 0x08, 6, 0x00, 0x02, 0};
    const uint8_t *configs[] = {config};
    const uint32_t lengths[] = {sizeof config};
    VekSimDeviceConfig c{};
    c.size = sizeof c;
    c.configurationCount = 1;
    c.configurations = configs;
    c.configurationLengths = lengths;
    ASSERT_GE(VekSimAttachCustom(&c), 0);
    DeviceHandle *h = nullptr;
    ASSERT_EQ(VekDevAlloc(0, &h, nullptr), DEV_OK);
    EXPECT_EQ(vek::FindBulkEndpoint(h->device, 0x81), nullptr);
    EXPECT_EQ(vek::FindBulkEndpoint(h->device, 0x08), nullptr);
    EXPECT_NE(vek::FindBulkEndpoint(h->device, 0x86), nullptr);
    EXPECT_EQ(ResetUSBPipe(h, 0x81), 0);
    EXPECT_EQ(ResetUSBPipe(h, 0x08), 0);
    EXPECT_EQ(ResetUSBPipe(h, 0x86), 1);
    EXPECT_EQ(VekDevFree(h), DEV_OK);
    VekSimDetachAll();
    VekSimSetVirtualClock(0);
}

}  // namespace

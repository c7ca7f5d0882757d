// The register transport on the virtual board: packets, replies, data moves,
// endpoint lookup, pipe reset and the ending of transfers that never complete.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "api/board_fixture.h"
#include "api/device_handle.h"
#include "transport/transport.h"
#include "usb/device/usb_device.h"
#include "usb/endpoint/usb_endpoint.h"

using namespace vektest;

namespace {

using TransportTest = BoardTest;

// A read takes bytes 4 to 7 of the 8-byte reply on 0x86, whatever its address
// (a stray reply is taken by the next read); a failed request half sends no
// reply request; a short transfer still succeeds; a stalled pipe fails until
// it is reset. (A failed or short reply half is the register calls' tests'.)
TEST_F(TransportTest, StrayFailedShortAndStalledTransfers) {
    const uint8_t stray[8] = {0x99, 0x99, 0x99, 0x99, 0x21, 0x43, 0x65, 0x87};
    ASSERT_EQ(VekSimQueueInData(board_, 0x86, stray, 8), 0);
    uint32_t v = 0xabc;
    EXPECT_EQ(VekReadReg(handle_->device, 0x10, &v), 0u);
    EXPECT_EQ(v, 0x87654321u);

    const int64_t before = VekSimRequestCount(board_, 0x86);
    ASSERT_EQ(VekSimInjectFault(board_, 0x04, 1, VEK_SIM_FAULT_FAIL_AT_ISSUE), 0);
    v = 0x42;
    EXPECT_EQ(VekReadReg(handle_->device, 0x10, &v), 0xFFFFFFFFu);
    EXPECT_EQ(VekSimRequestCount(board_, 0x86), before);

    VekSimTraceClear();
    ASSERT_EQ(VekSimInjectFault(board_, 0x02, 1, VEK_SIM_FAULT_SHORT), 0);
    const uint8_t data[16] = {1, 2, 3};
    EXPECT_EQ(VekWriteData(handle_->device, 16, data), 0u);
    EXPECT_EQ(TraceLines(board_), Lines({"OUT 2 8"})) << "the board saw half the bytes";

    VekSimTraceClear();
    ASSERT_EQ(VekSimInjectFault(board_, 0x02, 1, VEK_SIM_FAULT_STALL), 0);
    EXPECT_EQ(VekWriteData(handle_->device, 16, data), 0xFFFFFFFFu);
    EXPECT_EQ(VekWriteData(handle_->device, 16, data), 0xFFFFFFFFu);
    EXPECT_EQ(ResetUSBPipe(handle_, 0x02), 1);
    EXPECT_EQ(VekWriteData(handle_->device, 16, data), 0u);
    EXPECT_EQ(TraceLines(board_), Lines({"RESET 2", "OUT 2 16"}));
}

// A transfer with nothing to deliver stays pending: after the 2000 ms wait the
// pipe is aborted, the request waited for until it has ended, and it fails.
TEST_F(TransportTest, PendingTransferIsAbortedAfterTwoSeconds) {
    std::vector<uint8_t> buf(64, 0x5A);
    const uint64_t start = VekSimClockMs();
    EXPECT_EQ(vek::ReadBulkData(handle_->device, 64, buf.data()), 0xFFFFFFFFu);
    EXPECT_GE(VekSimClockMs() - start, 2000u);
    EXPECT_EQ(TraceLines(board_), Lines({"ABORT 86"}));
    EXPECT_EQ(buf, std::vector<uint8_t>(64, 0x5A)) << "the expired transfer wrote into the buffer";
    VekSimTraceClear();
    ASSERT_EQ(VekSimInjectFault(board_, 0x04, 1, VEK_SIM_FAULT_STAY_PENDING), 0);
    uint32_t v = 1;
    EXPECT_EQ(VekWriteReg(handle_->device, 0x31, &v), 0xFFFFFFFFu);
    EXPECT_EQ(TraceLines(board_), Lines({"ABORT 4"}));
    EXPECT_EQ(VekWriteReg(handle_->device, 0x31, &v), 0u) << "the pipe works again";
    EXPECT_EQ(Reg(board_, 0x31), 1u);
}

// Two boards driven from two threads: every transfer creates the one named,
// auto-reset event, so the other thread may take the signal of this thread's
// completion (its own wait) or clear it (by issuing). This thread's wait still
// ends with its own request, which completed, instead of running out.
TEST_F(TransportTest, AWaitEndsWithItsOwnRequestWhateverAnotherBoardsThreadDoesWithTheEvent) {
    const int second = VekSimAttach(nullptr);
    DeviceHandle *other = nullptr;
    ASSERT_EQ(VekDevAlloc(1, &other, nullptr), DEV_OK);
    struct Read {
        vek::CCyUSBEndPoint *ep;
        OVERLAPPED ov{};
        uint8_t reply[8] = {};
        uint8_t *block = nullptr;
        void Begin() {
            ov.hEvent = vek::win32::CreateEventA(nullptr, FALSE, FALSE, vek::kTransferEventName);
            block = ep->BeginTransfer(reply, sizeof reply, &ov);
        }
        bool Finish() {
            int32_t length = sizeof reply;
            const bool ok = ep->FinishTransfer(reply, length, &ov, block, nullptr);
            vek::win32::CloseHandle(ov.hEvent);
            return ok;
        }
    };
    for (const bool otherTakesTheSignal : {true, false}) {
        SCOPED_TRACE(otherTakesTheSignal ? "the other thread takes the signal" : "the other thread clears it");
        Read mine{vek::FindBulkEndpoint(handle_->device, 0x86)};
        Read theirs{vek::FindBulkEndpoint(other->device, 0x86)};
        mine.Begin();
        ASSERT_EQ(mine.ep->lastError, static_cast<uint32_t>(ERROR_IO_PENDING)) << "no reply yet";
        if (otherTakesTheSignal) std::thread([&] { theirs.Begin(); }).join();
        ASSERT_EQ(VekSimSetRegister(board_, 0x10, 0xbeef), 0);
        uint32_t v = 0;
        ASSERT_EQ(VekWriteReg(handle_->device, 0x10 | 0x80000000u, &v), 0u);  // my reply arrives
        std::thread([&] {
            if (otherTakesTheSignal)
                EXPECT_FALSE(theirs.ep->WaitForTransfer(&theirs.ov, 0)) << "its own request still waits";
            else
                theirs.Begin();
        }).join();
        EXPECT_TRUE(mine.ep->WaitForTransfer(&mine.ov, vek::kBulkWaitMs));
        EXPECT_TRUE(mine.Finish());
        EXPECT_EQ(mine.reply[4] | mine.reply[5] << 8, 0xbeef);
        ASSERT_EQ(VekWriteReg(other->device, 0x10 | 0x80000000u, &v), 0u);
        std::thread([&] {
            EXPECT_TRUE(theirs.ep->WaitForTransfer(&theirs.ov, vek::kBulkWaitMs));
            EXPECT_TRUE(theirs.Finish());
        }).join();
    }
    EXPECT_EQ(VekDevFree(other), DEV_OK);
    EXPECT_EQ(VekSimDetach(second), 0);
}

// On a second device with bulk 0x02, 0x04, 0x86, an interrupt IN 0x81 and an
// endpoint 0x08 whose attributes carry a bit beside "bulk", only plain bulk
// endpoints are found, never the control endpoint, addresses as 32-bit numbers.
TEST_F(TransportTest, EndpointLookup) {
    EXPECT_EQ(vek::FindBulkEndpoint(nullptr, 0x02), nullptr);
    EXPECT_FALSE(vek::BulkTransfer(nullptr, 0, handle_->device, 0x00));
    ASSERT_GE(AttachInterfaces({{0, 0, 0xFF, 0, 0, 0, {{0x02}, {0x04}, {0x86}, {0x81, 3, 64, 1}, {0x08, 6}}}}), 0);
    DeviceHandle *h = nullptr;
    ASSERT_EQ(VekDevAlloc(1, &h, nullptr), DEV_OK);
    EXPECT_EQ(vek::FindBulkEndpoint(h->device, 0x86)->address, 0x86);
    for (uint32_t address : {0x00u, 0x102u, 0x06u, 0x81u, 0x08u})
        EXPECT_EQ(vek::FindBulkEndpoint(h->device, address), nullptr) << address;
    for (uint8_t address : {0x81, 0x08}) EXPECT_EQ(ResetUSBPipe(h, address), 0) << address;
    EXPECT_EQ(ResetUSBPipe(h, 0x86), 1);
    EXPECT_EQ(VekDevFree(h), DEV_OK);
}

}  // namespace

// Endpoint transfers on a scripted driver: the request blocks as the driver
// receives them, the lengths and data reported back, the waits, the abort
// sequence, and what happens when the driver misbehaves.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <memory>
#include <vector>

#include "fake_driver.h"
#include "platform/clock.h"
#include "usb/endpoint/bulk_endpoint.h"
#include "usb/endpoint/control_endpoint.h"
#include "usb/endpoint/interrupt_endpoint.h"
#include "usb/endpoint/isoc_endpoint.h"

namespace vek {
namespace {

using platform::IoOutcome;
using platform::IoRequest;
using platform::IoState;
using test::Bytes;
using test::FakeUsb;
using test::HeadOf;

IoOutcome Complete(DWORD bytes, DWORD error = ERROR_SUCCESS) { return {IoState::Complete, error, bytes}; }
IoOutcome StaysPending() { return {IoState::Pending, ERROR_SUCCESS, 0}; }

class EndpointTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::SetVirtualClock(true);
        handle = fake.Open();
        ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    }
    void TearDown() override {
        fake.EndAllPending(ERROR_OPERATION_ABORTED);
        CloseHandle(handle);
    }

    std::unique_ptr<CCyBulkEndPoint> Bulk(uint8_t address, uint16_t maxPacket = 512) {
        const Bytes d = test::Endpoint(address, 2, maxPacket);
        return std::make_unique<CCyBulkEndPoint>(handle, d.data());
    }

    FakeUsb fake;
    HANDLE handle = INVALID_HANDLE_VALUE;
};

// --- construction ------------------------------------------------------------

struct ConstructionCase {
    const char *name;
    Bytes descriptor;
    Bytes companion;  // empty: plain form
    uint16_t maxPacketSize;
    uint16_t packetsPerMicroframe;
    bool isIn;
};

TEST(EndpointConstruction, PacketSizeArithmetic) {
    const ConstructionCase cases[] = {
        {"bulk OUT 512", test::Endpoint(0x02, 2, 512), {}, 512, 1, false},
        {"bulk IN 512", test::Endpoint(0x86, 2, 512), {}, 512, 1, true},
        {"three packets per microframe", test::Endpoint(0x81, 1, 0x1000 | 1024), {}, 3072, 3, true},
        {"bulk with burst 15", test::Endpoint(0x02, 2, 1024), test::Companion(15), 16384, 1, false},
        {"iso burst 2, mult 3", test::Endpoint(0x83, 1, 1024), test::Companion(1, 2, 6144), 6144, 1, true},
        {"interrupt ignores mult", test::Endpoint(0x84, 3, 1024), test::Companion(0, 2), 1024, 1, true},
        {"product wraps at 16 bits", test::Endpoint(0x83, 1, 0x1000 | 1024), test::Companion(15, 2), 16384, 3,
         true},
    };
    for (const ConstructionCase &c : cases) {
        SCOPED_TRACE(c.name);
        const HANDLE h = reinterpret_cast<HANDLE>(uintptr_t{0x1234});
        const CCyIsocEndPoint ep = c.companion.empty() ? CCyIsocEndPoint(h, c.descriptor.data())
                                                       : CCyIsocEndPoint(h, c.descriptor.data(), c.companion.data());
        EXPECT_EQ(ep.driverHandle, h);
        EXPECT_EQ(ep.maxPacketSize, c.maxPacketSize);
        EXPECT_EQ(ep.packetsPerMicroframe, c.packetsPerMicroframe);
        EXPECT_EQ(ep.isIn, c.isIn);
        EXPECT_EQ(ep.address, c.descriptor[2]);
        EXPECT_EQ(ep.attributes, c.descriptor[3]);
        EXPECT_EQ(ep.timeoutMs, 10000u);
        EXPECT_EQ(ep.directTransfer, 1u);
        if (!c.companion.empty()) {
            EXPECT_EQ(ep.companionLength, 6);
            EXPECT_EQ(ep.companionType, 0x30);
            EXPECT_EQ(ep.maxBurst, c.companion[2]);
            EXPECT_EQ(ep.bytesPerInterval, c.companion[4] | (c.companion[5] << 8));
        } else {
            EXPECT_EQ(ep.companionLength, 0);
            EXPECT_EQ(ep.bytesPerInterval, 0);
        }
    }
}

TEST(EndpointConstruction, WithoutDescriptor) {
    const CCyBulkEndPoint bulk(INVALID_HANDLE_VALUE, nullptr);
    EXPECT_EQ(bulk.driverHandle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(bulk.maxPacketSize, 0);
    EXPECT_EQ(bulk.packetsPerMicroframe, 0);
    EXPECT_FALSE(bulk.isIn);
    EXPECT_EQ(bulk.directTransfer, 1u);

    const CCyControlEndPoint control(INVALID_HANDLE_VALUE, nullptr);
    EXPECT_EQ(control.directTransfer, 0u);
    EXPECT_EQ(control.requestType, 2u);
    EXPECT_EQ(control.recipient, 0u);
    EXPECT_EQ(control.direction, 0u);
    EXPECT_EQ(control.timeoutMs, 10000u);
}

TEST(EndpointConstruction, CopyKeepsSettingsAndClearsOutcome) {
    const Bytes d = test::Endpoint(0x86, 2, 512);
    CCyBulkEndPoint original(reinterpret_cast<HANDLE>(uintptr_t{0x99}), d.data());
    original.timeoutMs = 1234;
    original.directTransfer = 0;
    original.lastError = 997;
    const CCyBulkEndPoint copy(original);
    EXPECT_EQ(copy.driverHandle, original.driverHandle);
    EXPECT_EQ(copy.timeoutMs, 1234u);
    EXPECT_EQ(copy.directTransfer, 0u);
    EXPECT_TRUE(copy.isIn);
    EXPECT_EQ(copy.lastError, 0u);
}

// --- request blocks as the driver receives them ------------------------------

TEST_F(EndpointTest, DirectBlockCarriesOnlyTheHead) {
    auto ep = Bulk(0x02);
    std::vector<uint8_t> data(512, 0x5A);
    int32_t length = 512;
    ASSERT_TRUE(ep->SyncTransfer(data.data(), length));
    ASSERT_EQ(fake.Count(ioctl::kDirectData), 1u);
    const test::Recorded r = fake.Requests(ioctl::kDirectData)[0];
    ASSERT_EQ(r.in.size(), 38u);
    EXPECT_EQ(r.out, data.data());  // the caller's buffer itself, no copy
    EXPECT_EQ(r.outLength, 512u);
    const test::Head head = HeadOf(r);
    EXPECT_EQ(head.endpointAddress, 0x02);
    EXPECT_EQ(head.bmRequestType, 0);
    EXPECT_EQ(head.timeoutSeconds, 0u);
    EXPECT_EQ(head.isoPacketLength, 0u);
    EXPECT_EQ(head.bufferOffset, 0u);
    EXPECT_EQ(head.bufferLength, 0u);
    EXPECT_EQ(length, 512);
    EXPECT_EQ(ep->bytesTransferred, 512);
}

TEST_F(EndpointTest, BufferedBlockCarriesTheData) {
    auto ep = Bulk(0x02);
    ep->directTransfer = 0;
    std::vector<uint8_t> data(100);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i);
    int32_t length = 100;
    ASSERT_TRUE(ep->SyncTransfer(data.data(), length));
    ASSERT_EQ(fake.Count(ioctl::kBufferedData), 1u);
    const test::Recorded r = fake.Requests(ioctl::kBufferedData)[0];
    ASSERT_EQ(r.in.size(), 138u);
    EXPECT_EQ(r.outLength, 138u);
    const test::Head head = HeadOf(r);
    EXPECT_EQ(head.endpointAddress, 0x02);
    EXPECT_EQ(head.bufferOffset, 38u);
    EXPECT_EQ(head.bufferLength, 100u);
    EXPECT_EQ(head.isoPacketLength, 0u);
    EXPECT_EQ(Bytes(r.in.begin() + 38, r.in.end()), data);
    EXPECT_EQ(length, 100);
}

TEST_F(EndpointTest, ZeroLengthBulkIsIssued) {
    auto ep = Bulk(0x02);
    int32_t length = 0;
    EXPECT_TRUE(ep->SyncTransfer(nullptr, length));
    ASSERT_EQ(fake.Count(ioctl::kDirectData), 1u);
    EXPECT_EQ(fake.Requests(ioctl::kDirectData)[0].outLength, 0u);
    EXPECT_EQ(length, 0);
}

// Reported lengths: direct reports the byte count, buffered the count less
// the 38-byte head, a zero count zero in both.
TEST_F(EndpointTest, ReportedLengths) {
    struct Case {
        uint32_t directTransfer;
        DWORD completed;
        int32_t reported;
    };
    const Case cases[] = {{1, 512, 512}, {0, 550, 512}, {1, 0, 0}, {0, 0, 0}};
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "direct " << c.directTransfer << " completed " << c.completed);
        auto ep = Bulk(0x86);
        ep->directTransfer = c.directTransfer;
        fake.onData = [&](IoRequest &) { return Complete(c.completed); };
        std::vector<uint8_t> buffer(512);
        int32_t length = 512;
        EXPECT_TRUE(ep->SyncTransfer(buffer.data(), length));
        EXPECT_EQ(length, c.reported);
        EXPECT_EQ(ep->bytesTransferred, c.reported);
    }
}

TEST_F(EndpointTest, BufferedInCopiesOnlyWhatArrived) {
    auto ep = Bulk(0x86);
    ep->directTransfer = 0;
    fake.onData = [](IoRequest &r) {
        std::memset(static_cast<uint8_t *>(r.out) + 38, 0xAB, r.outLength - 38);  // driver fills the whole area
        return Complete(38 + 10);                                                // but reports 10 bytes
    };
    std::vector<uint8_t> buffer(64, 0x11);
    int32_t length = 64;
    ASSERT_TRUE(ep->SyncTransfer(buffer.data(), length));
    EXPECT_EQ(length, 10);
    for (int i = 0; i < 64; ++i) EXPECT_EQ(buffer[i], i < 10 ? 0xAB : 0x11) << i;
}

// --- waits, expiry and abort -------------------------------------------------

TEST_F(EndpointTest, CompletionInsideTheCallNeedsNoWait) {
    auto ep = Bulk(0x02);
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    uint8_t data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    uint8_t *block = ep->BeginTransfer(data, 8, &ov);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(ep->lastError, 0u);
    EXPECT_TRUE(ep->WaitForTransfer(&ov, 2000));
    EXPECT_TRUE(ep->WaitForTransfer(&ov, 2000));  // no event was consumed: still true
    int32_t length = 8;
    EXPECT_TRUE(ep->FinishTransfer(data, length, &ov, block));
    EXPECT_EQ(length, 8);
    EXPECT_EQ(fake.Count(ioctl::kAbortPipe), 0u);
    CloseHandle(ov.hEvent);
}

TEST_F(EndpointTest, PendingRequestEndedByTheDriver) {
    auto ep = Bulk(0x86);
    fake.onData = [](IoRequest &) { return StaysPending(); };
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    uint8_t buffer[8] = {};
    uint8_t *block = ep->BeginTransfer(buffer, 8, &ov);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(ep->lastError, ERROR_IO_PENDING);
    ASSERT_EQ(fake.pending.size(), 1u);
    std::memset(fake.pending.front().request.out, 0x42, 8);
    fake.EndPending(ERROR_SUCCESS, 8);
    EXPECT_TRUE(ep->WaitForTransfer(&ov, 2000));
    int32_t length = 8;
    EXPECT_TRUE(ep->FinishTransfer(buffer, length, &ov, block));
    EXPECT_EQ(length, 8);
    EXPECT_EQ(buffer[7], 0x42);
    CloseHandle(ov.hEvent);
}

TEST_F(EndpointTest, ZeroTimeoutExpiresAtOnceAndAborts) {
    auto ep = Bulk(0x86);
    ep->timeoutMs = 0;
    fake.onData = [](IoRequest &) { return StaysPending(); };
    fake.abortedBytes = 3;
    std::vector<uint8_t> buffer(16);
    int32_t length = 16;
    EXPECT_FALSE(ep->SyncTransfer(buffer.data(), length));
    ASSERT_EQ(fake.Count(ioctl::kAbortPipe), 1u);
    const test::Recorded abort = fake.Requests(ioctl::kAbortPipe)[0];
    EXPECT_EQ(abort.in, Bytes{0x86});
    EXPECT_EQ(length, 3);  // what had arrived is still reported
    EXPECT_TRUE(fake.pending.empty());
}

TEST_F(EndpointTest, SecondAbortWhenTheFirstEndsNothing) {
    auto ep = Bulk(0x86);
    ep->timeoutMs = 100;
    fake.onData = [](IoRequest &) { return StaysPending(); };
    fake.abortsIgnored = 1;
    uint8_t buffer[8];
    int32_t length = 8;
    EXPECT_FALSE(ep->SyncTransfer(buffer, length));
    EXPECT_EQ(fake.Count(ioctl::kAbortPipe), 2u);
    EXPECT_EQ(length, 0);
}

// A caller's wait expired and the block is handed to FinishTransfer with the
// request still running: it is ended first (abort, then a wait), and only
// then is the block freed.
TEST_F(EndpointTest, FinishEndsARequestStillInProgress) {
    auto ep = Bulk(0x86);
    fake.onData = [](IoRequest &) { return StaysPending(); };
    fake.abortedBytes = 5;
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    uint8_t buffer[8] = {};
    uint8_t *block = ep->BeginTransfer(buffer, 8, &ov);
    ASSERT_NE(block, nullptr);
    EXPECT_FALSE(ep->WaitForTransfer(&ov, 2000));
    EXPECT_EQ(fake.pending.size(), 1u);
    EXPECT_EQ(fake.Count(ioctl::kAbortPipe), 0u);  // the wait aborts nothing
    int32_t length = 8;
    EXPECT_FALSE(ep->FinishTransfer(buffer, length, &ov, block));
    EXPECT_EQ(fake.Count(ioctl::kAbortPipe), 1u);
    EXPECT_TRUE(fake.pending.empty());
    EXPECT_EQ(length, 5);
    CloseHandle(ov.hEvent);
}

TEST_F(EndpointTest, FailureAtIssue) {
    auto ep = Bulk(0x02);
    fake.onData = [](IoRequest &) { return IoOutcome{IoState::Failed, ERROR_DEVICE_NOT_CONNECTED, 0}; };
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    uint8_t data[8] = {};
    uint8_t *block = ep->BeginTransfer(data, 8, &ov);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(ep->lastError, ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_FALSE(ep->WaitForTransfer(&ov, 2000));
    int32_t length = 8;
    EXPECT_FALSE(ep->FinishTransfer(data, length, &ov, block));
    EXPECT_EQ(length, 0);
    EXPECT_EQ(fake.Count(ioctl::kAbortPipe), 0u);  // nothing pending, nothing to end
    CloseHandle(ov.hEvent);

    int32_t syncLength = 8;
    EXPECT_FALSE(ep->SyncTransfer(data, syncLength));
    EXPECT_EQ(ep->lastError, ERROR_DEVICE_NOT_CONNECTED);
}

TEST_F(EndpointTest, StatusWordWithDataIsAFailureThatReportsTheData) {
    auto ep = Bulk(0x86);
    ep->directTransfer = 0;
    fake.onData = [](IoRequest &r) {
        auto *head = static_cast<TransferRequest *>(r.in);
        head->usbdStatus = kUsbdStatusStall;
        std::memset(static_cast<uint8_t *>(r.out) + 38, 0x77, 4);
        return Complete(38 + 4);
    };
    uint8_t buffer[8] = {};
    int32_t length = 8;
    EXPECT_FALSE(ep->SyncTransfer(buffer, length));
    EXPECT_EQ(length, 4);
    EXPECT_EQ(ep->usbdStatus, kUsbdStatusStall);
    EXPECT_EQ(ep->ntStatus, 0u);
    EXPECT_EQ(buffer[3], 0x77);
    EXPECT_EQ(buffer[4], 0);
}

TEST_F(EndpointTest, ClosedHandleIssuesNothing) {
    const Bytes d = test::Endpoint(0x86, 2, 512);
    CCyBulkEndPoint ep(INVALID_HANDLE_VALUE, d.data());
    OVERLAPPED ov{};
    uint8_t buffer[8] = {9, 9, 9, 9, 9, 9, 9, 9};
    EXPECT_EQ(ep.BeginTransfer(buffer, 8, &ov), nullptr);
    ep.directTransfer = 0;
    EXPECT_EQ(ep.BeginTransfer(buffer, 8, &ov), nullptr);
    int32_t length = 8;
    EXPECT_FALSE(ep.FinishTransfer(buffer, length, &ov, nullptr));
    EXPECT_EQ(length, 0);
    EXPECT_EQ(buffer[0], 9);
    length = 8;
    EXPECT_FALSE(ep.SyncTransfer(buffer, length));
    EXPECT_EQ(length, 0);
    EXPECT_FALSE(ep.ResetPipe());
    EXPECT_EQ(ep.lastError, ERROR_INVALID_HANDLE);
    EXPECT_TRUE(ep.AbortPipe());
    CCyControlEndPoint control(INVALID_HANDLE_VALUE, nullptr);
    length = 4;
    EXPECT_FALSE(control.ControlWrite(buffer, length));
    EXPECT_EQ(length, 0);
    EXPECT_TRUE(fake.log.empty());
}

TEST_F(EndpointTest, ResetPipeIsOneSynchronousRequest) {
    auto ep = Bulk(0x86);
    EXPECT_TRUE(ep->ResetPipe());
    ASSERT_EQ(fake.Count(ioctl::kResetPipe), 1u);
    EXPECT_EQ(fake.Requests(ioctl::kResetPipe)[0].in, Bytes{0x86});
    EXPECT_EQ(fake.Requests(ioctl::kResetPipe)[0].outLength, 0u);
    fake.failCode.insert(ioctl::kResetPipe);
    EXPECT_FALSE(ep->ResetPipe());
    EXPECT_EQ(ep->lastError, ERROR_GEN_FAILURE);
}

// --- a driver that does not keep to the block --------------------------------

TEST_F(EndpointTest, DriverRewritingTheHeadOrOverReportingIsContained) {
    struct Case {
        const char *name;
        uint32_t directTransfer;
        uint32_t newBufferOffset;
        DWORD completed;
        int32_t reported;
    };
    const Case cases[] = {
        {"direct, more bytes than asked", 1, 0, 4096, 16},
        {"buffered, more bytes than asked", 0, 38, 38 + 4096, 16},
        {"buffered, offset moved far out", 0, 0x7FFFFFF0, 38 + 16, 16},
        {"buffered, offset moved to 0", 0, 0, 38 + 16, 16},
        {"buffered, count below the head", 0, 38, 20, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        auto ep = Bulk(0x86);
        ep->directTransfer = c.directTransfer;
        fake.onData = [&](IoRequest &r) {
            auto *head = static_cast<TransferRequest *>(r.in);
            head->bufferOffset = c.newBufferOffset;
            head->isoPacketOffset = 0x7FFFFFF0;
            head->isoPacketLength = 0x1000;
            return Complete(c.completed);
        };
        std::vector<uint8_t> buffer(16 + 8, 0xEE);  // 8 guard bytes after the caller's 16
        std::array<uint8_t, 8> packets{};
        int32_t length = 16;
        ep->SyncTransfer(buffer.data(), length, packets.data());
        EXPECT_EQ(length, c.reported);
        for (int i = 16; i < 24; ++i) EXPECT_EQ(buffer[i], 0xEE);
        EXPECT_EQ(packets, (std::array<uint8_t, 8>{}));  // no packet area was sent, none is copied
    }
}

// --- control endpoint ----------------------------------------------------------

TEST_F(EndpointTest, ControlRequestType) {
    struct Case {
        uint32_t recipient, requestType;
        bool read;
        uint8_t bmRequestType;
    };
    const Case cases[] = {
        {0, 2, false, 0x40}, {0, 2, true, 0xC0}, {0x21, 2, false, 0x41}, {0, 6, false, 0x40},
        {2, 1, true, 0xA2},  {3, 0, false, 0x03},
    };
    CCyControlEndPoint control(handle, nullptr);
    for (const Case &c : cases) {
        control.recipient = c.recipient;
        control.requestType = c.requestType;
        control.requestCode = 0xA0;
        control.value = 0x1234;
        control.index = 0xBEEF;
        uint8_t data[4] = {1, 2, 3, 4};
        int32_t length = 4;
        EXPECT_TRUE(c.read ? control.ControlRead(data, length) : control.ControlWrite(data, length));
        const test::Recorded r = fake.log.back();
        ASSERT_EQ(r.code, ioctl::kControlRequest);
        const test::Head head = HeadOf(r);
        EXPECT_EQ(head.bmRequestType, c.bmRequestType);
        EXPECT_EQ(head.bRequest, 0xA0);
        EXPECT_EQ(head.wValue, 0x1234);
        EXPECT_EQ(head.wIndex, 0xBEEF);
        EXPECT_EQ(head.wLength, 4);
        EXPECT_EQ(head.endpointAddress, 0);
        EXPECT_EQ(head.bufferOffset, 38u);
        EXPECT_EQ(head.bufferLength, 4u);
        EXPECT_EQ(r.in.size(), 42u);
        EXPECT_EQ(Bytes(r.in.begin() + 38, r.in.end()), (Bytes{1, 2, 3, 4}));  // copied for reads too
        EXPECT_EQ(control.isIn, c.read);
    }
}

TEST_F(EndpointTest, ControlTimeoutSeconds) {
    const std::pair<uint32_t, uint32_t> cases[] = {{500, 1}, {1999, 1}, {10000, 10}, {0, 0}, {1000, 1}, {999, 1}};
    CCyControlEndPoint control(handle, nullptr);
    for (auto [ms, seconds] : cases) {
        control.timeoutMs = ms;
        uint8_t data[1] = {0};
        int32_t length = 1;
        control.ControlWrite(data, length);
        EXPECT_EQ(HeadOf(fake.log.back()).timeoutSeconds, seconds) << ms;
    }
}

TEST_F(EndpointTest, ControlLengths) {
    CCyControlEndPoint control(handle, nullptr);
    int32_t length = 0;
    EXPECT_TRUE(control.ControlWrite(nullptr, length));
    EXPECT_EQ(fake.log.back().in.size(), 38u);
    EXPECT_EQ(HeadOf(fake.log.back()).wLength, 0);
    EXPECT_EQ(length, 0);

    std::vector<uint8_t> big(70000, 0x3C);
    length = 70000;
    EXPECT_TRUE(control.ControlWrite(big.data(), length));
    EXPECT_EQ(HeadOf(fake.log.back()).wLength, 70000 & 0xFFFF);
    EXPECT_EQ(HeadOf(fake.log.back()).bufferLength, 70000u);
    EXPECT_EQ(length, 70000);
}

TEST_F(EndpointTest, ControlReadReturnsTheReply) {
    fake.onData = [](IoRequest &r) {
        const uint8_t reply[3] = {0xDE, 0xAD, 0x01};
        std::memcpy(static_cast<uint8_t *>(r.out) + 38, reply, 3);
        return Complete(38 + 3);
    };
    CCyControlEndPoint control(handle, nullptr);
    uint8_t buffer[8] = {};
    int32_t length = 8;
    EXPECT_TRUE(control.ControlRead(buffer, length));
    EXPECT_EQ(length, 3);
    EXPECT_EQ(buffer[0], 0xDE);
    EXPECT_EQ(buffer[2], 0x01);
    EXPECT_EQ(buffer[3], 0);
    EXPECT_EQ(control.direction, 1u);
}

// --- isochronous ----------------------------------------------------------------

TEST_F(EndpointTest, IsochronousBlocks) {
    struct Case {
        uint32_t directTransfer;
        int32_t length;
        uint32_t packets;
        uint32_t code;
        size_t blockSize;
        uint32_t bufferOffset;
    };
    const Case cases[] = {
        {0, 1000, 2, ioctl::kBufferedData, 1054, 54}, {1, 1000, 2, ioctl::kDirectData, 54, 0},
        {0, 1024, 2, ioctl::kBufferedData, 1078, 54}, {0, 1025, 3, ioctl::kBufferedData, 1087, 62},
        {1, 1, 1, ioctl::kDirectData, 46, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "length " << c.length << " direct " << c.directTransfer);
        const Bytes d = test::Endpoint(0x83, 0x05, 512);
        CCyIsocEndPoint ep(handle, d.data());
        ep.directTransfer = c.directTransfer;
        EXPECT_EQ(ep.PacketCount(c.length), static_cast<int32_t>(c.packets));
        fake.onData = [&](IoRequest &r) {
            auto *records = static_cast<uint8_t *>(r.in) + 38;
            for (uint32_t i = 0; i < 8 * c.packets; ++i) records[i] = static_cast<uint8_t>(0x10 + i);
            return Complete(c.directTransfer == 1 ? static_cast<DWORD>(c.length)
                                                  : static_cast<DWORD>(c.blockSize));
        };
        std::vector<uint8_t> buffer(static_cast<size_t>(c.length));
        std::vector<uint8_t> packets(8 * c.packets + 8, 0xCC);
        int32_t length = c.length;
        EXPECT_TRUE(ep.SyncTransfer(buffer.data(), length, packets.data()));
        const test::Recorded r = fake.log.back();
        EXPECT_EQ(r.code, c.code);
        ASSERT_EQ(r.in.size(), c.blockSize);
        const test::Head head = HeadOf(r);
        EXPECT_EQ(head.endpointAddress, 0x83);
        EXPECT_EQ(head.isoPacketOffset, 38u);
        EXPECT_EQ(head.isoPacketLength, 8 * c.packets);
        EXPECT_EQ(head.bufferOffset, c.bufferOffset);
        EXPECT_EQ(head.bufferLength, c.directTransfer == 1 ? 0u : static_cast<uint32_t>(c.length));
        EXPECT_EQ(head.timeoutSeconds, 0u);
        if (c.directTransfer == 1) {
            EXPECT_EQ(r.out, buffer.data());
            EXPECT_EQ(r.outLength, static_cast<uint32_t>(c.length));
        }
        EXPECT_EQ(length, c.length);
        for (uint32_t i = 0; i < 8 * c.packets; ++i) EXPECT_EQ(packets[i], 0x10 + i);
        EXPECT_EQ(packets[8 * c.packets], 0xCC);  // nothing past the n records
    }
}

TEST_F(EndpointTest, IsochronousIssuesNothingWithoutPackets) {
    const Bytes d = test::Endpoint(0x83, 0x01, 512);
    CCyIsocEndPoint ep(handle, d.data());
    uint8_t buffer[4] = {};
    int32_t length = 0;
    EXPECT_FALSE(ep.SyncTransfer(buffer, length));
    ep.maxPacketSize = 0;
    length = 4;
    EXPECT_FALSE(ep.SyncTransfer(buffer, length));
    EXPECT_EQ(length, 0);
    EXPECT_TRUE(fake.log.empty());
}

TEST_F(EndpointTest, InterruptTakesTheDirectPath) {
    const Bytes d = test::Endpoint(0x81, 0x03, 64, 4);
    CCyInterruptEndPoint ep(handle, d.data());
    EXPECT_EQ(ep.interval, 4);
    uint8_t buffer[64];
    int32_t length = 64;
    EXPECT_TRUE(ep.SyncTransfer(buffer, length));
    EXPECT_EQ(fake.Count(ioctl::kDirectData), 1u);
    ep.directTransfer = 2;  // any value but 1: buffered
    EXPECT_TRUE(ep.SyncTransfer(buffer, length));
    EXPECT_EQ(fake.Count(ioctl::kBufferedData), 1u);
}

TEST_F(EndpointTest, NegativeLengthIssuesNothing) {
    auto ep = Bulk(0x02);
    uint8_t buffer[4] = {};
    int32_t length = -1;
    EXPECT_FALSE(ep->SyncTransfer(buffer, length));
    EXPECT_EQ(length, 0);
    ep->directTransfer = 0;
    length = -5;
    EXPECT_FALSE(ep->SyncTransfer(buffer, length));
    CCyControlEndPoint control(handle, nullptr);
    length = -1;
    EXPECT_FALSE(control.ControlWrite(buffer, length));
    EXPECT_TRUE(fake.log.empty());
}

}  // namespace
}  // namespace vek

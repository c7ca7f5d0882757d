// Endpoint transfers on a scripted driver: the request blocks as the driver
// receives them, the lengths and data reported back, the waits, the abort
// sequence, and what happens when the driver misbehaves.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <memory>
#include <tuple>
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
using test::HeadOf;

IoOutcome Complete(DWORD bytes) { return {IoState::Complete, ERROR_SUCCESS, bytes}; }
IoOutcome StaysPending(IoRequest &) { return {IoState::Pending, ERROR_SUCCESS, 0}; }

// An overlapped record with its own event, for the begin / wait / finish steps.
struct Overlapped : OVERLAPPED {
    Overlapped() : OVERLAPPED{} { hEvent = vek::win32::CreateEventA(nullptr, FALSE, FALSE, nullptr); }
    ~Overlapped() { vek::win32::CloseHandle(hEvent); }
};

class EndpointTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::SetVirtualClock(true);
        handle = fake.Open();
        ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    }
    void TearDown() override {
        fake.EndAllPending(ERROR_OPERATION_ABORTED);
        vek::win32::CloseHandle(handle);
    }
    std::unique_ptr<CCyBulkEndPoint> Bulk(uint8_t address, uint32_t directTransfer = 1) {
        const Bytes d = test::Endpoint(address, 2, 512);
        auto ep = std::make_unique<CCyBulkEndPoint>(handle, d.data());
        ep->directTransfer = directTransfer;
        return ep;
    }
    test::FakeUsb fake;
    HANDLE handle = INVALID_HANDLE_VALUE;
};

TEST(EndpointConstruction, PacketSizeArithmetic) {
    const struct {
        const char *name;
        Bytes descriptor, companion;  // companion empty: plain form
        uint16_t maxPacketSize, packetsPerMicroframe;
    } cases[] = {
        {"bulk OUT 512", test::Endpoint(0x02, 2, 512), {}, 512, 1},
        {"three packets per microframe", test::Endpoint(0x81, 1, 0x1000 | 1024), {}, 3072, 3},
        {"bulk with burst 15", test::Endpoint(0x02, 2, 1024), test::Companion(15), 16384, 1},
        {"iso burst 2, mult 3", test::Endpoint(0x83, 1, 1024), test::Companion(1, 2, 6144), 6144, 1},
        {"interrupt ignores mult", test::Endpoint(0x84, 3, 1024), test::Companion(0, 2), 1024, 1},
        {"product wraps at 16 bits", test::Endpoint(0x83, 1, 0x1000 | 1024), test::Companion(15, 2), 16384, 3},
    };
    const HANDLE h = reinterpret_cast<HANDLE>(uintptr_t{0x1234});
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const CCyIsocEndPoint ep = c.companion.empty() ? CCyIsocEndPoint(h, c.descriptor.data())
                                                       : CCyIsocEndPoint(h, c.descriptor.data(), c.companion.data());
        EXPECT_EQ(std::tuple(ep.maxPacketSize, ep.packetsPerMicroframe, ep.isIn),
                  std::tuple(c.maxPacketSize, c.packetsPerMicroframe, (c.descriptor[2] & 0x80) != 0));
        EXPECT_EQ(ep.bytesPerInterval, c.companion.empty() ? 0 : c.companion[4] | (c.companion[5] << 8));
    }
}

// --- request blocks as the driver receives them ---

// Direct: a 38-byte head, the caller's buffer as the data area. Buffered: the
// data copied after the head.
TEST_F(EndpointTest, BulkBlocks) {
    const struct {
        uint32_t directTransfer;
        int32_t length;
        uint32_t code;
        size_t blockSize;
        uint32_t outLength, bufferOffset;
    } cases[] = {
        {1, 512, ioctl::kDirectData, 38, 512, 0},
        {0, 100, ioctl::kBufferedData, 138, 138, 38},
        {1, 0, ioctl::kDirectData, 38, 0, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << "direct " << c.directTransfer << " length " << c.length);
        auto ep = Bulk(0x02, c.directTransfer);
        std::vector<uint8_t> data(static_cast<size_t>(c.length));
        for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i);
        int32_t length = c.length;
        ASSERT_TRUE(ep->SyncTransfer(data.data(), length));
        const test::Recorded r = fake.log.back();
        ASSERT_EQ(std::tuple(r.code, r.in.size(), r.outLength), std::tuple(c.code, c.blockSize, c.outLength));
        const test::Head h = HeadOf(r);
        EXPECT_EQ(std::tuple(h.endpointAddress, h.bmRequestType, h.timeoutSeconds, h.isoPacketLength, h.bufferOffset,
                             h.bufferLength),
                  std::tuple(0x02, 0, 0u, 0u, c.bufferOffset, c.directTransfer == 1 ? 0u : uint32_t(c.length)));
        if (c.directTransfer == 1 && c.length > 0) {
            EXPECT_EQ(r.out, data.data());
        }  // no copy
        if (c.directTransfer == 0) {
            EXPECT_EQ(Bytes(r.in.begin() + 38, r.in.end()), data);
        }
        EXPECT_EQ(std::tuple(length, ep->bytesTransferred), std::tuple(c.length, c.length));
    }
}

// Reported lengths: direct reports the byte count, buffered the count less
// the 38-byte head, a zero count zero in both.
TEST_F(EndpointTest, ReportedLengths) {
    const struct {
        uint32_t directTransfer;
        DWORD completed;
        int32_t reported;
    } cases[] = {{1, 512, 512}, {0, 550, 512}, {1, 0, 0}, {0, 0, 0}};
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << "direct " << c.directTransfer << " completed " << c.completed);
        auto ep = Bulk(0x86, c.directTransfer);
        fake.onData = [&](IoRequest &) { return Complete(c.completed); };
        std::vector<uint8_t> buffer(512);
        int32_t length = 512;
        EXPECT_TRUE(ep->SyncTransfer(buffer.data(), length));
        EXPECT_EQ(std::tuple(length, ep->bytesTransferred), std::tuple(c.reported, c.reported));
    }
}

TEST_F(EndpointTest, BufferedInCopiesOnlyWhatArrived) {
    auto ep = Bulk(0x86, 0);
    fake.onData = [](IoRequest &r) {
        std::memset(static_cast<uint8_t *>(r.out) + 38, 0xAB, r.outLength - 38);  // driver fills the whole area
        return Complete(38 + 10);                                                 // but reports 10 bytes
    };
    std::vector<uint8_t> buffer(64, 0x11);
    int32_t length = 64;
    ASSERT_TRUE(ep->SyncTransfer(buffer.data(), length));
    EXPECT_EQ(length, 10);
    for (int i = 0; i < 64; ++i) EXPECT_EQ(buffer[i], i < 10 ? 0xAB : 0x11) << i;
}

// --- waits, expiry and abort ---

TEST_F(EndpointTest, CompletionInsideTheCallNeedsNoWait) {
    auto ep = Bulk(0x02);
    Overlapped ov;
    uint8_t data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    uint8_t *block = ep->BeginTransfer(data, 8, &ov);
    ASSERT_NE(block, nullptr);
    EXPECT_TRUE(ep->WaitForTransfer(&ov, 2000));
    EXPECT_TRUE(ep->WaitForTransfer(&ov, 2000));  // no event was consumed: still true
    int32_t length = 8;
    EXPECT_TRUE(ep->FinishTransfer(data, length, &ov, block));
    EXPECT_EQ(length, 8);
    EXPECT_EQ(fake.Count(ioctl::kAbortPipe), 0u);
}

// An expired request is aborted (a second abort when the first ends nothing);
// what had arrived is still reported.
TEST_F(EndpointTest, ExpiryAbortsThePipe) {
    const struct {
        uint32_t timeoutMs;
        int abortsIgnored;
        DWORD abortedBytes;
        size_t aborts;
        int32_t reported;
    } cases[] = {{0, 0, 3, 1, 3}, {100, 1, 0, 2, 0}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.timeoutMs);
        fake.log.clear();
        auto ep = Bulk(0x86);
        ep->timeoutMs = c.timeoutMs;
        fake.onData = StaysPending;
        fake.abortsIgnored = c.abortsIgnored;
        fake.abortedBytes = c.abortedBytes;
        uint8_t buffer[16];
        int32_t length = 16;
        EXPECT_FALSE(ep->SyncTransfer(buffer, length));
        ASSERT_EQ(fake.Count(ioctl::kAbortPipe), c.aborts);
        EXPECT_EQ(fake.Requests(ioctl::kAbortPipe)[0].in, Bytes{0x86});
        EXPECT_EQ(length, c.reported);
        EXPECT_TRUE(fake.pending.empty());
    }
}

// A caller's wait expired and the block is handed to FinishTransfer with the
// request still running: it is ended first (abort, then a wait), and only
// then is the block freed.
TEST_F(EndpointTest, FinishEndsARequestStillInProgress) {
    auto ep = Bulk(0x86);
    fake.onData = StaysPending;
    fake.abortedBytes = 5;
    Overlapped ov;
    uint8_t buffer[8] = {};
    uint8_t *block = ep->BeginTransfer(buffer, 8, &ov);
    EXPECT_FALSE(ep->WaitForTransfer(&ov, 2000));
    EXPECT_EQ(fake.Count(ioctl::kAbortPipe), 0u);  // the wait aborts nothing
    int32_t length = 8;
    EXPECT_FALSE(ep->FinishTransfer(buffer, length, &ov, block));
    EXPECT_EQ(fake.Count(ioctl::kAbortPipe), 1u);
    EXPECT_TRUE(fake.pending.empty());
    EXPECT_EQ(length, 5);
}

TEST_F(EndpointTest, FailureAtIssue) {
    auto ep = Bulk(0x02);
    fake.onData = [](IoRequest &) { return IoOutcome{IoState::Failed, ERROR_DEVICE_NOT_CONNECTED, 0}; };
    Overlapped ov;
    uint8_t data[8] = {};
    uint8_t *block = ep->BeginTransfer(data, 8, &ov);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(ep->lastError, ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_FALSE(ep->WaitForTransfer(&ov, 2000));
    int32_t length = 8;
    EXPECT_FALSE(ep->FinishTransfer(data, length, &ov, block));
    EXPECT_EQ(length, 0);
    EXPECT_EQ(fake.Count(ioctl::kAbortPipe), 0u);  // nothing pending, nothing to end
    length = 8;
    EXPECT_FALSE(ep->SyncTransfer(data, length));
    EXPECT_EQ(ep->lastError, ERROR_DEVICE_NOT_CONNECTED);
}

TEST_F(EndpointTest, StatusWordWithDataIsAFailureThatReportsTheData) {
    auto ep = Bulk(0x86, 0);
    fake.onData = [](IoRequest &r) {
        static_cast<TransferRequest *>(r.in)->usbdStatus = kUsbdStatusStall;
        std::memset(static_cast<uint8_t *>(r.out) + 38, 0x77, 4);
        return Complete(38 + 4);
    };
    uint8_t buffer[8] = {};
    int32_t length = 8;
    EXPECT_FALSE(ep->SyncTransfer(buffer, length));
    EXPECT_EQ(std::tuple(length, ep->usbdStatus, buffer[3], buffer[4]), std::tuple(4, kUsbdStatusStall, 0x77, 0));
}

// Nothing reaches the driver through a closed handle, with a negative length,
// or for an isochronous transfer of no packets.
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

TEST_F(EndpointTest, NegativeLengthIssuesNothing) {
    uint8_t buffer[4] = {};
    for (uint32_t direct : {1u, 0u}) {
        int32_t length = -1;
        EXPECT_FALSE(Bulk(0x02, direct)->SyncTransfer(buffer, length));
        EXPECT_EQ(length, 0);
    }
    CCyControlEndPoint control(handle, nullptr);
    int32_t length = -1;
    EXPECT_FALSE(control.ControlWrite(buffer, length));
    EXPECT_TRUE(fake.log.empty());
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

TEST_F(EndpointTest, DriverRewritingTheHeadOrOverReportingIsContained) {
    const struct {
        const char *name;
        uint32_t directTransfer, newBufferOffset;
        DWORD completed;
        int32_t reported;
    } cases[] = {
        {"direct, more bytes than asked", 1, 0, 4096, 16},
        {"buffered, more bytes than asked", 0, 38, 38 + 4096, 16},
        {"buffered, offset moved far out", 0, 0x7FFFFFF0, 38 + 16, 16},
        {"buffered, offset moved to 0", 0, 0, 38 + 16, 16},
        {"buffered, count below the head", 0, 38, 20, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        auto ep = Bulk(0x86, c.directTransfer);
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

// --- control endpoint ---

TEST_F(EndpointTest, ControlRequestType) {
    const struct {
        uint32_t recipient, requestType;
        bool read;
        uint8_t bmRequestType;
    } cases[] = {
        {0, 2, false, 0x40}, {0, 2, true, 0xC0}, {0x21, 2, false, 0x41},
        {0, 6, false, 0x40}, {2, 1, true, 0xA2}, {3, 0, false, 0x03},
    };
    CCyControlEndPoint control(handle, nullptr);
    EXPECT_EQ(control.directTransfer, 0u);
    for (const auto &c : cases) {
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
        const test::Head h = HeadOf(r);
        EXPECT_EQ(std::tuple(h.bmRequestType, h.bRequest, h.wValue, h.wIndex, h.wLength, h.endpointAddress,
                             h.bufferOffset, h.bufferLength),
                  std::tuple(c.bmRequestType, 0xA0, 0x1234, 0xBEEF, 4, 0, 38u, 4u));
        EXPECT_EQ(Bytes(r.in.begin() + 38, r.in.end()), (Bytes{1, 2, 3, 4}));  // copied for reads too
        EXPECT_EQ(control.isIn, c.read);
    }
}

TEST_F(EndpointTest, ControlTimeoutSeconds) {
    CCyControlEndPoint control(handle, nullptr);
    for (auto [ms, seconds] : {std::pair{500u, 1u}, {1999u, 1u}, {10000u, 10u}, {0u, 0u}, {1000u, 1u}, {999u, 1u}}) {
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
    EXPECT_EQ(length, 0);
    std::vector<uint8_t> big(70000, 0x3C);
    length = 70000;
    EXPECT_TRUE(control.ControlWrite(big.data(), length));
    const test::Head h = HeadOf(fake.log.back());
    EXPECT_EQ(std::tuple(h.wLength, h.bufferLength, length), std::tuple(70000 & 0xFFFF, 70000u, 70000));
}

// --- isochronous and interrupt ---

TEST_F(EndpointTest, IsochronousBlocks) {
    const struct {
        uint32_t directTransfer;
        int32_t length;
        uint32_t packets, code;
        size_t blockSize;
        uint32_t bufferOffset;
    } cases[] = {
        {0, 1000, 2, ioctl::kBufferedData, 1054, 54}, {1, 1000, 2, ioctl::kDirectData, 54, 0},
        {0, 1024, 2, ioctl::kBufferedData, 1078, 54}, {0, 1025, 3, ioctl::kBufferedData, 1087, 62},
        {1, 1, 1, ioctl::kDirectData, 46, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << "length " << c.length << " direct " << c.directTransfer);
        const Bytes d = test::Endpoint(0x83, 0x05, 512);
        CCyIsocEndPoint ep(handle, d.data());
        ep.directTransfer = c.directTransfer;
        EXPECT_EQ(ep.PacketCount(c.length), static_cast<int32_t>(c.packets));
        fake.onData = [&](IoRequest &r) {
            auto *records = static_cast<uint8_t *>(r.in) + 38;
            for (uint32_t i = 0; i < 8 * c.packets; ++i) records[i] = static_cast<uint8_t>(0x10 + i);
            return Complete(static_cast<DWORD>(c.directTransfer == 1 ? c.length : c.blockSize));
        };
        std::vector<uint8_t> buffer(static_cast<size_t>(c.length));
        std::vector<uint8_t> packets(8 * c.packets + 8, 0xCC);
        int32_t length = c.length;
        EXPECT_TRUE(ep.SyncTransfer(buffer.data(), length, packets.data()));
        const test::Recorded r = fake.log.back();
        ASSERT_EQ(std::tuple(r.code, r.in.size()), std::tuple(c.code, c.blockSize));
        const test::Head h = HeadOf(r);
        EXPECT_EQ(
            std::tuple(h.endpointAddress, h.isoPacketOffset, h.isoPacketLength, h.bufferOffset, h.bufferLength,
                       h.timeoutSeconds),
            std::tuple(0x83, 38u, 8 * c.packets, c.bufferOffset, c.directTransfer == 1 ? 0u : uint32_t(c.length), 0u));
        if (c.directTransfer == 1) {
            EXPECT_EQ(r.out, buffer.data());
        }
        EXPECT_EQ(length, c.length);
        for (uint32_t i = 0; i < 8 * c.packets; ++i) EXPECT_EQ(packets[i], 0x10 + i);
        EXPECT_EQ(packets[8 * c.packets], 0xCC);  // nothing past the n records
    }
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

}  // namespace
}  // namespace vek

// Endpoint transfers on the virtual board: what the driver was asked, the
// lengths and data reported back, the waits and the abort sequence. A fake
// driver plays what the board cannot: blocks rewritten by the driver, aborts
// that end nothing or take a while, refusals that carry a byte count.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <memory>
#include <tuple>
#include <vector>

#include "drivers/sim/sim.h"
#include "fake_driver.h"
#include "platform/clock.h"
#include "usb/device/usb_device.h"
#include "usb/endpoint/bulk_endpoint.h"
#include "usb/endpoint/control_endpoint.h"
#include "usb/endpoint/isoc_endpoint.h"

namespace vek {
namespace {

using platform::IoOutcome;
using platform::IoRequest;
using platform::IoState;
using test::Bytes;

IoOutcome Complete(DWORD bytes) { return {IoState::Complete, ERROR_SUCCESS, bytes}; }

std::vector<VekSimTraceEntry> Requests(uint32_t code) {
    std::vector<VekSimTraceEntry> found;
    for (const VekSimTraceEntry &e : sim::TraceOf(VEK_SIM_TRACE_REQUEST))
        if (e.code == code) found.push_back(e);
    return found;
}

Bytes Pattern(size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i + 1);
    return b;
}

// An overlapped record with its own event, for the begin / wait / finish steps.
struct Overlapped : OVERLAPPED {
    Overlapped() : OVERLAPPED{} { hEvent = win32::CreateEventA(nullptr, FALSE, FALSE, nullptr); }
    ~Overlapped() { win32::CloseHandle(hEvent); }
};

// A device of bulk 0x01 OUT, 0x81 IN, isochronous 0x83 IN and interrupt 0x85 IN.
class EndpointTest : public ::testing::Test {
protected:
    void SetUp() override {
        VekSimSetVirtualClock(1);
        sim::DescriptorSet set = sim::VekBoardDescriptors("Maker", "Endpoints", "1");
        sim::ConfigurationSpec config;
        config.interfaces.push_back(
            {0, 0, 0xFF, 0, 0, 0, {{0x01, 2, 512}, {0x81, 2, 512}, {0x83, 1, 512, 1}, {0x85, 3, 64, 4}}});
        set.configurations = {sim::ConfigurationDescriptor(config)};
        ASSERT_EQ(sim::AttachDevice(set), 0);
        device = std::make_unique<CCyDevice>(nullptr, kDriverInterfaceClass, 1);
        ASSERT_EQ(device->EndpointListSize(), 5);
        VekSimTraceClear();
    }
    void TearDown() override {
        device.reset();
        VekSimDetachAll();
        VekSimSetVirtualClock(0);
    }
    CCyUSBEndPoint &Out(uint32_t direct = 1) { return Direct(*device->bulkOutEndpoint, direct); }
    CCyUSBEndPoint &In(uint32_t direct = 1) { return Direct(*device->bulkInEndpoint, direct); }
    static CCyUSBEndPoint &Direct(CCyUSBEndPoint &ep, uint32_t direct) {
        ep.directTransfer = direct;
        return ep;
    }
    std::unique_ptr<CCyDevice> device;
};

// A fake driver's bulk IN endpoint, for what the virtual board cannot do.
struct FakeEndpoint {
    FakeEndpoint() : handle(fake.Open()), descriptor(test::Endpoint(0x86, 2, 512)), ep(handle, descriptor.data()) {
        platform::SetVirtualClock(true);
    }
    ~FakeEndpoint() { win32::CloseHandle(handle); }
    test::FakeDriver fake;
    HANDLE handle;
    Bytes descriptor;
    CCyBulkEndPoint ep;
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

// Direct: a 38-byte head, the caller's buffer as the data area. Buffered: the
// data copied after the head, and reported less the head. An IN copies back
// what arrived and nothing more.
TEST_F(EndpointTest, BulkRequestsAndReportedLengths) {
    const struct {
        bool in;
        uint32_t directTransfer;
        int32_t length;
        uint32_t code, inLength, outLength;
    } cases[] = {
        {false, 1, 512, ioctl::kDirectData, 38, 512},
        {false, 0, 100, ioctl::kBufferedData, 138, 138},
        {false, 1, 0, ioctl::kDirectData, 38, 0},
        {true, 1, 512, ioctl::kDirectData, 38, 512},
        {true, 0, 10, ioctl::kBufferedData, 38 + 64, 38 + 64},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << "in " << c.in << " direct " << c.directTransfer << " length " << c.length);
        VekSimTraceClear();
        const Bytes data = Pattern(static_cast<size_t>(c.length));
        Bytes buffer = c.in ? Bytes(c.directTransfer == 1 ? 512 : 64, 0x11) : data;
        if (c.in) {
            ASSERT_EQ(VekSimQueueInData(0, 0x81, data.data(), static_cast<uint32_t>(data.size())), 0);
        }
        CCyUSBEndPoint &ep = c.in ? In(c.directTransfer) : Out(c.directTransfer);
        int32_t length = static_cast<int32_t>(buffer.size());
        ASSERT_TRUE(ep.SyncTransfer(buffer.data(), length));
        EXPECT_EQ(std::tuple(length, ep.bytesTransferred), std::tuple(c.length, c.length));
        const auto requests = Requests(c.code);
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(std::tuple(requests[0].endpoint, requests[0].inLength, requests[0].outLength),
                  std::tuple(c.in ? 0x81u : 0x01u, c.inLength, c.outLength));
        if (c.in) {
            for (size_t i = 0; i < buffer.size(); ++i) ASSERT_EQ(buffer[i], i < data.size() ? data[i] : 0x11) << i;
        } else {
            Bytes kept(1024);
            kept.resize(static_cast<size_t>(VekSimReadOutData(0, 0x01, kept.data(), 1024)));
            EXPECT_EQ(kept, data);
        }
    }
}

// A request done inside the call needs no wait, whatever error the thread
// held before it.
TEST_F(EndpointTest, CompletionInsideTheCallNeedsNoWait) {
    Overlapped ov;
    uint8_t data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    win32::SetLastError(ERROR_ACCESS_DENIED);
    uint8_t *block = Out().BeginTransfer(data, 8, &ov);
    ASSERT_NE(block, nullptr);
    EXPECT_TRUE(Out().WaitForTransfer(&ov, 2000));
    EXPECT_TRUE(Out().WaitForTransfer(&ov, 2000));  // no event was consumed: still true
    int32_t length = 8;
    EXPECT_TRUE(Out().FinishTransfer(data, length, &ov, block));
    EXPECT_EQ(length, 8);
    win32::SetLastError(ERROR_ACCESS_DENIED);
    EXPECT_TRUE(Out().SyncTransfer(data, length));
    EXPECT_TRUE(sim::TraceOf(VEK_SIM_TRACE_ABORT).empty());
}

// A caller's wait that expires aborts nothing; FinishTransfer then ends the
// request (abort, then a wait) before it frees the block. SyncTransfer does
// both at the end of the endpoint's timeout.
TEST_F(EndpointTest, ExpiredRequestIsEndedBeforeItsBlockGoes) {
    Overlapped ov;
    uint8_t buffer[8] = {};
    uint8_t *block = In().BeginTransfer(buffer, 8, &ov);
    EXPECT_FALSE(In().WaitForTransfer(&ov, 2000));
    EXPECT_TRUE(sim::TraceOf(VEK_SIM_TRACE_ABORT).empty());
    int32_t length = 8;
    EXPECT_FALSE(In().FinishTransfer(buffer, length, &ov, block));
    const auto ended = sim::TraceOf(VEK_SIM_TRACE_COMPLETION);
    ASSERT_EQ(ended.size(), 1u);
    EXPECT_EQ(std::tuple(ended[0].error, length), std::tuple(DWORD{ERROR_OPERATION_ABORTED}, 0));
    for (uint32_t timeoutMs : {0u, 100u}) {
        In().timeoutMs = timeoutMs;
        length = 8;
        EXPECT_FALSE(In().SyncTransfer(buffer, length));
    }
    const auto aborts = sim::TraceOf(VEK_SIM_TRACE_ABORT);
    ASSERT_EQ(aborts.size(), 3u);
    for (const auto &a : aborts) EXPECT_EQ(std::tuple(a.endpoint, a.bytes), std::tuple(0x81u, 1u));
}

// The request issued at the start of a 100 ms wait completes at the given
// moment: at 99 ms it is in time, at 100 ms it is not.
TEST(EndpointWait, TheLastMomentOfTheTimeout) {
#if defined(_WIN32)
    GTEST_SKIP()
        << "the fake driver ends requests from the platform layer's event pump, which the system's waits do not run";
#endif
    for (auto [completeAtMs, inTime] : {std::pair{99u, true}, {100u, false}}) {
        SCOPED_TRACE(completeAtMs);
        FakeEndpoint f;
        const uint64_t start = platform::ClockMs();
        // Ends the pending request when the clock reaches the moment.
        static std::function<void()> tick;
        tick = [&] {
            if (!f.fake.pending.empty() && platform::ClockMs() - start >= completeAtMs)
                f.fake.EndPending(ERROR_SUCCESS, 8);
        };
        platform::EventPump pump = [](DWORD) { tick(); };
        platform::RegisterEventPump(pump);
        f.ep.timeoutMs = 100;
        uint8_t buffer[8];
        int32_t length = 8;
        EXPECT_EQ(f.ep.SyncTransfer(buffer, length), inTime);
        EXPECT_EQ(f.fake.aborts, inTime ? 0 : 1);
        platform::UnregisterEventPump(pump);
    }
}

// An expired request is aborted (a second abort when the first ends nothing);
// what had arrived is still reported; an abort the driver takes a while over
// is waited for.
TEST(EndpointWait, AbortsThatEndNothingOrTakeAWhile) {
    const struct {
        int abortsIgnored;
        bool slowAborts;
        DWORD abortedBytes;
        int aborts;
        int32_t reported;
    } cases[] = {{0, false, 3, 1, 3}, {1, false, 0, 2, 0}, {0, true, 5, 1, 5}};
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.abortsIgnored << " " << c.slowAborts);
#if defined(_WIN32)
        if (c.slowAborts) continue;  // ended from the platform layer's event pump, which the system's waits do not run
#endif
        FakeEndpoint f;
        f.fake.abortsIgnored = c.abortsIgnored;
        f.fake.slowAborts = c.slowAborts;
        f.fake.abortedBytes = c.abortedBytes;
        f.ep.timeoutMs = 0;
        uint8_t buffer[16];
        int32_t length = 16;
        EXPECT_FALSE(f.ep.SyncTransfer(buffer, length));
        EXPECT_EQ(std::tuple(f.fake.aborts, length, f.fake.pending.size()), std::tuple(c.aborts, c.reported, 0u));
        if (!c.slowAborts) continue;
        Overlapped ov;
        uint8_t *block = f.ep.BeginTransfer(buffer, 16, &ov);
        EXPECT_TRUE(f.ep.AbortPipe());
        EXPECT_EQ(f.fake.abortInProgress, nullptr);  // the abort had ended when AbortPipe returned
        EXPECT_TRUE(f.fake.pending.empty());
        f.fake.abortInProgress = nullptr;
        f.ep.FinishTransfer(buffer, length, &ov, block);
    }
}

// A request refused at issue: nothing to wait for, nothing to abort, no bytes
// (whatever count the driver gave), and the driver's error.
TEST_F(EndpointTest, RefusedRequest) {
    ASSERT_EQ(VekSimInjectFault(0, 0x01, 1, VEK_SIM_FAULT_FAIL_AT_ISSUE), 0);
    Overlapped ov;
    uint8_t data[8] = {};
    uint8_t *block = Out().BeginTransfer(data, 8, &ov);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(Out().lastError, ERROR_GEN_FAILURE);
    EXPECT_FALSE(Out().WaitForTransfer(&ov, 2000));
    int32_t length = 8;
    EXPECT_FALSE(Out().FinishTransfer(data, length, &ov, block));
    EXPECT_EQ(length, 0);
    EXPECT_TRUE(sim::TraceOf(VEK_SIM_TRACE_ABORT).empty());

    FakeEndpoint f;
    f.fake.onData = [](IoRequest &) { return IoOutcome{IoState::Failed, ERROR_DEVICE_NOT_CONNECTED, 16}; };
    length = 8;
    EXPECT_FALSE(f.ep.SyncTransfer(data, length));
    EXPECT_EQ(std::tuple(length, f.ep.lastError, f.fake.aborts), std::tuple(0, DWORD{ERROR_DEVICE_NOT_CONNECTED}, 0));
}

TEST(EndpointStatus, StatusWordWithDataIsAFailureThatReportsTheData) {
    FakeEndpoint f;
    f.ep.directTransfer = 0;
    f.fake.onData = [](IoRequest &r) {
        static_cast<TransferRequest *>(r.in)->usbdStatus = kUsbdStatusStall;
        std::memset(static_cast<uint8_t *>(r.out) + 38, 0x77, 4);
        return Complete(38 + 4);
    };
    uint8_t buffer[8] = {};
    int32_t length = 8;
    EXPECT_FALSE(f.ep.SyncTransfer(buffer, length));
    EXPECT_EQ(std::tuple(length, f.ep.usbdStatus, buffer[3], buffer[4]), std::tuple(4, kUsbdStatusStall, 0x77, 0));
}

// Nothing reaches the driver through a closed handle, with a negative length,
// or for an isochronous transfer of no packets.
TEST_F(EndpointTest, NothingIssuedWithoutHandleLengthOrPackets) {
    const Bytes d = test::Endpoint(0x81, 2, 512);
    CCyBulkEndPoint closed(INVALID_HANDLE_VALUE, d.data());
    OVERLAPPED ov{};
    uint8_t buffer[8] = {9, 9, 9, 9, 9, 9, 9, 9};
    for (uint32_t direct : {1u, 0u}) {
        closed.directTransfer = direct;
        EXPECT_EQ(closed.BeginTransfer(buffer, 8, &ov), nullptr);
        int32_t length = -1;
        EXPECT_FALSE(Out(direct).SyncTransfer(buffer, length));
        EXPECT_EQ(length, 0);
    }
    int32_t length = 8;
    EXPECT_FALSE(closed.FinishTransfer(buffer, length, &ov, nullptr));
    EXPECT_EQ(std::tuple(length, buffer[0]), std::tuple(0, 9));
    length = 8;
    EXPECT_FALSE(closed.SyncTransfer(buffer, length));
    EXPECT_EQ(length, 0);
    EXPECT_FALSE(closed.ResetPipe());
    EXPECT_EQ(closed.lastError, ERROR_INVALID_HANDLE);
    CCyControlEndPoint control(INVALID_HANDLE_VALUE, nullptr);
    length = 4;
    EXPECT_FALSE(control.ControlWrite(buffer, length));
    length = -1;
    EXPECT_FALSE(device->controlEndpoint->ControlWrite(buffer, length));
    CCyUSBEndPoint &iso = *device->isoInEndpoint;
    length = 0;
    EXPECT_FALSE(iso.SyncTransfer(buffer, length));
    iso.maxPacketSize = 0;
    length = 4;
    EXPECT_FALSE(iso.SyncTransfer(buffer, length));
    EXPECT_EQ(length, 0);
    EXPECT_TRUE(sim::TraceOf(VEK_SIM_TRACE_REQUEST).empty());
}

TEST(EndpointContainment, DriverRewritingTheHeadOrOverReportingIsContained) {
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
        FakeEndpoint f;
        f.ep.directTransfer = c.directTransfer;
        f.fake.onData = [&](IoRequest &r) {
            auto *head = static_cast<TransferRequest *>(r.in);
            head->bufferOffset = c.newBufferOffset;
            head->isoPacketOffset = 0x7FFFFFF0;
            head->isoPacketLength = 0x1000;
            return Complete(c.completed);
        };
        std::vector<uint8_t> buffer(16 + 8, 0xEE);  // 8 guard bytes after the caller's 16
        std::array<uint8_t, 8> packets{};
        int32_t length = 16;
        f.ep.SyncTransfer(buffer.data(), length, packets.data());
        EXPECT_EQ(length, c.reported);
        for (int i = 16; i < 24; ++i) EXPECT_EQ(buffer[i], 0xEE);
        EXPECT_EQ(packets, (std::array<uint8_t, 8>{}));  // no packet area was sent, none is copied
    }
}

// --- control endpoint ---

TEST_F(EndpointTest, ControlRequests) {
    const struct {
        uint32_t recipient, requestType;
        bool read;
        uint8_t bmRequestType;
    } cases[] = {
        {0, 2, false, 0x40}, {0, 2, true, 0xC0}, {0x21, 2, false, 0x41},
        {0, 6, false, 0x40}, {2, 1, true, 0xA2}, {3, 0, false, 0x03},
    };
    CCyControlEndPoint &control = *device->controlEndpoint;
    EXPECT_EQ(control.directTransfer, 0u);
    for (const auto &c : cases) {
        VekSimTraceClear();
        control.recipient = c.recipient;
        control.requestType = c.requestType;
        control.requestCode = 0xA0;
        control.value = 0x1234;
        control.index = 0xBEEF;
        uint8_t data[4] = {1, 2, 3, 4};
        int32_t length = 4;
        c.read ? control.ControlRead(data, length) : control.ControlWrite(data, length);
        const auto setup = sim::TraceOf(VEK_SIM_TRACE_CONTROL);
        ASSERT_EQ(setup.size(), 1u);
        EXPECT_EQ(
            std::tuple(setup[0].bmRequestType, setup[0].bRequest, setup[0].wValue, setup[0].wIndex, setup[0].wLength),
            std::tuple(c.bmRequestType, 0xA0, 0x1234, 0xBEEF, 4));
        EXPECT_EQ(Requests(ioctl::kControlRequest).at(0).inLength, 38u + 4u);
        EXPECT_EQ(control.isIn, c.read);
    }
    // The controller's RAM took a write and gives it back; wLength is the low 16 bits of a longer length.
    control.requestType = 2;
    control.recipient = 0;
    control.value = 0x100;
    control.index = 0;
    Bytes big = Pattern(70000), back(16);
    int32_t length = 70000;
    control.ControlWrite(big.data(), length);
    EXPECT_EQ(Requests(ioctl::kControlRequest).back().inLength, 38u + 70000u);
    EXPECT_EQ(sim::TraceOf(VEK_SIM_TRACE_CONTROL).back().wLength, 70000 & 0xFFFF);
    length = 16;
    EXPECT_TRUE(control.ControlRead(back.data(), length));
    EXPECT_EQ(back, Bytes(big.begin(), big.begin() + 16));
    length = 0;
    EXPECT_TRUE(control.ControlWrite(nullptr, length));
    EXPECT_EQ(Requests(ioctl::kControlRequest).back().inLength, 38u);
}

TEST(EndpointControl, TimeoutInWholeSecondsRoundedUp) {
    FakeEndpoint f;
    uint32_t seconds = 0;
    f.fake.onData = [&](IoRequest &r) {
        seconds = static_cast<TransferRequest *>(r.in)->timeoutSeconds;
        return Complete(r.inLength);
    };
    CCyControlEndPoint control(f.handle, nullptr);
    for (auto [ms, expected] : {std::pair{500u, 1u}, {1999u, 1u}, {10000u, 10u}, {0u, 0u}, {1000u, 1u}, {999u, 1u}}) {
        control.timeoutMs = ms;
        uint8_t data[1] = {0};
        int32_t length = 1;
        control.ControlWrite(data, length);
        EXPECT_EQ(seconds, expected) << ms;
    }
}

// --- isochronous and interrupt ---

TEST_F(EndpointTest, IsochronousRequestsAndPacketRecords) {
    const struct {
        uint32_t directTransfer;
        int32_t length;
        uint32_t packets, code, inLength;
    } cases[] = {
        {0, 1000, 2, ioctl::kBufferedData, 1054}, {1, 1000, 2, ioctl::kDirectData, 54},
        {0, 1024, 2, ioctl::kBufferedData, 1078}, {0, 1025, 3, ioctl::kBufferedData, 1087},
        {1, 1, 1, ioctl::kDirectData, 46},
    };
    auto &iso = static_cast<CCyIsocEndPoint &>(*device->isoInEndpoint);
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << "length " << c.length << " direct " << c.directTransfer);
        VekSimTraceClear();
        iso.directTransfer = c.directTransfer;
        EXPECT_EQ(iso.PacketCount(c.length), static_cast<int32_t>(c.packets));
        const Bytes data = Pattern(static_cast<size_t>(c.length));
        ASSERT_EQ(VekSimQueueInData(0, 0x83, data.data(), static_cast<uint32_t>(c.length)), 0);
        Bytes buffer(static_cast<size_t>(c.length));
        Bytes packets(8 * c.packets + 8, 0xCC);
        int32_t length = c.length;
        EXPECT_TRUE(iso.SyncTransfer(buffer.data(), length, packets.data()));
        const auto requests = Requests(c.code);
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(std::tuple(requests[0].endpoint, requests[0].inLength), std::tuple(0x83u, c.inLength));
        EXPECT_EQ(std::tuple(length, buffer), std::tuple(c.length, data));
        uint32_t rest = static_cast<uint32_t>(c.length);
        for (uint32_t i = 0; i < c.packets; ++i, rest -= std::min(rest, 512u))
            EXPECT_EQ(packets[8 * i] | packets[8 * i + 1] << 8, std::min(rest, 512u)) << i;
        EXPECT_EQ(packets[8 * c.packets], 0xCC);  // nothing past the n records
    }
}

TEST_F(EndpointTest, InterruptTakesTheDirectPath) {
    CCyUSBEndPoint &ep = *device->interruptInEndpoint;
    EXPECT_EQ(ep.interval, 4);
    uint8_t buffer[64];
    for (uint32_t direct : {1u, 2u}) {  // any value but 1: buffered
        ep.directTransfer = direct;
        ASSERT_EQ(VekSimQueueInData(0, 0x85, buffer, 3), 0);
        int32_t length = 64;
        EXPECT_TRUE(ep.SyncTransfer(buffer, length));
        EXPECT_EQ(length, 3);
    }
    EXPECT_EQ(std::tuple(Requests(ioctl::kDirectData).size(), Requests(ioctl::kBufferedData).size()),
              std::tuple(1u, 1u));
}

}  // namespace
}  // namespace vek

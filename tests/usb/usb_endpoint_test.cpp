// Endpoint transfers on the virtual board: what the driver was asked, the
// lengths and data reported back, the waits and the abort sequence. A fake
// driver plays what the board cannot: blocks rewritten by the driver, aborts
// that end nothing or take a while, refusals that carry a byte count.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <tuple>
#include <vector>

#include "fake_driver.h"
#include "platform/clock.h"
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
class EndpointTest : public test::OpenBoardTest {
protected:
    void SetUp() override {
        sim::DescriptorSet set = sim::VekBoardDescriptors("Maker", "Endpoints", "1");
        sim::ConfigurationSpec config;
        config.interfaces.push_back(
            {0, 0, 0xFF, 0, 0, 0, {{0x01, 2, 512}, {0x81, 2, 512}, {0x83, 1, 512, 1}, {0x85, 3, 64, 4}}});
        set.configurations = {sim::ConfigurationDescriptor(config)};
        Open(&set);
        ASSERT_EQ(device->EndpointListSize(), 5);
    }
};

// A fake driver's bulk IN endpoint, for what the virtual board cannot do.
struct FakeEndpoint {
    FakeEndpoint() : handle(fake.Open()), descriptor(test::Endpoint(0x86, 2, 512)), ep(handle, descriptor.data()) {
        platform::SetVirtualClock(true);
    }
    ~FakeEndpoint() {
        win32::CloseHandle(handle);
        platform::SetVirtualClock(false);
    }
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

// Direct: a 38-byte head (and the packet records), the caller's buffer as
// the data area. Buffered: the data copied after them, and reported less them.
// An IN copies back what arrived and nothing more; an isochronous one gets a
// record per packet of at most 512 bytes. Interrupt: any value but 1 is buffered.
TEST_F(EndpointTest, DataRequestsAndReportedLengths) {
    constexpr uint32_t kDirect = ioctl::kDirectData, kBuffered = ioctl::kBufferedData;
    const struct {
        uint8_t address;
        uint32_t directTransfer;
        int32_t size, moved;  // the caller's buffer; bytes offered (OUT) or queued (IN)
        uint32_t code, inLength, packets;
    } cases[] = {
        {0x01, 1, 512, 512, kDirect, 38, 0},       {0x01, 0, 100, 100, kBuffered, 138, 0},
        {0x01, 1, 0, 0, kDirect, 38, 0},           {0x81, 1, 512, 512, kDirect, 38, 0},
        {0x81, 0, 64, 10, kBuffered, 102, 0},      {0x85, 1, 64, 3, kDirect, 38, 0},
        {0x85, 2, 64, 3, kBuffered, 102, 0},       {0x83, 0, 1000, 1000, kBuffered, 1054, 2},
        {0x83, 1, 1000, 1000, kDirect, 54, 2},     {0x83, 0, 1024, 1024, kBuffered, 1078, 2},
        {0x83, 0, 1025, 1025, kBuffered, 1087, 3}, {0x83, 1, 1, 1, kDirect, 46, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << int{c.address} << " direct " << c.directTransfer << " size "
                                        << std::dec << c.size);
        VekSimTraceClear();
        CCyUSBEndPoint &ep = Ep(c.address);
        ep.directTransfer = c.directTransfer;
        const bool in = (c.address & 0x80) != 0;
        const Bytes data = Pattern(static_cast<size_t>(c.moved));
        if (in) {
            ASSERT_EQ(VekSimQueueInData(0, c.address, data.data(), static_cast<uint32_t>(data.size())), 0);
        }
        Bytes buffer = in ? Bytes(static_cast<size_t>(c.size), 0x11) : data, packets(8 * c.packets + 8, 0xCC);
        int32_t length = c.size;
        ASSERT_TRUE(ep.SyncTransfer(buffer.data(), length, c.packets > 0 ? packets.data() : nullptr));
        EXPECT_EQ(std::tuple(length, ep.bytesTransferred), std::tuple(c.moved, c.moved));
        const auto requests = Requests(c.code);
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(std::tuple(requests[0].endpoint, requests[0].inLength, requests[0].outLength),
                  std::tuple(uint32_t{c.address}, c.inLength, c.directTransfer == 1 ? c.size : c.inLength));
        if (in) {
            for (size_t i = 0; i < buffer.size(); ++i) ASSERT_EQ(buffer[i], i < data.size() ? data[i] : 0x11) << i;
        } else {
            Bytes kept(1024);
            kept.resize(static_cast<size_t>(VekSimReadOutData(0, c.address, kept.data(), 1024)));
            EXPECT_EQ(kept, data);
        }
        if (c.packets == 0) continue;
        EXPECT_EQ(static_cast<CCyIsocEndPoint &>(ep).PacketCount(c.size), static_cast<int32_t>(c.packets));
        uint32_t rest = static_cast<uint32_t>(c.moved);
        for (uint32_t i = 0; i < c.packets; ++i, rest -= std::min(rest, 512u))
            EXPECT_EQ(packets[8 * i] | packets[8 * i + 1] << 8, std::min(rest, 512u)) << i;
        EXPECT_EQ(packets[8 * c.packets], 0xCC);  // nothing past the n records
    }
}

// Begin, wait, finish. Done inside the call: no wait needed, whatever error
// the thread held before. Still running: the caller's wait aborts nothing;
// FinishTransfer ends the request (abort, then a wait) before it frees the
// block. Refused at issue: nothing to wait for or abort, no bytes.
TEST_F(EndpointTest, BeginWaitFinish) {
    const struct {
        const char *name;
        uint8_t address;
        int fault;
        DWORD issueError;
        bool done;
        int32_t length;
        size_t aborts;
    } cases[] = {
        {"done in the call", 0x01, VEK_SIM_FAULT_NONE, ERROR_SUCCESS, true, 8, 0},
        {"still running", 0x81, VEK_SIM_FAULT_NONE, ERROR_IO_PENDING, false, 0, 1},
        {"refused at issue", 0x01, VEK_SIM_FAULT_FAIL_AT_ISSUE, ERROR_GEN_FAILURE, false, 0, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        VekSimTraceClear();
        if (c.fault != VEK_SIM_FAULT_NONE) {
            ASSERT_EQ(VekSimInjectFault(0, c.address, 1, c.fault), 0);
        }
        CCyUSBEndPoint &ep = Ep(c.address);
        Overlapped ov;
        uint8_t data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
        win32::SetLastError(ERROR_ACCESS_DENIED);
        uint8_t *block = ep.BeginTransfer(data, 8, &ov);
        ASSERT_NE(block, nullptr);
        EXPECT_EQ(ep.lastError, c.issueError);
        EXPECT_EQ(ep.WaitForTransfer(&ov, 2000), c.done);
        EXPECT_EQ(ep.WaitForTransfer(&ov, 2000), c.done);  // no event was consumed
        EXPECT_TRUE(sim::TraceOf(VEK_SIM_TRACE_ABORT).empty());
        int32_t length = 8;
        EXPECT_EQ(ep.FinishTransfer(data, length, &ov, block), c.done);
        EXPECT_EQ(std::tuple(length, sim::TraceOf(VEK_SIM_TRACE_ABORT).size()), std::tuple(c.length, c.aborts));
    }
}

// A request that ends at 99 ms of a 100 ms wait is in time; at 100 ms it is
// not. An expired request is aborted (a second abort when the first ends
// nothing, and then waited for however long the driver takes); what had
// arrived is still reported; an abort the driver takes a while over is waited for.
TEST(EndpointWait, ExpiryAndTheAbortsAfterIt) {
    const struct {
        uint32_t timeoutMs;
        int endsAtMs;  // with 8 bytes; -1: only an abort ends it
        int abortsIgnored;
        bool lateEnds, slowAborts;
        DWORD abortedBytes;
        bool ok;
        int aborts;
        int32_t reported;
    } cases[] = {
        {100, 99, 0, false, false, 0, true, 0, 8}, {100, 100, 0, false, false, 0, false, 1, 0},
        {0, -1, 0, false, false, 3, false, 1, 3},  {0, -1, 1, false, false, 0, false, 2, 0},
        {0, -1, 1, true, false, 2, false, 2, 2},   {0, -1, 0, false, true, 5, false, 1, 5},
        {0, -1, 0, true, false, 4, false, 1, 4},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.endsAtMs << " " << c.abortsIgnored << c.lateEnds << c.slowAborts);
#if defined(_WIN32)
        if (c.endsAtMs >= 0 || c.lateEnds || c.slowAborts)
            continue;  // ended by the platform layer's event pump, not run by the system's waits
#endif
        FakeEndpoint f;
        f.fake.abortsIgnored = c.abortsIgnored;
        f.fake.lateEnds = c.lateEnds;
        f.fake.slowAborts = c.slowAborts;
        f.fake.abortedBytes = c.abortedBytes;
        f.ep.timeoutMs = c.timeoutMs;
        const uint64_t start = platform::ClockMs();
        static std::function<void()> tick;  // ends the pending request when the clock reaches the moment
        tick = [&] {
            if (c.endsAtMs >= 0 && !f.fake.pending.empty() &&
                platform::ClockMs() - start >= static_cast<uint64_t>(c.endsAtMs))
                f.fake.EndPending(ERROR_SUCCESS, 8);
        };
        platform::EventPump pump = [](DWORD) { tick(); };
        platform::RegisterEventPump(pump);
        uint8_t buffer[16];
        int32_t length = 16;
        EXPECT_EQ(f.ep.SyncTransfer(buffer, length), c.ok);
        platform::UnregisterEventPump(pump);
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

// Nothing reaches the driver for a negative length (a 32-bit length of 2 GiB
// or more, as the transport hands it on).
TEST_F(EndpointTest, NothingIssuedForANegativeLength) {
    uint8_t buffer[8] = {9, 9, 9, 9, 9, 9, 9, 9};
    const auto fails = [&](auto transfer) {
        int32_t length = -1;
        EXPECT_FALSE(transfer(length));
        EXPECT_EQ(std::tuple(length, buffer[0]), std::tuple(0, 9));
    };
    for (uint32_t direct : {1u, 0u}) {
        Ep(0x01).directTransfer = direct;
        fails([&](int32_t &n) { return Ep(0x01).SyncTransfer(buffer, n); });
    }
    fails([&](int32_t &n) { return device->controlEndpoint->ControlWrite(buffer, n); });
    EXPECT_TRUE(sim::TraceOf(VEK_SIM_TRACE_REQUEST).empty());
}

// What a driver reports is believed only as far as the request reached: a
// refusal moves no bytes whatever count it gives, a status word fails a
// transfer that moved data, and a rewritten head or an overstated count
// never takes the copy past the caller's buffer.
TEST(EndpointContainment, DriverAnswersAreContained) {
    const struct {
        const char *name;
        uint32_t directTransfer;
        IoOutcome outcome;
        int64_t newBufferOffset;  // -1: left alone
        uint32_t usbdStatus;
        bool ok;
        int32_t reported;
    } cases[] = {
        {"refused with a byte count", 1, {IoState::Failed, ERROR_DEVICE_NOT_CONNECTED, 16}, -1, 0, false, 0},
        {"status word with data", 0, Complete(38 + 4), -1, kUsbdStatusStall, false, 4},
        {"direct, more bytes than asked", 1, Complete(4096), 0, 0, true, 16},
        {"buffered, more bytes than asked", 0, Complete(38 + 4096), 38, 0, true, 16},
        {"buffered, offset moved far out", 0, Complete(38 + 16), 0x7FFFFFF0, 0, true, 16},
        {"buffered, offset moved to 0", 0, Complete(38 + 16), 0, 0, true, 16},
        {"buffered, count below the head", 0, Complete(20), 38, 0, true, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        FakeEndpoint f;
        f.ep.directTransfer = c.directTransfer;
        f.fake.onData = [&](IoRequest &r) {
            auto *head = static_cast<TransferRequest *>(r.in);
            if (c.newBufferOffset >= 0) {
                head->bufferOffset = static_cast<uint32_t>(c.newBufferOffset);
                head->isoPacketOffset = 0x7FFFFFF0;
                head->isoPacketLength = 0x1000;
            }
            head->usbdStatus = c.usbdStatus;
            if (c.directTransfer == 0) std::memset(static_cast<uint8_t *>(r.out) + 38, 0x77, 4);
            return c.outcome;
        };
        std::vector<uint8_t> buffer(16 + 8, 0xEE);  // 8 guard bytes after the caller's 16
        std::array<uint8_t, 8> packets{};
        int32_t length = 16;
        EXPECT_EQ(f.ep.SyncTransfer(buffer.data(), length, packets.data()), c.ok);
        EXPECT_EQ(std::tuple(length, f.ep.usbdStatus, f.fake.aborts), std::tuple(c.reported, c.usbdStatus, 0));
        if (c.usbdStatus != 0) {
            EXPECT_EQ(std::tuple(buffer[3], buffer[4]), std::tuple(0x77, 0xEE));
        }
        for (int i = 16; i < 24; ++i) EXPECT_EQ(buffer[i], 0xEE);
        EXPECT_EQ(packets, (std::array<uint8_t, 8>{}));  // no packet area was sent, none is copied
    }
}

// --- control endpoint ---

// The setup packet as the board received it; wLength is the low 16 bits of
// a longer length. (The controller's RAM is the virtual driver's tests'.)
TEST_F(EndpointTest, ControlRequests) {
    const struct {
        uint32_t recipient, requestType;
        bool read;
        uint8_t bmRequestType;
        int32_t length;
    } cases[] = {
        {0, 2, false, 0x40, 4}, {0, 2, true, 0xC0, 4},  {0x21, 2, false, 0x41, 4},  {0, 6, false, 0x40, 4},
        {2, 1, true, 0xA2, 4},  {3, 0, false, 0x03, 4}, {0, 2, false, 0x40, 70000}, {0, 2, false, 0x40, 0},
    };
    CCyControlEndPoint &control = *device->controlEndpoint;
    const Bytes data = Pattern(70000);
    for (const auto &c : cases) {
        VekSimTraceClear();
        control.recipient = c.recipient;
        control.requestType = c.requestType;
        control.requestCode = 0xA0;
        control.value = 0x1234;
        control.index = c.length == 4 ? 0xBEEF : 0;
        Bytes buffer(data.begin(), data.begin() + c.length);
        int32_t length = c.length;
        c.read ? control.ControlRead(buffer.data(), length) : control.ControlWrite(buffer.data(), length);
        const auto setup = sim::TraceOf(VEK_SIM_TRACE_CONTROL).at(0);
        EXPECT_EQ(std::tuple(setup.bmRequestType, setup.bRequest, setup.wValue, setup.wIndex, setup.wLength),
                  std::tuple(c.bmRequestType, 0xA0, 0x1234, control.index, c.length & 0xFFFF));
        EXPECT_EQ(std::tuple(Requests(ioctl::kControlRequest).at(0).inLength, control.isIn),
                  std::tuple(38u + c.length, c.read));
    }
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

}  // namespace
}  // namespace vek

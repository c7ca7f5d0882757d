// The virtual driver: every request code's layout and return, descriptor
// replies, abort and reset, each fault kind, detach, the trace and pauses,
// and two boards side by side.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

#include "drivers/sim/descriptor_builder.h"
#include "drivers/sim/sim.h"
#include "sim_client.h"
#include "vek_sim.h"

using simtest::Bytes;
using simtest::Client;
using simtest::Reply;
namespace ioctl = vek::ioctl;
namespace sim = vek::sim;

namespace {

class DriverTest : public ::testing::Test {
protected:
    void SetUp() override {
        board_ = VekSimAttach(nullptr);
        ASSERT_EQ(board_, 0);
        client_ = std::make_unique<Client>(0);
        ASSERT_TRUE(client_->Open());
    }
    void TearDown() override {
        client_.reset();
        VekSimDetachAll();
        VekSimSetVirtualClock(0);
    }
    int board_ = -1;
    std::unique_ptr<Client> client_;
};

uint32_t U32(const Bytes &b, size_t at = 0) {
    uint32_t v;
    std::memcpy(&v, b.data() + at, 4);
    return v;
}

TEST_F(DriverTest, QueriesAnswerWithTheirLayouts) {
    struct Case {
        uint32_t code;
        DWORD length;
        uint32_t expected;  // u32 or byte answers
    } cases[] = {
        {ioctl::kGetDriverVersion, 4, sim::kDriverVersion},
        {ioctl::kGetStackVersion, 4, sim::kStackVersion},
        {ioctl::kGetAltSetting, 1, 0},
        {ioctl::kGetSpeed, 4, vek::kSpeedHigh},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.code);
        Reply r = client_->Query(c.code, c.length);
        ASSERT_TRUE(r.ok);
        EXPECT_EQ(r.returned, c.length);
        Bytes padded = r.buffer;
        padded.resize(4);
        EXPECT_EQ(U32(padded) & (c.length == 1 ? 0xFFu : 0xFFFFFFFFu), c.expected);
        // Too small an output buffer fails and nothing is written.
        Reply small = client_->Raw(c.code, Bytes(4, 0xEE), 0, c.length - 1);
        EXPECT_FALSE(small.ok);
        EXPECT_EQ(small.error, ERROR_INSUFFICIENT_BUFFER);
        EXPECT_EQ(small.buffer, Bytes(4, 0xEE));
    }
    Reply address = client_->Query(ioctl::kGetAddress, 1);
    ASSERT_TRUE(address.ok);
    EXPECT_NE(address.buffer[0], 0);

    for (uint32_t code : {ioctl::kGetDeviceName, ioctl::kGetFriendlyName}) {
        Reply name = client_->Query(code, 256);
        ASSERT_TRUE(name.ok);
        EXPECT_EQ(name.returned, 256u);
        EXPECT_EQ(name.buffer[255], 0);
        const std::string text(reinterpret_cast<const char *>(name.buffer.data()));
        EXPECT_FALSE(text.empty());
        if (code == ioctl::kGetDeviceName) {
            EXPECT_EQ(text.rfind("VEK4.0", 0), 0u) << text;
        }
        EXPECT_FALSE(client_->Query(code, 255).ok);
    }
}

TEST_F(DriverTest, UnusedAndUnknownCodesFail) {
    for (uint32_t code : {ioctl::kSetAltSetting, ioctl::kCyclePort, ioctl::kResetPort, ioctl::kGetTransferSize}) {
        Reply r = client_->Raw(code, Bytes(8), 8, 8);
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.error, ERROR_NOT_SUPPORTED);
    }
    Reply r = client_->Raw(0x220FFC, Bytes(8), 8, 8);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, ERROR_INVALID_PARAMETER);
    // A transfer block shorter than 38 bytes is refused.
    Reply shortBlock = client_->Raw(ioctl::kControlRequest, Bytes(37), 37, 37);
    EXPECT_EQ(shortBlock.error, ERROR_INVALID_PARAMETER);
}

TEST_F(DriverTest, GetDescriptorAnswersFromTheDescriptorSet) {
    const sim::DescriptorSet expected = sim::VekBoardDescriptors(sim::kDefaultManufacturer, sim::kDefaultProduct, "");
    struct Case {
        uint8_t type, index;
        uint16_t length;
        Bytes reply;  // expected data; empty: stalls
    } cases[] = {
        {1, 0, 18, expected.device},
        {1, 0, 64, expected.device},                                                    // short: 18 bytes
        {1, 0, 8, Bytes(expected.device.begin(), expected.device.begin() + 8)},        // first 8
        {2, 0, 9, Bytes(expected.configurations[0].begin(), expected.configurations[0].begin() + 9)},
        {2, 0, 39, expected.configurations[0]},
        {3, 0, 4, sim::LanguageIdDescriptor({0x0409})},
        {3, 1, 255, sim::StringDescriptor(sim::kDefaultManufacturer)},
        {3, 2, 255, sim::StringDescriptor(sim::kDefaultProduct)},
        {2, 1, 9, {}},   // no second configuration
        {15, 0, 5, {}},  // a high-speed device has no BOS
        {3, 9, 2, {}},   // no such string
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << int(c.type) << "/" << int(c.index) << "/" << c.length);
        Reply r = client_->GetDescriptor(c.type, c.index, c.length, c.type == 3 ? 0x0409 : 0);
        if (c.reply.empty()) {
            EXPECT_FALSE(r.ok);
            EXPECT_EQ(r.error, ERROR_GEN_FAILURE);
            EXPECT_EQ(uint32_t{r.Block().usbdStatus}, vek::kUsbdStatusStall);
            EXPECT_NE(uint32_t{r.Block().ntStatus}, 0u);
            continue;
        }
        ASSERT_TRUE(r.ok);
        EXPECT_EQ(r.returned, 38u + c.reply.size());
        EXPECT_EQ(uint32_t{r.Block().usbdStatus}, 0u);
        EXPECT_EQ(uint32_t{r.Block().ntStatus}, 0u);
        EXPECT_TRUE(std::equal(c.reply.begin(), c.reply.end(), r.Data().begin()));
    }
    Bytes serial = client_->GetDescriptor(3, 3, 255, 0x0409).Data();
    EXPECT_GT(serial[0], 2);
    EXPECT_EQ(serial[1], 3);
}

TEST_F(DriverTest, SuperSpeedDeviceReportsSpeed4AndAnswersBos) {
    VekSimDetachAll();
    client_.reset();
    sim::DescriptorSet set = sim::VekSuperSpeedDescriptors();
    ASSERT_EQ(sim::AttachDevice(set), 0);
    Client client(0);
    Reply speed = client.Query(ioctl::kGetSpeed, 4);
    EXPECT_EQ(U32(speed.buffer), vek::kSpeedSuper);
    Reply head = client.GetDescriptor(15, 0, 5);
    ASSERT_TRUE(head.ok);
    const uint16_t total = static_cast<uint16_t>(head.Data()[2] | head.Data()[3] << 8);
    EXPECT_EQ(total, set.bos.size());
    Reply whole = client.GetDescriptor(15, 0, total);
    EXPECT_EQ(whole.Data(), set.bos);
    Reply config = client.GetDescriptor(2, 0, 255);
    EXPECT_EQ(config.returned, 38u + set.configurations[0].size());
    EXPECT_EQ(config.Data(), set.configurations[0]);
}

TEST_F(DriverTest, CustomDevicesCarryMalformedDescriptorsAsGiven) {
    client_.reset();
    VekSimDetachAll();
    Bytes device = sim::DeviceDescriptor({});
    Bytes truncated = {9, 2, 200, 0, 1, 1, 0, 0x80, 50, 9, 4};  // wTotalLength past the data
    Bytes zeroLength = {9, 2, 18, 0, 1, 1, 0, 0x80, 50, 0, 4, 0, 0, 1, 0xFF, 0, 0, 0};
    const uint8_t *configs[] = {truncated.data(), zeroLength.data()};
    const uint32_t lengths[] = {static_cast<uint32_t>(truncated.size()), static_cast<uint32_t>(zeroLength.size())};
    device[17] = 2;
    VekSimDeviceConfig config{};
    config.size = sizeof config;
    config.deviceDescriptor = device.data();
    config.deviceDescriptorLength = 18;
    config.configurationCount = 2;
    config.configurations = configs;
    config.configurationLengths = lengths;
    config.deviceName = "OTHER device";
    ASSERT_EQ(VekSimAttachCustom(&config), 0);
    Client client(0);
    Reply first = client.GetDescriptor(2, 0, 200);
    ASSERT_TRUE(first.ok);
    EXPECT_EQ(first.returned, 38u + truncated.size());
    EXPECT_EQ(client.GetDescriptor(2, 1, 18).Data(), zeroLength);
    // The board's endpoints are not in these descriptors: data requests are refused.
    uint32_t packet[2] = {1, 2};
    DWORD error = 0;
    EXPECT_FALSE(client.Direct(0x04, packet, 8, nullptr, &error));
    EXPECT_EQ(error, ERROR_INVALID_PARAMETER);
    Reply name = client.Query(ioctl::kGetDeviceName, 256);
    EXPECT_STREQ(reinterpret_cast<const char *>(name.buffer.data()), "OTHER device");
}

TEST_F(DriverTest, BufferedAndDirectRequestsReturnTheirCounts) {
    VekSimSetRegister(board_, 0x21, 0xABCD);
    uint32_t packet[2] = {0x80000021u, 0};
    Reply out = client_->Buffered(0x04, Bytes(reinterpret_cast<uint8_t *>(packet), reinterpret_cast<uint8_t *>(packet) + 8));
    ASSERT_TRUE(out.ok);
    EXPECT_EQ(out.returned, 38u + 8u);  // bufferOffset + bytes moved
    Reply in = client_->Buffered(0x86, Bytes(16));
    ASSERT_TRUE(in.ok);
    EXPECT_EQ(in.returned, 38u + 8u);
    EXPECT_EQ(U32(in.Data(), 4), 0xABCDu);

    ASSERT_TRUE(client_->Direct(0x04, packet, 8));
    uint32_t reply[2] = {};
    DWORD moved = 0;
    ASSERT_TRUE(client_->Direct(0x86, reply, 8, &moved));
    EXPECT_EQ(moved, 8u);  // direct: the bytes themselves
    EXPECT_EQ(reply[1], 0xABCDu);
}

TEST_F(DriverTest, AbortEndsEveryPendingRequestOfThePipe) {
    uint8_t a[8], b[8];
    auto first = client_->Begin(0x86, a, 8);
    auto second = client_->Begin(0x86, b, 8);
    ASSERT_EQ(first->issueError, ERROR_IO_PENDING);
    ASSERT_EQ(second->issueError, ERROR_IO_PENDING);
    ASSERT_TRUE(client_->Abort(0x04));  // another pipe: nothing ends
    EXPECT_FALSE(first->Signalled());
    ASSERT_TRUE(client_->Abort(0x86));
    for (auto *r : {first.get(), second.get()}) {
        ASSERT_TRUE(r->Signalled());
        DWORD error = 0, bytes = 0;
        EXPECT_FALSE(r->Result(&error, &bytes));
        EXPECT_EQ(error, ERROR_OPERATION_ABORTED);
        EXPECT_EQ(bytes, 0u);
        EXPECT_EQ(uint32_t{r->block.usbdStatus}, vek::kUsbdStatusCanceled);
        EXPECT_EQ(uint32_t{r->block.ntStatus}, vek::kNtStatusCancelled);
    }
    auto trace = sim::TraceOf(VEK_SIM_TRACE_ABORT);
    ASSERT_EQ(trace.size(), 2u);
    EXPECT_EQ(trace[1].endpoint, 0x86u);
    EXPECT_EQ(trace[1].bytes, 2u);
}

TEST_F(DriverTest, ClosingAHandleEndsItsPendingRequests) {
    auto other = std::make_unique<Client>(0);
    uint8_t buffer[8];
    auto pending = other->Begin(0x86, buffer, 8);
    ASSERT_EQ(pending->issueError, ERROR_IO_PENDING);
    HANDLE handle = other->Handle();
    pending->device = handle;
    other.reset();
    ASSERT_TRUE(pending->Signalled());
    DWORD error = 0, bytes = 0;
    EXPECT_FALSE(pending->Result(&error, &bytes));
    EXPECT_EQ(error, ERROR_OPERATION_ABORTED);
    pending->issueError = 0;
}

TEST_F(DriverTest, StallHaltsADataPipeUntilItIsReset) {
    ASSERT_EQ(VekSimInjectFault(board_, 0x04, 1, VEK_SIM_FAULT_STALL), 0);
    for (int attempt = 0; attempt < 2; ++attempt) {
        uint32_t packet[2] = {0x30, 5};
        auto r = client_->Begin(0x04, packet, 8);
        EXPECT_FALSE(r->issued);
        EXPECT_EQ(r->issueError, ERROR_GEN_FAILURE);
        EXPECT_EQ(uint32_t{r->block.usbdStatus}, vek::kUsbdStatusStall);
        EXPECT_EQ(uint32_t{r->block.ntStatus}, vek::kNtStatusUnsuccessful);
    }
    uint32_t value = 0;
    VekSimGetRegister(board_, 0x30, &value);
    EXPECT_EQ(value, 0u);
    ASSERT_TRUE(client_->Reset(0x04));
    EXPECT_TRUE(client_->WriteRegister(0x30, 5));
    VekSimGetRegister(board_, 0x30, &value);
    EXPECT_EQ(value, 5u);
    // A control stall lasts one request.
    ASSERT_EQ(VekSimInjectFault(board_, 0, 1, VEK_SIM_FAULT_STALL), 0);
    EXPECT_FALSE(client_->GetDescriptor(1, 0, 18).ok);
    EXPECT_TRUE(client_->GetDescriptor(1, 0, 18).ok);
    // Resetting a pipe the device does not have fails.
    DWORD error = 0;
    EXPECT_FALSE(client_->Reset(0x83, &error));
    EXPECT_EQ(error, ERROR_INVALID_PARAMETER);
}

TEST_F(DriverTest, EachFaultKindOnARegisterWrite) {
    struct Case {
        int kind;
        BOOL issued;
        DWORD issueError;
        bool written;
    } cases[] = {
        {VEK_SIM_FAULT_FAIL_AT_ISSUE, FALSE, ERROR_GEN_FAILURE, false},
        {VEK_SIM_FAULT_STAY_PENDING, FALSE, ERROR_IO_PENDING, false},
        {VEK_SIM_FAULT_SHORT, TRUE, 0, false},  // half a packet is no packet
        {VEK_SIM_FAULT_STALL, FALSE, ERROR_GEN_FAILURE, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.kind);
        VekSimSetRegister(board_, 0x31, 0);
        // The fault is armed for the second request on 0x04: the first passes.
        ASSERT_EQ(VekSimInjectFault(board_, 0x04, 2, c.kind), 0);
        EXPECT_TRUE(client_->WriteRegister(0x12, 1));
        uint32_t packet[2] = {0x31, 7};
        auto r = client_->Begin(0x04, packet, 8);
        EXPECT_EQ(r->issued, c.issued);
        EXPECT_EQ(r->issueError, c.issueError);
        uint32_t value = 0;
        VekSimGetRegister(board_, 0x31, &value);
        EXPECT_EQ(value, c.written ? 7u : 0u);
        if (c.kind == VEK_SIM_FAULT_SHORT) {
            DWORD error = 0, bytes = 0;
            EXPECT_TRUE(r->Result(&error, &bytes));
            EXPECT_EQ(bytes, 4u);
        }
        if (c.kind == VEK_SIM_FAULT_STAY_PENDING) {
            EXPECT_FALSE(r->Signalled());
            // A later request on the pipe queues behind it; abort ends both.
            uint32_t next[2] = {0x31, 9};
            auto behind = client_->Begin(0x04, next, 8);
            EXPECT_EQ(behind->issueError, ERROR_IO_PENDING);
            ASSERT_TRUE(client_->Abort(0x04));
            DWORD error = 0, bytes = 0;
            EXPECT_FALSE(r->Result(&error, &bytes));
            EXPECT_EQ(error, ERROR_OPERATION_ABORTED);
            EXPECT_FALSE(behind->Result(&error, &bytes));
            VekSimGetRegister(board_, 0x31, &value);
            EXPECT_EQ(value, 0u);
        }
        if (c.kind == VEK_SIM_FAULT_STALL) {
            ASSERT_TRUE(client_->Reset(0x04));
        }
    }
}

TEST_F(DriverTest, DetachFaultUnplugsTheBoardAndEndsPendingRequests) {
    uint8_t buffer[8];
    auto pending = client_->Begin(0x86, buffer, 8);
    ASSERT_EQ(pending->issueError, ERROR_IO_PENDING);
    ASSERT_EQ(VekSimInjectFault(board_, VEK_SIM_ANY_ENDPOINT, 1, VEK_SIM_FAULT_DETACH), 0);
    Reply version = client_->Query(ioctl::kGetDriverVersion, 4);
    EXPECT_FALSE(version.ok);
    EXPECT_EQ(version.error, ERROR_DEVICE_NOT_CONNECTED);

    ASSERT_TRUE(pending->Signalled());
    DWORD error = 0, bytes = 0;
    EXPECT_FALSE(pending->Result(&error, &bytes));
    EXPECT_EQ(error, ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(uint32_t{pending->block.usbdStatus}, vek::kUsbdStatusDeviceGone);

    EXPECT_EQ(VekSimAttached(board_), 0);
    EXPECT_TRUE(simtest::DevicePaths().empty());
    EXPECT_FALSE(client_->GetDescriptor(1, 0, 18).ok);
    EXPECT_EQ(client_->GetDescriptor(1, 0, 18).error, ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_FALSE(client_->Abort(0x86));
    // The unplugged board's state stays readable until it is detached.
    uint32_t value = 1;
    EXPECT_EQ(VekSimGetRegister(board_, 0x01, &value), 0);
    EXPECT_EQ(VekSimDetach(board_), 0);
    EXPECT_EQ(VekSimAttached(board_), -1);
    EXPECT_EQ(VekSimDetach(board_), -1);
}

TEST_F(DriverTest, DetachEndsAPendingRequestAndLaterOpensFail) {
    uint8_t buffer[8];
    auto pending = client_->Begin(0x86, buffer, 8);
    ASSERT_EQ(pending->issueError, ERROR_IO_PENDING);
    const std::string path = simtest::DevicePaths().at(0);
    ASSERT_EQ(VekSimDetach(board_), 0);
    ASSERT_TRUE(pending->Signalled());
    DWORD error = 0, bytes = 0;
    EXPECT_FALSE(pending->Result(&error, &bytes));
    EXPECT_EQ(error, ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
    uint32_t packet[2] = {1, 1};
    EXPECT_FALSE(client_->Direct(0x04, packet, 8, nullptr, &error));
    EXPECT_EQ(error, ERROR_DEVICE_NOT_CONNECTED);
}

TEST_F(DriverTest, EachRequestOfARegisterReadCanBeFaultedInTurn) {
    ASSERT_TRUE(client_->ReadRegister(0x01).has_value());
    const int64_t requests = VekSimRequestCount(board_, VEK_SIM_ANY_ENDPOINT);
    ASSERT_EQ(requests, 2);  // the request packet and the reply
    EXPECT_EQ(VekSimRequestCount(board_, 0x04), 1);
    EXPECT_EQ(VekSimRequestCount(board_, 0x86), 1);
    for (uint32_t nth = 1; nth <= requests; ++nth) {
        ASSERT_EQ(VekSimInjectFault(board_, VEK_SIM_ANY_ENDPOINT, nth, VEK_SIM_FAULT_FAIL_AT_ISSUE), 0);
        EXPECT_FALSE(client_->ReadRegister(0x01).has_value()) << nth;
        VekSimClearFaults(board_);
        // Take a reply left over by a failed reply half, if any.
        uint8_t leftover[8];
        auto drain = client_->Begin(0x86, leftover, 8);
        EXPECT_EQ(drain->issueError, nth == 2 ? 0u : ERROR_IO_PENDING);
    }
}

TEST_F(DriverTest, TraceRecordsRequestsAndRegisterAccessesInOrder) {
    VekSimTraceClear();
    ASSERT_TRUE(client_->WriteRegister(0x11, 6));
    ASSERT_EQ(client_->ReadRegister(0x11, 0x1234), 6u);
    ASSERT_TRUE(client_->Control(0x40, 0xA0, 0xE600, 0, Bytes{1}).ok);

    std::vector<std::pair<uint32_t, uint32_t>> kinds;  // kind, endpoint or address
    for (const VekSimTraceEntry &e : sim::TraceEntries()) kinds.emplace_back(e.kind, e.kind == VEK_SIM_TRACE_REGISTER_WRITE || e.kind == VEK_SIM_TRACE_REGISTER_READ ? e.address : e.endpoint);
    const std::vector<std::pair<uint32_t, uint32_t>> expected = {
        {VEK_SIM_TRACE_REQUEST, 0x04}, {VEK_SIM_TRACE_REGISTER_WRITE, 0x11}, {VEK_SIM_TRACE_DATA, 0x04},
        {VEK_SIM_TRACE_REQUEST, 0x04}, {VEK_SIM_TRACE_REGISTER_READ, 0x11},  {VEK_SIM_TRACE_DATA, 0x04},
        {VEK_SIM_TRACE_REQUEST, 0x86}, {VEK_SIM_TRACE_DATA, 0x86},           {VEK_SIM_TRACE_REQUEST, 0},
        {VEK_SIM_TRACE_CONTROL, 0},
    };
    EXPECT_EQ(kinds, expected);
    auto reads = sim::TraceOf(VEK_SIM_TRACE_REGISTER_READ);
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_EQ(reads[0].value, 6u);
    EXPECT_EQ(reads[0].carried, 0x1234u);
    auto requests = sim::TraceOf(VEK_SIM_TRACE_REQUEST);
    EXPECT_EQ(requests[0].code, ioctl::kDirectData);
    EXPECT_EQ(requests[0].outLength, 8u);
    EXPECT_EQ(requests[0].result, VEK_SIM_RESULT_COMPLETE);
    EXPECT_EQ(requests[0].bytes, 8u);
    auto control = sim::TraceOf(VEK_SIM_TRACE_CONTROL);
    EXPECT_EQ(control[0].bmRequestType, 0x40);
    EXPECT_EQ(control[0].bRequest, 0xA0);
    EXPECT_EQ(control[0].wValue, 0xE600);
    EXPECT_EQ(control[0].wLength, 1);
    EXPECT_EQ(sim::RegisterAccesses(), (std::vector<sim::RegisterAccess>{{false, 0x11, 6}, {true, 0x11, 6}}));

    char text[4096];
    const uint32_t needed = VekSimTraceText(text, sizeof text);
    EXPECT_EQ(needed, std::strlen(text));
    EXPECT_NE(std::string(text).find("register write 0x11 = 0x00000006"), std::string::npos) << text;
}

TEST_F(DriverTest, PausesAreTracedUnderTheVirtualClock) {
    VekSimSetVirtualClock(1);
    VekSimTraceClear();
    const uint64_t start = VekSimClockMs();
    Sleep(100);
    ASSERT_TRUE(client_->WriteRegister(0x30, 1));
    Sleep(2000);
    EXPECT_EQ(VekSimClockMs(), start + 2100);
    EXPECT_EQ(sim::Pauses(), (std::vector<uint32_t>{100, 2000}));
    auto entries = sim::TraceEntries();
    ASSERT_GE(entries.size(), 4u);
    EXPECT_EQ(entries.front().kind, VEK_SIM_TRACE_PAUSE);
    EXPECT_EQ(entries.front().board, -1);
    EXPECT_EQ(entries.back().kind, VEK_SIM_TRACE_PAUSE);
    EXPECT_EQ(entries.back().clockMs, start + 100);  // recorded before the pause
    // A pending IN waited for with a timeout under the virtual clock expires at once.
    uint8_t buffer[8];
    auto pending = client_->Begin(0x86, buffer, 8);
    EXPECT_EQ(WaitForSingleObject(pending->overlapped.hEvent, 2000), WAIT_TIMEOUT);
    EXPECT_EQ(VekSimClockMs(), start + 4100);
}

TEST_F(DriverTest, ABlockedReaderIsCompletedFromAnotherThread) {
    // Readers wait in synchronous IN requests (no overlapped record) while the
    // main thread sends the read requests that feed them.
    constexpr int kReads = 200;
    VekSimSetRegister(board_, 0x53, 0x5EED);
    std::thread reader([&] {
        Client own(0);
        for (int i = 0; i < kReads; ++i) {
            uint32_t reply[2] = {};
            Bytes block = Client::Block(0, 0, 0, 0, 0, 0x86, 0);
            DWORD returned = 0;
            BOOL ok = DeviceIoControl(own.Handle(), ioctl::kDirectData, block.data(), 38, reply, 8, &returned, nullptr);
            ASSERT_TRUE(ok) << GetLastError();
            ASSERT_EQ(reply[1], 0x5EEDu);
        }
    });
    for (int i = 0; i < kReads; ++i) {
        uint32_t request[2] = {0x80000053u, 0};
        ASSERT_TRUE(client_->Direct(0x04, request, 8));
    }
    reader.join();
    EXPECT_EQ(VekSimRequestCount(board_, 0x86), kReads);
}

TEST_F(DriverTest, TwoBoardsSideBySide) {
    VekSimBoardConfig config{sizeof config, "VEK4.0 second", "Second maker", 0x30000000u};
    const int second = VekSimAttach(&config);
    ASSERT_EQ(second, 1);
    ASSERT_EQ(simtest::DevicePaths().size(), 2u);
    Client other(1);
    ASSERT_TRUE(other.Open());
    EXPECT_STREQ(reinterpret_cast<const char *>(other.Query(ioctl::kGetDeviceName, 256).buffer.data()), "VEK4.0 second");
    EXPECT_EQ(other.GetDescriptor(3, 1, 255).Data(), sim::StringDescriptor("Second maker"));

    ASSERT_TRUE(client_->WriteRegister(0x40, 1));
    ASSERT_TRUE(other.WriteRegister(0x40, 2));
    EXPECT_EQ(client_->ReadRegister(0x02), 0u);
    EXPECT_EQ(other.ReadRegister(0x02), 0x30000000u);
    EXPECT_EQ(client_->ReadRegister(0x40), 1u);
    EXPECT_EQ(other.ReadRegister(0x40), 2u);
    // A pending read on one board is not served by the other's replies.
    uint8_t buffer[8];
    auto pending = client_->Begin(0x86, buffer, 8);
    ASSERT_TRUE(other.ReadRegister(0x40).has_value());
    EXPECT_FALSE(pending->Signalled());
    auto writes = sim::TraceOf(VEK_SIM_TRACE_REGISTER_WRITE, second);
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].value, 2u);
}

TEST_F(DriverTest, IsochronousAndInterruptPipesOfACustomDevice) {
    client_.reset();
    VekSimDetachAll();
    sim::DescriptorSet set = sim::VekBoardDescriptors("Maker", "Iso device", "1");
    sim::ConfigurationSpec config;
    config.interfaces.push_back({0, 0, 0xFF, 0, 0, 0, {{0x02, 2, 512}}});
    config.interfaces.push_back({0, 1, 0xFF, 0, 0, 0, {{0x81, 1, 512, 1}, {0x83, 3, 64, 4}, {0x05, 1, 512, 1}}});
    set.configurations = {sim::ConfigurationDescriptor(config)};
    ASSERT_EQ(sim::AttachDevice(set), 0);
    Client client(0);

    // Buffered isochronous IN of 1000 bytes in two 512-byte packets.
    const uint32_t n = 2, head = 38 + 8 * n;
    Bytes block = Client::Block(0, 0, 0, 0, 0, 0x81, 0);
    block.resize(head + 1000);
    vek::TransferRequest t;
    std::memcpy(&t, block.data(), 38);
    t.isoPacketOffset = 38;
    t.isoPacketLength = 8 * n;
    t.bufferOffset = head;
    t.bufferLength = 1000;
    std::memcpy(block.data(), &t, 38);
    Reply empty = client.Raw(ioctl::kBufferedData, block, static_cast<DWORD>(block.size()), static_cast<DWORD>(block.size()));
    ASSERT_TRUE(empty.ok);  // nothing queued: no wait, no data
    EXPECT_EQ(empty.returned, head);

    Bytes data(1000);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i);
    ASSERT_EQ(VekSimQueueInData(0, 0x81, data.data(), 1000), 0);
    Reply full = client.Raw(ioctl::kBufferedData, block, static_cast<DWORD>(block.size()), static_cast<DWORD>(block.size()));
    ASSERT_TRUE(full.ok);
    EXPECT_EQ(full.returned, head + 1000);
    EXPECT_EQ(U32(full.buffer, 38), 512u);
    EXPECT_EQ(U32(full.buffer, 42), 0u);
    EXPECT_EQ(U32(full.buffer, 46), 488u);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), full.buffer.begin() + head));

    // Interrupt IN waits like bulk until data is queued.
    uint8_t interrupt[64];
    auto pending = client.Begin(0x83, interrupt, 64);
    ASSERT_EQ(pending->issueError, ERROR_IO_PENDING);
    const uint8_t report[3] = {1, 2, 3};
    ASSERT_EQ(VekSimQueueInData(0, 0x83, report, 3), 0);
    ASSERT_TRUE(pending->Signalled());
    DWORD error = 0, bytes = 0;
    EXPECT_TRUE(pending->Result(&error, &bytes));
    EXPECT_EQ(bytes, 3u);

    // OUT data on other pipes is kept for the test to read.
    uint8_t out[5] = {9, 8, 7, 6, 5};
    ASSERT_TRUE(client.Direct(0x05, out, 5));
    uint8_t kept[8] = {};
    EXPECT_EQ(VekSimReadOutData(0, 0x05, kept, 8), 5);
    EXPECT_EQ(kept[4], 5);
}

}  // namespace

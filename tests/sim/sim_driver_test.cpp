// The virtual driver and the request decoder behind it: requests that fail,
// descriptor replies, abort and reset, lasting faults, detach, and the
// isochronous and interrupt pipes. The board's registers, memory, trace and
// pauses are read by every board test (tests/api, tests/firmware).

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>

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
    // Replaces the board by a device of the given descriptors.
    std::unique_ptr<Client> Replace(const sim::DescriptorSet &set) {
        client_.reset();
        VekSimDetachAll();
        EXPECT_EQ(sim::AttachDevice(set), 0);
        return std::make_unique<Client>(0);
    }
    // A pending request ended with this error and no bytes.
    static void ExpectEnded(simtest::Async &r, DWORD expected) {
        ASSERT_TRUE(r.Signalled());
        DWORD error = 0, bytes = 0;
        EXPECT_FALSE(r.Result(&error, &bytes));
        EXPECT_EQ(error, expected);
        EXPECT_EQ(bytes, 0u);
        r.issueError = 0;
    }
    uint32_t Register(uint32_t address) {
        uint32_t v = 0xDEAD;
        EXPECT_EQ(VekSimGetRegister(board_, address, &v), 0);
        return v;
    }
    int board_ = -1;
    std::unique_ptr<Client> client_;
};

uint32_t U32(const Bytes &b, size_t at = 0) {
    uint32_t v = 0;
    std::memcpy(&v, b.data() + at, std::min<size_t>(4, b.size() - at));
    return v;
}

// The request decoder: replies that do not fit, and requests it does not take.
TEST_F(DriverTest, RequestsThatDoNotFitOrAreNotTakenFail) {
    for (auto [code, length] : {std::pair{ioctl::kGetDriverVersion, 4u},
                                {ioctl::kGetSpeed, 4u},
                                {ioctl::kGetAltSetting, 1u},
                                {ioctl::kGetDeviceName, 256u}}) {
        Reply small = client_->Raw(code, Bytes(256, 0xEE), 0, length - 1);
        EXPECT_EQ(std::tuple(small.ok, small.error), std::tuple(FALSE, DWORD{ERROR_INSUFFICIENT_BUFFER})) << code;
        EXPECT_EQ(small.buffer, Bytes(256, 0xEE)) << code;  // nothing written
    }
    for (uint32_t code : {ioctl::kSetAltSetting, ioctl::kCyclePort, ioctl::kResetPort, ioctl::kGetTransferSize})
        EXPECT_EQ(client_->Raw(code, Bytes(8), 8, 8).error, ERROR_NOT_SUPPORTED);
    EXPECT_EQ(client_->Raw(0x220FFC, Bytes(8), 8, 8).error, ERROR_INVALID_PARAMETER);
    EXPECT_EQ(client_->Raw(ioctl::kControlRequest, Bytes(37), 37, 37).error, ERROR_INVALID_PARAMETER);
}

TEST_F(DriverTest, GetDescriptorAnswersFromTheDescriptorSet) {
    const sim::DescriptorSet expected = sim::VekBoardDescriptors(sim::kDefaultManufacturer, sim::kDefaultProduct, "");
    const Bytes &device = expected.device, &config = expected.configurations[0];
    struct {
        uint8_t type, index;
        uint16_t length;
        Bytes reply;  // expected data; empty: stalls
    } cases[] = {
        {1, 0, 64, device},  // short: 18 bytes
        {1, 0, 8, Bytes(device.begin(), device.begin() + 8)},
        {2, 0, 255, config},
        {3, 1, 255, sim::StringDescriptor(sim::kDefaultManufacturer)},
        {2, 1, 9, {}},   // no second configuration
        {15, 0, 5, {}},  // a high-speed device has no BOS
        {3, 9, 2, {}},   // no such string
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << int(c.type) << "/" << int(c.index) << "/" << c.length);
        Reply r = client_->GetDescriptor(c.type, c.index, c.length, c.type == 3 ? 0x0409 : 0);
        EXPECT_EQ(r.ok, !c.reply.empty());
        EXPECT_EQ(uint32_t{r.Block().usbdStatus}, c.reply.empty() ? vek::kUsbdStatusStall : 0u);
        EXPECT_EQ(uint32_t{r.Block().ntStatus} != 0, c.reply.empty());
        if (c.reply.empty()) {
            EXPECT_EQ(r.error, ERROR_GEN_FAILURE);
        } else {
            EXPECT_EQ(r.returned, 38u + c.reply.size());
            EXPECT_EQ(r.Data(), c.reply);
        }
    }
    // A control stall lasts one request.
    ASSERT_EQ(VekSimInjectFault(board_, 0, 1, VEK_SIM_FAULT_STALL), 0);
    EXPECT_FALSE(client_->GetDescriptor(1, 0, 18).ok);
    EXPECT_TRUE(client_->GetDescriptor(1, 0, 18).ok);
}

TEST_F(DriverTest, SuperSpeedDeviceReportsSpeed4AndAnswersBos) {
    sim::DescriptorSet set = sim::VekSuperSpeedDescriptors();
    auto client = Replace(set);
    EXPECT_EQ(U32(client->Query(ioctl::kGetSpeed, 4).buffer), vek::kSpeedSuper);
    Reply head = client->GetDescriptor(15, 0, 5);
    ASSERT_TRUE(head.ok);
    const uint16_t total = static_cast<uint16_t>(head.Data()[2] | head.Data()[3] << 8);
    EXPECT_EQ(total, set.bos.size());
    EXPECT_EQ(client->GetDescriptor(15, 0, total).Data(), set.bos);
    EXPECT_EQ(client->GetDescriptor(2, 0, 255).Data(), set.configurations[0]);
}

// Custom devices keep their descriptors as given, malformed ones too; data
// requests on endpoints the descriptors lack are refused.
TEST_F(DriverTest, CustomDevicesCarryMalformedDescriptorsAsGiven) {
    client_.reset();
    VekSimDetachAll();
    Bytes device = sim::DeviceDescriptor({});
    device[17] = 2;
    Bytes truncated = {9, 2, 200, 0, 1, 1, 0, 0x80, 50, 9, 4};  // wTotalLength past the data
    Bytes zeroLength = {9, 2, 18, 0, 1, 1, 0, 0x80, 50, 0, 4, 0, 0, 1, 0xFF, 0, 0, 0};
    const uint8_t *configs[] = {truncated.data(), zeroLength.data()};
    const uint32_t lengths[] = {static_cast<uint32_t>(truncated.size()), static_cast<uint32_t>(zeroLength.size())};
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
    EXPECT_EQ(client.GetDescriptor(2, 0, 200).Data(), truncated);
    EXPECT_EQ(client.GetDescriptor(2, 1, 18).Data(), zeroLength);
    uint32_t packet[2] = {1, 2};
    DWORD error = 0;
    EXPECT_FALSE(client.Direct(0x04, packet, 8, nullptr, &error));
    EXPECT_EQ(error, ERROR_INVALID_PARAMETER);
    EXPECT_STREQ(reinterpret_cast<const char *>(client.Query(ioctl::kGetDeviceName, 256).buffer.data()),
                 "OTHER device");
}

// Buffered requests return the block size plus the bytes moved (direct ones,
// the bytes: every board test uses them).
TEST_F(DriverTest, BufferedRequestsReturnTheBlockAndTheirBytes) {
    VekSimSetRegister(board_, 0x21, 0xABCD);
    uint32_t packet[2] = {0x80000021u, 0};
    const Bytes packetBytes(reinterpret_cast<uint8_t *>(packet), reinterpret_cast<uint8_t *>(packet) + 8);
    EXPECT_EQ(client_->Buffered(0x04, packetBytes).returned, 38u + 8u);
    Reply in = client_->Buffered(0x86, Bytes(16));
    ASSERT_TRUE(in.ok);
    EXPECT_EQ(in.returned, 38u + 8u);
    EXPECT_EQ(U32(in.Data(), 4), 0xABCDu);
}

// Abort ends every pending request of its pipe only; closing a handle ends its own.
TEST_F(DriverTest, AbortAndCloseEndPendingRequests) {
    uint8_t a[8], b[8];
    auto first = client_->Begin(0x86, a, 8);
    auto second = client_->Begin(0x86, b, 8);
    ASSERT_EQ(second->issueError, ERROR_IO_PENDING);
    ASSERT_TRUE(client_->Abort(0x04));
    EXPECT_FALSE(first->Signalled());
    ASSERT_TRUE(client_->Abort(0x86));
    for (auto *r : {first.get(), second.get()}) {
        EXPECT_EQ(uint32_t{r->block.usbdStatus}, vek::kUsbdStatusCanceled);
        EXPECT_EQ(uint32_t{r->block.ntStatus}, vek::kNtStatusCancelled);
        ExpectEnded(*r, ERROR_OPERATION_ABORTED);
    }
    auto trace = sim::TraceOf(VEK_SIM_TRACE_ABORT);
    ASSERT_EQ(trace.size(), 2u);
    EXPECT_EQ(trace[1].endpoint, 0x86u);
    EXPECT_EQ(trace[1].bytes, 2u);

    auto other = std::make_unique<Client>(0);
    auto pending = other->Begin(0x86, a, 8);
    ASSERT_EQ(pending->issueError, ERROR_IO_PENDING);
    other.reset();
    ExpectEnded(*pending, ERROR_OPERATION_ABORTED);
}

// The fault is armed for the second request on 0x04: the first passes. (What
// each kind does to the library is in the fault sweep.)
TEST_F(DriverTest, PendingAndStallFaultsLastUntilAbortOrReset) {
    struct {
        int kind;
        BOOL issued;
        DWORD issueError;
    } cases[] = {
        {VEK_SIM_FAULT_STAY_PENDING, FALSE, ERROR_IO_PENDING},
        {VEK_SIM_FAULT_STALL, FALSE, ERROR_GEN_FAILURE},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.kind);
        VekSimSetRegister(board_, 0x31, 0);
        ASSERT_EQ(VekSimInjectFault(board_, 0x04, 2, c.kind), 0);
        EXPECT_TRUE(client_->WriteRegister(0x12, 1));
        uint32_t packet[2] = {0x31, 7}, next[2] = {0x31, 9};
        auto r = client_->Begin(0x04, packet, 8);
        EXPECT_EQ(r->issued, c.issued);
        EXPECT_EQ(r->issueError, c.issueError);
        EXPECT_EQ(Register(0x31), 0u);
        if (c.kind == VEK_SIM_FAULT_STAY_PENDING) {
            // A later request on the pipe queues behind it; abort ends both.
            EXPECT_FALSE(r->Signalled());
            auto behind = client_->Begin(0x04, next, 8);
            EXPECT_EQ(behind->issueError, ERROR_IO_PENDING);
            ASSERT_TRUE(client_->Abort(0x04));
            ExpectEnded(*r, ERROR_OPERATION_ABORTED);
            ExpectEnded(*behind, ERROR_OPERATION_ABORTED);
            EXPECT_EQ(Register(0x31), 0u);
        } else {
            // The pipe stays halted until it is reset.
            EXPECT_EQ(uint32_t{r->block.usbdStatus}, vek::kUsbdStatusStall);
            EXPECT_EQ(uint32_t{r->block.ntStatus}, vek::kNtStatusUnsuccessful);
            EXPECT_EQ(client_->Begin(0x04, next, 8)->issueError, ERROR_GEN_FAILURE);
            ASSERT_TRUE(client_->Reset(0x04));
            EXPECT_TRUE(client_->WriteRegister(0x31, 5));
            EXPECT_EQ(Register(0x31), 5u);
        }
    }
    // Resetting a pipe the device lacks fails.
    DWORD error = 0;
    EXPECT_FALSE(client_->Reset(0x83, &error));
    EXPECT_EQ(error, ERROR_INVALID_PARAMETER);
}

// Unplugging (a detach fault or a detach) ends pending requests; the device
// answers nothing more; its state stays readable until it is detached.
TEST_F(DriverTest, DetachEndsAPendingRequestAndLaterOpensFail) {
    for (bool fault : {true, false}) {
        SCOPED_TRACE(fault);
        if (!fault) {
            board_ = VekSimAttach(nullptr);
            client_ = std::make_unique<Client>(0);
        }
        uint8_t buffer[8];
        auto pending = client_->Begin(0x86, buffer, 8);
        ASSERT_EQ(pending->issueError, ERROR_IO_PENDING);
        const std::string path = simtest::DevicePaths().at(0);
        if (fault) {
            ASSERT_EQ(VekSimInjectFault(board_, VEK_SIM_ANY_ENDPOINT, 1, VEK_SIM_FAULT_DETACH), 0);
            EXPECT_EQ(client_->Query(ioctl::kGetDriverVersion, 4).error, ERROR_DEVICE_NOT_CONNECTED);
            EXPECT_EQ(VekSimAttached(board_), 0);
            EXPECT_EQ(Register(0x01), 0u);
            EXPECT_EQ(uint32_t{pending->block.usbdStatus}, vek::kUsbdStatusDeviceGone);
        } else {
            ASSERT_EQ(VekSimDetach(board_), 0);
        }
        ExpectEnded(*pending, ERROR_DEVICE_NOT_CONNECTED);
        EXPECT_TRUE(simtest::DevicePaths().empty());
        EXPECT_EQ(vek::win32::CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
                  INVALID_HANDLE_VALUE);
        EXPECT_EQ(client_->GetDescriptor(1, 0, 18).error, ERROR_DEVICE_NOT_CONNECTED);
        EXPECT_FALSE(client_->Abort(0x86));
        uint32_t packet[2] = {1, 1};
        DWORD error = 0;
        EXPECT_FALSE(client_->Direct(0x04, packet, 8, nullptr, &error));
        EXPECT_EQ(error, ERROR_DEVICE_NOT_CONNECTED);
        if (fault) {
            EXPECT_EQ(VekSimDetach(board_), 0);
        }
        EXPECT_EQ(VekSimAttached(board_), -1);
        EXPECT_EQ(VekSimDetach(board_), -1);
    }
}

// The edges of the board's memories that no library call reaches: a load
// past 0xFFFFFFFF wraps to 0; controller RAM takes and drops bytes past 0xFFFF.
TEST_F(DriverTest, MemoryWrapsAtTheTopAndControllerRamEndsAt64KiB) {
    ASSERT_TRUE(client_->WriteRegister(0x10, 0xFFFFFFE0u / 16));
    ASSERT_TRUE(client_->WriteRegister(0x32, 1));
    Bytes data(64), back(64);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i + 1);
    ASSERT_TRUE(client_->Direct(0x02, data.data(), 64));
    ASSERT_EQ(VekSimReadMemory(board_, 0xFFFFFFE0u, back.data(), 64), 0);
    EXPECT_EQ(back, data);
    ASSERT_EQ(VekSimReadMemory(board_, 0, back.data(), 32), 0);
    EXPECT_EQ(Bytes(back.begin(), back.begin() + 32), Bytes(data.begin() + 32, data.end()));
    Reply top = client_->Control(0x40, 0xA0, 0xFFF0, 0, data);
    EXPECT_EQ(std::tuple(top.ok, top.returned), std::tuple(TRUE, 38u + 64u));
    Bytes ram(data.begin(), data.begin() + 16);
    ram.resize(32, 0);  // zeros past the end
    EXPECT_EQ(client_->Control(0xC0, 0xA0, 0xFFF0, 0, Bytes(32)).Data(), ram);
}

TEST_F(DriverTest, IsochronousAndInterruptPipesOfACustomDevice) {
    sim::DescriptorSet set = sim::VekBoardDescriptors("Maker", "Iso device", "1");
    sim::ConfigurationSpec config;
    config.interfaces.push_back({0, 0, 0xFF, 0, 0, 0, {{0x02, 2, 512}}});
    config.interfaces.push_back({0, 1, 0xFF, 0, 0, 0, {{0x81, 1, 512, 1}, {0x83, 3, 64, 4}, {0x05, 1, 512, 1}}});
    set.configurations = {sim::ConfigurationDescriptor(config)};
    auto client = Replace(set);

    // Buffered isochronous IN of 1000 bytes in two 512-byte packets.
    const uint32_t head = 38 + 8 * 2;
    Bytes block = Client::Block(0, 0, 0, 0, 0x81, {});
    block.resize(head + 1000);
    vek::TransferRequest t;
    std::memcpy(&t, block.data(), 38);
    t.isoPacketOffset = 38;
    t.isoPacketLength = 8 * 2;
    t.bufferOffset = head;
    t.bufferLength = 1000;
    std::memcpy(block.data(), &t, 38);
    const DWORD size = static_cast<DWORD>(block.size());
    Reply empty = client->Raw(ioctl::kBufferedData, block, size, size);
    ASSERT_TRUE(empty.ok);  // nothing queued: no wait, no data
    EXPECT_EQ(empty.returned, head);
    Bytes data(1000);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i);
    ASSERT_EQ(VekSimQueueInData(0, 0x81, data.data(), 1000), 0);
    Reply full = client->Raw(ioctl::kBufferedData, block, size, size);
    ASSERT_TRUE(full.ok);
    EXPECT_EQ(full.returned, head + 1000);
    EXPECT_EQ(std::vector<uint32_t>({U32(full.buffer, 38), U32(full.buffer, 42), U32(full.buffer, 46)}),
              std::vector<uint32_t>({512, 0, 488}));
    EXPECT_TRUE(std::equal(data.begin(), data.end(), full.buffer.begin() + head));

    // Interrupt IN waits like bulk until data is queued.
    uint8_t interrupt[64];
    auto pending = client->Begin(0x83, interrupt, 64);
    ASSERT_EQ(pending->issueError, ERROR_IO_PENDING);
    const uint8_t report[3] = {1, 2, 3};
    ASSERT_EQ(VekSimQueueInData(0, 0x83, report, 3), 0);
    ASSERT_TRUE(pending->Signalled());
    DWORD error = 0, bytes = 0;
    EXPECT_TRUE(pending->Result(&error, &bytes));
    EXPECT_EQ(bytes, 3u);

    // OUT data on other pipes is kept for the test to read.
    uint8_t out[5] = {9, 8, 7, 6, 5}, kept[8] = {};
    ASSERT_TRUE(client->Direct(0x05, out, 5));
    EXPECT_EQ(VekSimReadOutData(0, 0x05, kept, 8), 5);
    EXPECT_EQ(kept[4], 5);
}

}  // namespace

// The VEK board behind the virtual driver: registers, frame transfers, board
// memory and the controller, all driven through request blocks.

#include <gtest/gtest.h>

#include <numeric>

#include "sim_client.h"
#include "vek_sim.h"

using simtest::Bytes;
using simtest::Client;

namespace {

class BoardTest : public ::testing::Test {
protected:
    void SetUp() override {
        VekSimBoardConfig config{sizeof config, nullptr, nullptr, 0x10000000u};
        board_ = VekSimAttach(&config);
        ASSERT_GE(board_, 0);
        client_ = std::make_unique<Client>(0);
        ASSERT_TRUE(client_->Open());
    }
    void TearDown() override {
        client_.reset();
        VekSimDetachAll();
    }
    Bytes Pattern(size_t n, uint8_t seed) {
        Bytes b(n);
        for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 7);
        return b;
    }
    void Arm(uint32_t byteAddress) {
        ASSERT_TRUE(client_->WriteRegister(0x10, byteAddress / 16));
        ASSERT_TRUE(client_->WriteRegister(0x32, 1));
    }
    int board_ = -1;
    std::unique_ptr<Client> client_;
};

TEST_F(BoardTest, RegistersKeepWhatTheHostWritesExceptTheStatusRegisters) {
    VekSimSetRegister(board_, 0x51, 0x3);
    VekSimSetRegister(board_, 0x03, 0xA5);
    struct Case {
        uint32_t address, written, expected;
    } cases[] = {
        {0x01, 0x40000000u, 0x40000000u},  // ControlRegister keeps its value
        {0x20, 0x12345678u, 0x12345678u},
        {0x7FFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu},  // the highest register address
        {0x02, 0x00000000u, 0x10000000u},  // board type stays as configured
        {0x51, 0x00000000u, 0x3u},         // I2C status keeps what the test set
        {0x03, 0x00000000u, 0xA5u},        // GPIO input
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.address);
        ASSERT_TRUE(client_->WriteRegister(c.address, c.written));
        EXPECT_EQ(client_->ReadRegister(c.address), c.expected);
        uint32_t direct = 0;
        ASSERT_EQ(VekSimGetRegister(board_, c.address, &direct), 0);
        EXPECT_EQ(direct, c.expected);
    }
}

TEST_F(BoardTest, ReadReplyWaitsOnTheInPipeUntilTheReadIsRequested) {
    uint32_t reply[2] = {0xDEAD, 0xDEAD};
    auto in = client_->Begin(0x86, reply, 8);
    ASSERT_FALSE(in->issued);
    ASSERT_EQ(in->issueError, ERROR_IO_PENDING);
    EXPECT_FALSE(in->Signalled());

    VekSimSetRegister(board_, 0x40, 0xCAFEF00D);
    uint32_t request[2] = {0x80000040u, 0x77};
    ASSERT_TRUE(client_->Direct(0x04, request, 8));

    ASSERT_TRUE(in->Signalled(1000));
    DWORD error = 0, bytes = 0;
    EXPECT_TRUE(in->Result(&error, &bytes));
    EXPECT_EQ(bytes, 8u);
    EXPECT_EQ(reply[0], 0x40u);
    EXPECT_EQ(reply[1], 0xCAFEF00Du);
    EXPECT_EQ(uint32_t{in->block.ntStatus}, 0u);
    EXPECT_EQ(uint32_t{in->block.usbdStatus}, 0u);
}

TEST_F(BoardTest, QueuedRepliesAreDeliveredOnePerInRequestInOrder) {
    VekSimSetRegister(board_, 0x60, 111);
    VekSimSetRegister(board_, 0x61, 222);
    uint32_t packets[4] = {0x80000060u, 0, 0x80000061u, 0};  // two read requests in one transfer
    ASSERT_TRUE(client_->Direct(0x04, packets, 16));
    for (uint32_t expected : {111u, 222u}) {
        uint32_t reply[4] = {};
        DWORD moved = 0;
        ASSERT_TRUE(client_->Direct(0x86, reply, 16, &moved));
        EXPECT_EQ(moved, 8u);
        EXPECT_EQ(reply[1], expected);
    }
}

TEST_F(BoardTest, FrameLoadLandsAtTheStartRegisterTimes16AndReadsBack) {
    const uint32_t start = 0x12340;
    Arm(start);
    Bytes first = Pattern(1000, 1), second = Pattern(3000, 9);
    ASSERT_TRUE(client_->Direct(0x02, first.data(), 1000));
    ASSERT_TRUE(client_->Direct(0x02, second.data(), 3000));

    Bytes stored(4000);
    ASSERT_EQ(VekSimReadMemory(board_, start, stored.data(), 4000), 0);
    EXPECT_TRUE(std::equal(first.begin(), first.end(), stored.begin()));
    EXPECT_TRUE(std::equal(second.begin(), second.end(), stored.begin() + 1000));
    uint8_t before = 0xFF;
    VekSimReadMemory(board_, start - 1, &before, 1);
    EXPECT_EQ(before, 0);

    Arm(start);
    Bytes back(4000);
    DWORD moved = 0;
    ASSERT_TRUE(client_->Direct(0x86, back.data(), 2500, &moved));
    ASSERT_TRUE(client_->Direct(0x86, back.data() + 2500, 1500, &moved));
    EXPECT_EQ(back, stored);
}

TEST_F(BoardTest, MemoryCoversTheWhole32BitRangeAndWrapsAtTheTop) {
    struct Case {
        uint32_t address;
        uint32_t length;
    } cases[] = {{0, 64}, {0x7FFFFFF0u, 64}, {0xFFFF0000u, 0x10000}, {0xFFFFFFE0u, 64}};
    uint8_t seed = 3;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.address);
        Arm(c.address);
        Bytes data = Pattern(c.length, seed++);
        ASSERT_TRUE(client_->Direct(0x02, data.data(), c.length));
        Bytes stored(c.length);
        ASSERT_EQ(VekSimReadMemory(board_, c.address, stored.data(), c.length), 0);
        EXPECT_EQ(stored, data);
    }
    // The last case ran past 0xFFFFFFFF: its second half is at address 0.
    Bytes low(32);
    VekSimReadMemory(board_, 0, low.data(), 32);
    Bytes tail = Pattern(64, 6);
    EXPECT_TRUE(std::equal(low.begin(), low.end(), tail.begin() + 32));
}

TEST_F(BoardTest, FrameDataWithoutAnArmedTransferIsDropped) {
    Bytes data = Pattern(256, 5);
    ASSERT_TRUE(client_->Direct(0x02, data.data(), 256));
    ASSERT_TRUE(client_->WriteRegister(0x10, 0));
    ASSERT_TRUE(client_->WriteRegister(0x32, 0));  // not 1: disarms
    ASSERT_TRUE(client_->Direct(0x02, data.data(), 256));
    Bytes stored(256, 0xEE);
    VekSimReadMemory(board_, 0, stored.data(), 256);
    EXPECT_EQ(stored, Bytes(256, 0));
}

TEST_F(BoardTest, AfterALoadTheReplyPipeWaitsForARegisterReplyInsteadOfStreaming) {
    Arm(0);
    Bytes data = Pattern(64, 1);
    ASSERT_TRUE(client_->Direct(0x02, data.data(), 64));
    uint32_t buffer[16] = {};
    auto in = client_->Begin(0x86, buffer, 64);
    ASSERT_EQ(in->issueError, ERROR_IO_PENDING);
    uint32_t request[2] = {0x80000032u, 0};
    ASSERT_TRUE(client_->Direct(0x04, request, 8));
    ASSERT_TRUE(in->Signalled(1000));
    DWORD error = 0, bytes = 0;
    EXPECT_TRUE(in->Result(&error, &bytes));
    EXPECT_EQ(bytes, 8u);
    EXPECT_EQ(buffer[1], 1u);
}

TEST_F(BoardTest, ControllerRamIsWrittenAndReadByTheLoadRequest) {
    Bytes image = Pattern(272, 0x40);
    simtest::Reply w = client_->Control(0x40, 0xA0, 0x0100, 0, image);
    ASSERT_TRUE(w.ok);
    EXPECT_EQ(w.returned, 38u + 272u);
    Bytes ram(272);
    ASSERT_EQ(VekSimReadControllerRam(board_, 0x0100, ram.data(), 272), 0);
    EXPECT_EQ(ram, image);

    simtest::Reply r = client_->Control(0xC0, 0xA0, 0x0100, 0, Bytes(272));
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.Data(), image);

    // Past the end of the 64 KiB the data stage is accepted and dropped.
    simtest::Reply top = client_->Control(0x40, 0xA0, 0xFFF0, 0, Pattern(32, 1));
    ASSERT_TRUE(top.ok);
    EXPECT_EQ(top.returned, 38u + 32u);
    uint8_t first = 0;
    VekSimReadControllerRam(board_, 0, &first, 1);
    EXPECT_EQ(first, 0);
    EXPECT_EQ(VekSimReadControllerRam(board_, 0xFFF0, ram.data(), 32), -1);
}

TEST_F(BoardTest, CpuControlBitHoldsAndReleasesTheController) {
    EXPECT_EQ(VekSimControllerHeld(board_), 0);
    ASSERT_TRUE(client_->Control(0x40, 0xA0, 0xE600, 0, Bytes{0x01}).ok);
    EXPECT_EQ(VekSimControllerHeld(board_), 1);
    ASSERT_TRUE(client_->Control(0x40, 0xA0, 0xE600, 0, Bytes{0x00}).ok);
    EXPECT_EQ(VekSimControllerHeld(board_), 0);
    EXPECT_EQ(VekSimControllerHeld(board_ + 1), -1);
}

}  // namespace

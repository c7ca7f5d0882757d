// The VEK board behind the virtual driver: registers, frame transfers, board
// memory and the controller, all driven through request blocks.

#include <gtest/gtest.h>

#include "sim_client.h"
#include "vek_sim.h"

using simtest::Bytes;
using simtest::Client;

namespace {

Bytes Pattern(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 7);
    return b;
}

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
    void Arm(uint32_t byteAddress) {
        ASSERT_TRUE(client_->WriteRegister(0x10, byteAddress / 16));
        ASSERT_TRUE(client_->WriteRegister(0x32, 1));
    }
    Bytes Memory(uint32_t address, uint32_t length) {
        Bytes b(length, 0xEE);
        EXPECT_EQ(VekSimReadMemory(board_, address, b.data(), length), 0);
        return b;
    }
    int board_ = -1;
    std::unique_ptr<Client> client_;
};

TEST_F(BoardTest, RegistersKeepWhatTheHostWritesExceptTheStatusRegisters) {
    VekSimSetRegister(board_, 0x51, 0x3);
    VekSimSetRegister(board_, 0x03, 0xA5);
    struct {
        uint32_t address, written, expected;
    } cases[] = {
        {0x01, 0x40000000u, 0x40000000u},        {0x20, 0x12345678u, 0x12345678u},
        {0x7FFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu},  // the highest register address
        {0x02, 0, 0x10000000u},                   // board type stays as configured
        {0x51, 0, 0x3u},                          // I2C status keeps what the test set
        {0x03, 0, 0xA5u},                         // GPIO input
    };
    for (const auto &c : cases) {
        ASSERT_TRUE(client_->WriteRegister(c.address, c.written));
        EXPECT_EQ(client_->ReadRegister(c.address), c.expected) << c.address;
        uint32_t direct = 0;
        ASSERT_EQ(VekSimGetRegister(board_, c.address, &direct), 0);
        EXPECT_EQ(direct, c.expected) << c.address;
    }
}

// A reply request waits on the IN pipe until a read is requested, even just
// after a frame load; queued replies go out one per IN request, in order.
TEST_F(BoardTest, ReadRepliesWaitForTheirReadAndGoOutInOrder) {
    Arm(0);
    Bytes data = Pattern(64, 1);
    ASSERT_TRUE(client_->Direct(0x02, data.data(), 64));
    uint32_t reply[16] = {0xDEAD, 0xDEAD};
    auto in = client_->Begin(0x86, reply, 64);
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

    VekSimSetRegister(board_, 0x60, 111);
    VekSimSetRegister(board_, 0x61, 222);
    uint32_t packets[4] = {0x80000060u, 0, 0x80000061u, 0};  // two read requests in one transfer
    ASSERT_TRUE(client_->Direct(0x04, packets, 16));
    for (uint32_t expected : {111u, 222u}) {
        uint32_t r[4] = {};
        DWORD moved = 0;
        ASSERT_TRUE(client_->Direct(0x86, r, 16, &moved));
        EXPECT_EQ(moved, 8u);
        EXPECT_EQ(r[1], expected);
    }
}

TEST_F(BoardTest, FrameLoadLandsAtTheStartRegisterTimes16AndReadsBack) {
    const uint32_t start = 0x12340;
    Arm(start);
    Bytes first = Pattern(1000, 1), second = Pattern(3000, 9);
    ASSERT_TRUE(client_->Direct(0x02, first.data(), 1000));
    ASSERT_TRUE(client_->Direct(0x02, second.data(), 3000));
    Bytes stored = Memory(start, 4000);
    EXPECT_TRUE(std::equal(first.begin(), first.end(), stored.begin()));
    EXPECT_TRUE(std::equal(second.begin(), second.end(), stored.begin() + 1000));
    EXPECT_EQ(Memory(start - 1, 1), Bytes{0});
    Arm(start);
    Bytes back(4000);
    ASSERT_TRUE(client_->Direct(0x86, back.data(), 2500));
    ASSERT_TRUE(client_->Direct(0x86, back.data() + 2500, 1500));
    EXPECT_EQ(back, stored);
    // Data without an armed transfer (0x32 written other than 1) is dropped.
    ASSERT_TRUE(client_->WriteRegister(0x10, 0));
    ASSERT_TRUE(client_->WriteRegister(0x32, 0));
    ASSERT_TRUE(client_->Direct(0x02, first.data(), 256));
    EXPECT_EQ(Memory(0, 256), Bytes(256, 0));
}

TEST_F(BoardTest, MemoryCoversTheWhole32BitRangeAndWrapsAtTheTop) {
    struct {
        uint32_t address, length;
    } cases[] = {{0, 64}, {0x7FFFFFF0u, 64}, {0xFFFF0000u, 0x10000}, {0xFFFFFFE0u, 64}};
    uint8_t seed = 3;
    for (const auto &c : cases) {
        Arm(c.address);
        Bytes data = Pattern(c.length, seed++);
        ASSERT_TRUE(client_->Direct(0x02, data.data(), c.length));
        EXPECT_EQ(Memory(c.address, c.length), data) << c.address;
    }
    // The last case ran past 0xFFFFFFFF: its second half is at address 0.
    Bytes tail = Pattern(64, 6);
    EXPECT_EQ(Memory(0, 32), Bytes(tail.begin() + 32, tail.end()));
}

TEST_F(BoardTest, ControllerRamAndCpuControlThroughTheLoadRequest) {
    Bytes image = Pattern(272, 0x40), ram(272);
    simtest::Reply w = client_->Control(0x40, 0xA0, 0x0100, 0, image);
    ASSERT_TRUE(w.ok);
    EXPECT_EQ(w.returned, 38u + 272u);
    ASSERT_EQ(VekSimReadControllerRam(board_, 0x0100, ram.data(), 272), 0);
    EXPECT_EQ(ram, image);
    EXPECT_EQ(client_->Control(0xC0, 0xA0, 0x0100, 0, Bytes(272)).Data(), image);
    // Past the end of the 64 KiB the data stage is accepted and dropped.
    simtest::Reply top = client_->Control(0x40, 0xA0, 0xFFF0, 0, Pattern(32, 1));
    ASSERT_TRUE(top.ok);
    EXPECT_EQ(top.returned, 38u + 32u);
    uint8_t first = 0xEE;
    VekSimReadControllerRam(board_, 0, &first, 1);
    EXPECT_EQ(first, 0);
    EXPECT_EQ(VekSimReadControllerRam(board_, 0xFFF0, ram.data(), 32), -1);
    // 0xE600 bit 0 holds and releases the CPU.
    EXPECT_EQ(VekSimControllerHeld(board_), 0);
    for (uint8_t hold : {1, 0}) {
        ASSERT_TRUE(client_->Control(0x40, 0xA0, 0xE600, 0, Bytes{hold}).ok);
        EXPECT_EQ(VekSimControllerHeld(board_), hold);
    }
    EXPECT_EQ(VekSimControllerHeld(board_ + 1), -1);
}

}  // namespace

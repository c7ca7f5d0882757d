// Frame loads and readbacks on the virtual board: the frame registers, the
// pieces of at most 1 MiB, the running byte count and the frame-mode check.
#include <gtest/gtest.h>

#include "api/board_fixture.h"
#include "api/device_handle.h"

using namespace vektest;

namespace {

uint32_t LoadedBytes(DeviceHandle *h) {
    uint32_t count = 0xDEAD;
    EXPECT_EQ(VekDevInquire(h, 17, &count), DEV_OK);
    return count;
}

using FrameTest = BoardTest;

TEST_F(FrameTest, PiecesOfAtMostOneMebibyte) {
    LearnBoardType();
    struct {
        uint32_t length;
        std::vector<uint32_t> pieces;
    } cases[] = {
        {0x100000, {0x100000}},
        {0x100001, {0x100000, 1}},
        {0x280000, {0x100000, 0x100000, 0x80000}},
        {0, {}},
    };
    for (const auto &c : cases) {
        const std::vector<uint8_t> data = Pattern(c.length + 1);
        for (bool load : {true, false}) {
            VekSimTraceClear();
            std::vector<uint8_t> back(c.length + 1);
            EXPECT_EQ(load ? VekDevLoadFrame(handle_, data.data(), 0x2000, c.length)
                           : VekDevGetFrame(handle_, back.data(), 0x2000, c.length),
                      DEV_OK);
            // command 9, the frame registers, the pause, then the pieces
            std::vector<std::string> expected = {"R 1=0<0",  "W 1=0", "R 1=0<0", "W 11=" + Hex(c.length / 16),
                                                 "W 10=200", "P 100", "W 32=1"};
            for (uint32_t p : c.pieces) expected.push_back((load ? "OUT 2 " : "IN 86 ") + std::to_string(p));
            EXPECT_EQ(TraceLines(board_), expected) << c.length << (load ? " load" : " readback");
            EXPECT_TRUE(load || std::equal(back.begin(), back.begin() + c.length, data.begin())) << c.length;
        }
    }
}

// Until inquiry 5 has told the board type, the layout is unknown; board type
// 255 makes it unknown again. Either way the transfer stops after command 9.
TEST_F(FrameTest, AddressesCountsFailuresAndTheFrameMode) {
    const std::vector<uint8_t> small = Pattern(64);
    EXPECT_EQ(VekDevLoadFrame(handle_, small.data(), 0, 16), DEV_ERR_FRAME_MODE);
    LearnBoardType();
    // The start address goes out in 16-byte units; the data lands where asked.
    ASSERT_EQ(VekDevControl(handle_, 10, nullptr), DEV_OK);
    ASSERT_EQ(VekDevLoadFrame(handle_, small.data(), 0x12345, 64), DEV_OK);
    EXPECT_EQ(Reg(board_, 0x10), 0x1234u);
    EXPECT_EQ(Reg(board_, 0x01) & 2u, 0u) << "a load clears the frame bit";
    std::vector<uint8_t> memory(64);
    ASSERT_EQ(VekSimReadMemory(board_, 0x12340, memory.data(), 64), 0);
    EXPECT_EQ(memory, small);
    // Loads and readbacks both add to the loaded-bytes count.
    const std::vector<uint8_t> data = Pattern(259200);
    std::vector<uint8_t> back(259200);
    ASSERT_EQ(VekDevLoadFrame(handle_, data.data(), 259200, 259200), DEV_OK);
    EXPECT_EQ(LoadedBytes(handle_), 259264u);
    ASSERT_EQ(VekDevGetFrame(handle_, back.data(), 259200, 259200), DEV_OK);
    ASSERT_EQ(VekDevLoadFrame(handle_, data.data(), 0, 0), DEV_OK);
    EXPECT_EQ(LoadedBytes(handle_), 518464u);
    EXPECT_EQ(back, data);
    // A failed command 9 moves nothing and adds nothing; failed pieces are not reported and still count.
    ASSERT_EQ(VekSimInjectFault(board_, 0x04, 1, VEK_SIM_FAULT_FAIL_AT_ISSUE), 0);
    VekSimTraceClear();
    EXPECT_EQ(VekDevLoadFrame(handle_, data.data(), 0, 16), DEV_OK);
    EXPECT_TRUE(TraceLines(board_).empty());
    ASSERT_EQ(VekSimInjectFault(board_, 0x02, 1, VEK_SIM_FAULT_STALL), 0);
    EXPECT_EQ(VekDevLoadFrame(handle_, data.data(), 0, 0x10010), DEV_OK);
    EXPECT_EQ(LoadedBytes(handle_), 518464u + 0x10010u);
    ASSERT_EQ(VekSimSetRegister(board_, 0x02, 0x20000000), 0);
    LearnBoardType();
    EXPECT_EQ(VekDevLoadFrame(handle_, small.data(), 0, 16), DEV_ERR_FRAME_MODE);
    EXPECT_EQ(VekDevGetFrame(handle_, back.data(), 0, 16), DEV_ERR_FRAME_MODE);
    EXPECT_EQ(TraceLines(board_), Lines({"R 1=0<0", "W 1=0", "R 1=0<0", "R 1=0<0", "W 1=0", "R 1=0<0"}));
}

}  // namespace

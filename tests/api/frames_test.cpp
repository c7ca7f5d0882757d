// Frame loads and readbacks on the virtual board: the frame registers, the
// pieces of at most 1 MiB, the running byte count and the frame-mode check.
#include <gtest/gtest.h>

#include <numeric>

#include "api/board_fixture.h"
#include "api/device_handle.h"

using namespace vektest;

namespace {

class FrameTest : public BoardTest {
protected:
    void SetUp() override {
        BoardTest::SetUp();
        LearnBoardType();
    }
    // Lines of one transfer before its pieces: command 9, the frame registers
    // and the pause.
    static std::vector<std::string> Head(uint32_t length16, uint32_t start16) {
        return {"R 1=0<0", "W 1=0", "R 1=0<0", "W 11=" + Hex(length16), "W 10=" + Hex(start16), "P 100", "W 32=1"};
    }
    static std::vector<uint8_t> Pattern(size_t n) {
        std::vector<uint8_t> v(n);
        for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 7 + (i >> 9));
        return v;
    }
};

TEST_F(FrameTest, PiecesOfAtMostOneMebibyte) {
    struct {
        uint32_t length;
        std::vector<uint32_t> pieces;
    } cases[] = {
        {0x100000, {0x100000}},
        {0x100001, {0x100000, 1}},
        {0x280000, {0x100000, 0x100000, 0x80000}},
        {100, {100}},
        {0, {}},
    };
    for (const auto &c : cases) {
        const std::vector<uint8_t> data = Pattern(c.length + 1);
        for (bool load : {true, false}) {
            VekSimTraceClear();
            std::vector<uint8_t> back(c.length + 1);
            const uint32_t rc = load ? VekDevLoadFrame(handle_, data.data(), 0x2000, c.length)
                                     : VekDevGetFrame(handle_, back.data(), 0x2000, c.length);
            EXPECT_EQ(rc, DEV_OK);
            std::vector<std::string> expected = Head(c.length / 16, 0x200);
            for (uint32_t p : c.pieces) expected.push_back((load ? "OUT 2 " : "IN 86 ") + std::to_string(p));
            EXPECT_EQ(TraceLines(board_), expected) << c.length << (load ? " load" : " readback");
            if (!load) {
                EXPECT_TRUE(std::equal(back.begin(), back.begin() + c.length, data.begin())) << c.length;
            }
        }
    }
}

TEST_F(FrameTest, StartAddressInSixteenByteUnitsAndDataWhereItWasAsked) {
    const std::vector<uint8_t> data = Pattern(64);
    ASSERT_EQ(VekDevLoadFrame(handle_, data.data(), 0x12345, 64), DEV_OK);
    EXPECT_EQ(Reg(board_, 0x10), 0x1234u);
    std::vector<uint8_t> memory(64);
    ASSERT_EQ(VekSimReadMemory(board_, 0x12340, memory.data(), 64), 0);
    EXPECT_EQ(memory, data);
}

TEST_F(FrameTest, LoadedBytesGrowWithLoadsAndReadbacks) {
    const std::vector<uint8_t> data = Pattern(259200);
    std::vector<uint8_t> back(259200);
    ASSERT_EQ(VekDevLoadFrame(handle_, data.data(), 0, 259200), DEV_OK);
    ASSERT_EQ(VekDevLoadFrame(handle_, data.data(), 259200, 259200), DEV_OK);
    uint32_t count = 0;
    ASSERT_EQ(VekDevInquire(handle_, 17, &count), DEV_OK);
    EXPECT_EQ(count, 518400u);
    ASSERT_EQ(VekDevGetFrame(handle_, back.data(), 259200, 259200), DEV_OK);
    ASSERT_EQ(VekDevLoadFrame(handle_, data.data(), 0, 0), DEV_OK);
    ASSERT_EQ(VekDevInquire(handle_, 17, &count), DEV_OK);
    EXPECT_EQ(count, 777600u);
    EXPECT_EQ(back, data);
}

TEST_F(FrameTest, LoadClearsTheFrameBit) {
    ASSERT_EQ(VekDevControl(handle_, 10, nullptr), DEV_OK);
    const std::vector<uint8_t> data = Pattern(32);
    ASSERT_EQ(VekDevLoadFrame(handle_, data.data(), 0, 32), DEV_OK);
    EXPECT_EQ(Reg(board_, 0x01) & 2u, 0u);
}

TEST_F(FrameTest, UnknownFrameModeIsRefusedAfterCommandNine) {
    ASSERT_EQ(VekSimSetRegister(board_, 0x02, 0x20000000), 0);
    uint32_t type = 0;
    ASSERT_EQ(VekDevInquire(handle_, 5, &type), DEV_OK);
    ASSERT_EQ(handle_->frameMode, 0xF0000000u);
    VekSimTraceClear();
    uint8_t buf[16] = {};
    EXPECT_EQ(VekDevLoadFrame(handle_, buf, 0, 16), DEV_ERR_FRAME_MODE);
    EXPECT_EQ(VekDevGetFrame(handle_, buf, 0, 16), DEV_ERR_FRAME_MODE);
    EXPECT_EQ(TraceLines(board_), Lines({"R 1=0<0", "W 1=0", "R 1=0<0", "R 1=0<0", "W 1=0", "R 1=0<0"}));
}

TEST_F(FrameTest, FailedFrameBitClearMovesNothingAndSucceeds) {
    ASSERT_EQ(VekSimInjectFault(board_, 0x04, 1, VEK_SIM_FAULT_FAIL_AT_ISSUE), 0);
    uint8_t buf[16] = {};
    EXPECT_EQ(VekDevLoadFrame(handle_, buf, 0, 16), DEV_OK);
    EXPECT_TRUE(TraceLines(board_).empty());
    uint32_t count = 1;
    ASSERT_EQ(VekDevInquire(handle_, 17, &count), DEV_OK);
    EXPECT_EQ(count, 0u);
}

TEST_F(FrameTest, FailedPiecesAreNotReported) {
    ASSERT_EQ(VekSimInjectFault(board_, 0x02, 1, VEK_SIM_FAULT_STALL), 0);
    const std::vector<uint8_t> data = Pattern(0x100010);
    EXPECT_EQ(VekDevLoadFrame(handle_, data.data(), 0, 0x100010), DEV_OK);
    uint32_t count = 0;
    ASSERT_EQ(VekDevInquire(handle_, 17, &count), DEV_OK);
    EXPECT_EQ(count, 0x100010u);
}

TEST_F(FrameTest, NullArgumentsAndBlockClear) {
    uint8_t buf[16] = {};
    EXPECT_EQ(VekDevLoadFrame(nullptr, buf, 0, 16), DEV_ERR_NULL_ARGUMENT);
    EXPECT_EQ(VekDevLoadFrame(handle_, nullptr, 0, 16), DEV_ERR_NULL_ARGUMENT);
    EXPECT_EQ(VekDevGetFrame(handle_, nullptr, 0, 16), DEV_ERR_NULL_ARGUMENT);
    EXPECT_EQ(VekDevBlockClear(nullptr, 1, 2), DEV_ERR_UNSUPPORTED);
    EXPECT_EQ(VekDevBlockClear(handle_, 0, 0), DEV_ERR_UNSUPPORTED);
    EXPECT_TRUE(TraceLines(board_).empty());
}

// Until inquiry 5 has told the board type, the layout is unknown.
TEST(FrameModeBeforeInquiry, FrameTransfersAreRefused) {
    VekSimDetachAll();
    VekSimSetVirtualClock(1);
    ASSERT_GE(VekSimAttach(nullptr), 0);
    DeviceHandle *h = nullptr;
    ASSERT_EQ(VekDevAlloc(0, &h, nullptr), DEV_OK);
    EXPECT_EQ(h->frameMode, vek::kFrameModeUnknown);
    uint8_t buf[16] = {};
    EXPECT_EQ(VekDevLoadFrame(h, buf, 0, 16), DEV_ERR_FRAME_MODE);
    uint32_t type = 0;
    ASSERT_EQ(VekDevInquire(h, 5, &type), DEV_OK);
    EXPECT_EQ(VekDevLoadFrame(h, buf, 0, 16), DEV_OK);
    EXPECT_EQ(VekDevFree(h), DEV_OK);
    VekSimDetachAll();
    VekSimSetVirtualClock(0);
}

}  // namespace

// The command dispatcher on the virtual board: what each command number tells
// the board, in order, and the failure paths of the checked commands.
#include <gtest/gtest.h>

#include <optional>

#include "api/board_fixture.h"
#include "api/device_handle.h"

using namespace vektest;

namespace {

constexpr uint32_t kControl = 0x140000a4;  // bit 2, bit 26 and 0xA in bits 4-7 set; bits 0, 1, 25, 31 clear

struct CommandCase {
    uint32_t command, value, result;
    std::vector<std::string> lines;
    std::optional<uint32_t> valueAfter;
    uint32_t i2cStatus = 3;  // register 0x51: bit 0 ready, bit 1 done
};

void PrintTo(const CommandCase &c, std::ostream *os) { *os << "command " << c.command << " value 0x" << Hex(c.value); }

std::vector<CommandCase> AllCommands() {
    const std::vector<std::string> none,
        pulse31 = {"R 1=140000a4<0", "W 1=940000a4", "R 1=940000a4<940000a4", "P 100", "W 1=140000a4"};
    std::vector<CommandCase> cases = {
        {1, 0, DEV_OK, pulse31, {}},
        {8, 1, DEV_OK, {"W 1=40000000"}, {}},
        {8, 2, DEV_OK, none, {}},
        {9, 0, DEV_OK, {"R 1=140000a4<0", "W 1=140000a4", "R 1=140000a4<0"}, {}},
        {10, 0, DEV_OK, {"R 1=140000a4<0", "W 1=140000a6"}, {}},
        {11, 0, DEV_OK, pulse31, {}},
        {13, 0, DEV_OK, {"R 1=140000a4<0", "W 1=140000a5", "P 100"}, {}},
        {15, 1, DEV_OK, {"W 21=0", "R 21=0<0"}, {}},
        {15, 16, DEV_OK, {"W 21=f00fffe", "R 21=f00fffe<f00fffe"}, {}},
        {17, 0x12345, DEV_OK, none, {}},
        {18, 0xabcd, DEV_OK, {"W 30=abcd", "R 30=abcd<abcd"}, {}},
        {19, 7, DEV_OK, {"W 31=7"}, {}},
        {20, 7, DEV_OK, {"W 12=7"}, {}},
        {21, 1, DEV_OK, {"R 1=140000a4<0", "W 1=160000a4", "R 1=160000a4<160000a4"}, {}},
        {21, 2, DEV_OK, {"R 1=140000a4<0", "W 1=140000a4", "R 1=140000a4<140000a4"}, {}},
        {22, 0, DEV_OK, {"R 1=140000a4<0", "W 1=100000a4", "R 1=100000a4<100000a4"}, {}},
        {22, 1, DEV_OK, {"R 1=140000a4<0", "W 1=140000a4", "R 1=140000a4<140000a4"}, {}},
        {24, 0x55, DEV_OK, {"P 200", "W 40=55", "R 40=55<55"}, {}},
        {25, 0x1f, DEV_OK, {"W 13=1"}, {}},
        {26, 0x100, DEV_OK, {"W 14=10"}, {}},
        {27, 9, DEV_OK, {"W 41=9"}, {}},
        {28, 0xab, DEV_OK, {"P 20", "R 51=3<0", "P 20", "W 50=ab", "P 20", "R 51=3<3"}, {}},
        {29, 0xab, DEV_OK, {"P 20", "R 51=3<0", "P 20", "W 52=ab", "P 20", "R 51=3<3"}, {}},
        {30, 0x77, DEV_OK, {"P 20", "R 51=3<0", "P 20", "R 53=99<77", "P 20", "R 51=3<3"}, 0x99},
        {31, 5, DEV_OK, {"W 20=5", "R 20=5<0"}, {}},
        {32, 6, DEV_OK, {"W 22=6", "R 22=6<0"}, {}},
        {33, 0x1234, DEV_OK, {"P 200", "R 40=66<0"}, 0x66},
        {34, 0x1234, DEV_OK, {"R 20=44<0"}, 0x44},
        {35, 0, DEV_OK, {"R 1=140000a4<0", "W 1=14000054", "P 1000"}, {}},
    };
    // The frequency's margin is 3 / (48000000 / f - 1200); between 39967 and
    // 40000 Hz the divisor is 0 and the margin 0, as for every f above the band.
    const uint32_t margins[][2] = {{1, 0},     {39933, 1}, {39934, 3}, {39966, 3},
                                   {39967, 0}, {40000, 0}, {40001, 0}, {0x40000000, 0}};
    for (auto [f, margin] : margins) cases.push_back({14, f, DEV_OK, {"W 20=" + Hex(margin), "W 22=0"}, {}});
    for (uint32_t f : {0u, 0x40000001u}) cases.push_back({14, f, DEV_ERR_TIMING, none, {}});
    for (uint32_t n : {0u, 17u, 0xFFFFFFFFu}) cases.push_back({15, n, DEV_ERR_GRAY_DEPTH, none, {}});
    for (uint32_t i2c : {28u, 29u, 30u})
        cases.push_back({i2c, 0xab, DEV_ERR_I2C_NOT_READY, {"P 20", "R 51=0<0"}, {}, 0});
    // Ready but never done; the read keeps what it read.
    cases.push_back(
        {28, 0xab, DEV_ERR_I2C_NOT_DONE, {"P 20", "R 51=1<0", "P 20", "W 50=ab", "P 20", "R 51=1<1"}, {}, 1});
    cases.push_back(
        {30, 0x77, DEV_ERR_I2C_NOT_DONE, {"P 20", "R 51=1<0", "P 20", "R 53=99<77", "P 20", "R 51=1<1"}, 0x99, 1});
    for (uint32_t unsupported : {0u, 2u, 3u, 4u, 5u, 6u, 7u, 12u, 16u, 23u, 36u, 0xFFFFFFFFu})
        cases.push_back({unsupported, 0, DEV_ERR_UNSUPPORTED, none, {}});
    return cases;
}

class CommandTable : public BoardTest, public ::testing::WithParamInterface<CommandCase> {};

TEST_P(CommandTable, TellsTheBoardExactlyThis) {
    const CommandCase &c = GetParam();
    SetRegisters({{0x01, kControl}, {0x51, c.i2cStatus}, {0x53, 0x99}, {0x40, 0x66}, {0x20, 0x44}});
    uint32_t value = c.value;
    EXPECT_EQ(VekDevControl(handle_, c.command, &value), c.result);
    EXPECT_EQ(TraceLines(board_), c.lines);
    EXPECT_EQ(value, c.valueAfter.value_or(c.value)) << "only 30, 33 and 34 write the value word";
    if (c.command == 15) {
        EXPECT_EQ(handle_->grayBits, c.result == DEV_OK ? c.value : 1u);
    }
    if (c.command == 17) {
        ASSERT_EQ(VekDevInquire(handle_, 17, &value), DEV_OK);
        EXPECT_EQ(value, 0x12340u) << "the loaded-bytes count keeps 16-byte units";
    }
}

INSTANTIATE_TEST_SUITE_P(AllNumbers, CommandTable, ::testing::ValuesIn(AllCommands()));

using CommandTest = BoardTest;

TEST_F(CommandTest, FailedAccesses) {
    ASSERT_EQ(VekSimSetRegister(board_, 0x51, 3), 0);
    for (uint32_t command : {1u,  8u,  9u,  10u, 11u, 13u, 15u, 18u, 19u, 20u, 21u, 22u,
                             24u, 25u, 26u, 27u, 28u, 29u, 30u, 31u, 32u, 33u, 34u, 35u}) {
        ASSERT_EQ(VekSimInjectFault(board_, 0x04, 1, VEK_SIM_FAULT_FAIL_AT_ISSUE), 0);
        uint32_t v = 1;
        EXPECT_EQ(VekDevControl(handle_, command, &v), DEV_ERR_TRANSFER) << command;
        EXPECT_EQ(v, 1u) << command;
    }
    // A later failure leaves the command half done: command 1's read-back
    // (third packet) fails after bit 31 was set.
    ASSERT_EQ(VekSimInjectFault(board_, 0x04, 3, VEK_SIM_FAULT_FAIL_AT_ISSUE), 0);
    EXPECT_EQ(VekDevControl(handle_, 1, nullptr), DEV_ERR_TRANSFER);
    EXPECT_EQ(Reg(board_, 0x01) & 0x80000000u, 0x80000000u);
    // A short reply carries only the address half, so the read-back sees 0.
    // {command, value, the reply cut short, result}:
    const uint32_t shortReplies[][4] = {{9, 0, 2, DEV_ERR_FAILED},
                                        {18, 5, 1, DEV_ERR_VERIFY},
                                        {24, 5, 1, DEV_ERR_VERIFY},
                                        {31, 5, 1, DEV_ERR_TIMING},
                                        {32, 5, 1, DEV_ERR_TIMING}};
    ASSERT_EQ(VekSimSetRegister(board_, 0x01, kControl), 0);
    for (auto [command, value, reply, result] : shortReplies) {
        ASSERT_EQ(VekSimClearFaults(board_), 0);
        ASSERT_EQ(VekSimInjectFault(board_, 0x86, reply, VEK_SIM_FAULT_SHORT), 0);
        uint32_t v = value;
        EXPECT_EQ(VekDevControl(handle_, command, &v), result) << command;
    }
    ASSERT_EQ(VekSimClearFaults(board_), 0);
    // The frequency ignores its failed writes.
    ASSERT_EQ(VekSimInjectFault(board_, 0x04, 1, VEK_SIM_FAULT_FAIL_AT_ISSUE), 0);
    ASSERT_EQ(VekSimInjectFault(board_, 0x04, 2, VEK_SIM_FAULT_STALL), 0);
    uint32_t f = 1000;
    EXPECT_EQ(VekDevControl(handle_, 14, &f), DEV_OK);
}

}  // namespace

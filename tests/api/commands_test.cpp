// The command dispatcher on the virtual board: what each command number tells
// the board, in order, and the failure paths of the checked commands.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>

#include "api/board_fixture.h"
#include "api/device_handle.h"
#include "vek_names.h"

using namespace vektest;

namespace {

constexpr uint32_t kControl = 0x140000a4;  // bit 2, bit 26 and 0xA in bits 4-7 set; bits 0, 1, 25, 31 clear

struct CommandCase {
    const char *name;  // the command's name in the library's table; null for a number it refuses
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
        {"pulse", 1, 0, DEV_OK, pulse31, {}},
        {"control-word", 8, 1, DEV_OK, {"W 1=40000000"}, {}},
        {"control-word", 8, 2, DEV_OK, none, {}},
        {"clear-bit1", 9, 0, DEV_OK, {"R 1=140000a4<0", "W 1=140000a4", "R 1=140000a4<0"}, {}},
        {"set-bit1", 10, 0, DEV_OK, {"R 1=140000a4<0", "W 1=140000a6"}, {}},
        {"pulse2", 11, 0, DEV_OK, pulse31, {}},
        {"set-bit0", 13, 0, DEV_OK, {"R 1=140000a4<0", "W 1=140000a5", "P 100"}, {}},
        {"gray-depth", 15, 1, DEV_OK, {"W 21=0", "R 21=0<0"}, {}},
        {"gray-depth", 15, 16, DEV_OK, {"W 21=f00fffe", "R 21=f00fffe<f00fffe"}, {}},
        {"loaded-bytes", 17, 0x12345, DEV_OK, none, {}},
        {"reg30", 18, 0xabcd, DEV_OK, {"W 30=abcd", "R 30=abcd<abcd"}, {}},
        {"reg31", 19, 7, DEV_OK, {"W 31=7"}, {}},
        {"reg12", 20, 7, DEV_OK, {"W 12=7"}, {}},
        {"bit25", 21, 1, DEV_OK, {"R 1=140000a4<0", "W 1=160000a4", "R 1=160000a4<160000a4"}, {}},
        {"bit25", 21, 2, DEV_OK, {"R 1=140000a4<0", "W 1=140000a4", "R 1=140000a4<140000a4"}, {}},
        {"bit26", 22, 0, DEV_OK, {"R 1=140000a4<0", "W 1=100000a4", "R 1=100000a4<100000a4"}, {}},
        {"bit26", 22, 1, DEV_OK, {"R 1=140000a4<0", "W 1=140000a4", "R 1=140000a4<140000a4"}, {}},
        {"reg40", 24, 0x55, DEV_OK, {"P 200", "W 40=55", "R 40=55<55"}, {}},
        {"reg13", 25, 0x1f, DEV_OK, {"W 13=1"}, {}},
        {"reg14", 26, 0x100, DEV_OK, {"W 14=10"}, {}},
        {"reg41", 27, 9, DEV_OK, {"W 41=9"}, {}},
        {"i2c-write-a", 28, 0xab, DEV_OK, {"P 20", "R 51=3<0", "P 20", "W 50=ab", "P 20", "R 51=3<3"}, {}},
        {"i2c-write-b", 29, 0xab, DEV_OK, {"P 20", "R 51=3<0", "P 20", "W 52=ab", "P 20", "R 51=3<3"}, {}},
        {"i2c-read", 30, 0x77, DEV_OK, {"P 20", "R 51=3<0", "P 20", "R 53=99<77", "P 20", "R 51=3<3"}, 0x99},
        {"margin", 31, 5, DEV_OK, {"W 20=5", "R 20=5<0"}, {}},
        {"interval", 32, 6, DEV_OK, {"W 22=6", "R 22=6<0"}, {}},
        {"read-reg40", 33, 0x1234, DEV_OK, {"P 200", "R 40=66<0"}, 0x66},
        {"read-margin", 34, 0x1234, DEV_OK, {"R 20=44<0"}, 0x44},
        {"mode5", 35, 0, DEV_OK, {"R 1=140000a4<0", "W 1=14000054", "P 1000"}, {}},
        // Ready but never done; the read keeps what it read.
        // clang-format off
        {"i2c-write-a", 28, 0xab, DEV_ERR_I2C_NOT_DONE, {"P 20", "R 51=1<0", "P 20", "W 50=ab", "P 20", "R 51=1<1"}, {}, 1},
        {"i2c-read", 30, 0x77, DEV_ERR_I2C_NOT_DONE, {"P 20", "R 51=1<0", "P 20", "R 53=99<77", "P 20", "R 51=1<1"}, 0x99, 1},
        // clang-format on
    };
    // The frequency's margin is 3 / (48000000 / f - 1200); between 39967 and
    // 40000 Hz the divisor is 0 and the margin 0, as for every f above the band.
    const uint32_t margins[][2] = {{1, 0},     {39933, 1}, {39934, 3}, {39966, 3},
                                   {39967, 0}, {40000, 0}, {40001, 0}, {0x40000000, 0}};
    for (auto [f, margin] : margins)
        cases.push_back({"frequency", 14, f, DEV_OK, {"W 20=" + Hex(margin), "W 22=0"}, {}});
    for (uint32_t f : {0u, 0x40000001u}) cases.push_back({"frequency", 14, f, DEV_ERR_TIMING, none, {}});
    for (uint32_t n : {0u, 17u, 0xFFFFFFFFu}) cases.push_back({"gray-depth", 15, n, DEV_ERR_GRAY_DEPTH, none, {}});
    for (uint32_t i2c : {28u, 29u, 30u})
        cases.push_back({VekCommandName(i2c), i2c, 0xab, DEV_ERR_I2C_NOT_READY, {"P 20", "R 51=0<0"}, {}, 0});
    for (uint32_t unsupported : {0u, 36u, 0xFFFFFFFFu})
        cases.push_back({nullptr, unsupported, 0, DEV_ERR_UNSUPPORTED, none, {}});
    return cases;
}

class CommandTable : public BoardTest, public ::testing::WithParamInterface<CommandCase> {};

TEST_P(CommandTable, TellsTheBoardExactlyThis) {
    const CommandCase &c = GetParam();
    SetRegisters({{0x01, kControl}, {0x51, c.i2cStatus}, {0x53, 0x99}, {0x40, 0x66}, {0x20, 0x44}});
    EXPECT_STREQ(VekCommandName(c.command), c.name);
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

// Every number against the tables: a listed command or inquiry runs, any
// other is refused; a command refuses a null value word exactly when it uses
// the value. Each row of each table is found again by number and by name.
TEST_F(CommandTest, TablesHoldTheDispatch) {
    // Commands 0 to 35 by position: '.' none, then how it uses VALUE: n not, i in, o out, b both; inquiries 0 to 23.
    const std::string uses = ".n......innn.nii.iiiiii.iiiiiibiioon", inquiries = "x.xxxxxx.........x.....x";
    for (uint32_t n = 0; n < 64; ++n) {
        const char use = n < uses.size() ? uses[n] : '.';
        const VekNameEntry *command = VekNameOf(VEK_TABLE_COMMANDS, n);
        uint32_t v = 1;
        EXPECT_EQ(VekDevControl(handle_, n, &v) == DEV_ERR_UNSUPPORTED, use == '.') << n;
        EXPECT_EQ(VekDevInquire(handle_, n, &v) == DEV_ERR_UNSUPPORTED, n >= inquiries.size() || inquiries[n] == '.')
            << n;
        if (use == '.') continue;
        EXPECT_EQ(command != nullptr ? command->value : 9u, std::string("niob").find(use)) << n;
        EXPECT_EQ(VekDevControl(handle_, n, nullptr) == DEV_ERR_NULL_ARGUMENT, use != 'n') << n;
    }
    for (uint32_t table = VEK_TABLE_RESULTS; table <= VEK_TABLE_BOARD_TYPES; ++table)
        for (uint32_t i = 0; const VekNameEntry *row = VekNameAt(table, i); ++i)
            EXPECT_EQ(std::pair(VekNameOf(table, row->number), VekNameFind(table, row->name)), std::pair(row, row));
}

// Result codes by the names of their constants.
TEST(ResultNames, AreTheConstantsNames) {
#define NAMED(code) std::pair<uint32_t, const char *>(code, #code)
    // clang-format off
    const std::pair<uint32_t, const char *> codes[] = {
        NAMED(DEV_OK), NAMED(DEV_ERR_NO_DEVICE), NAMED(DEV_ERR_NULL_ARGUMENT), NAMED(DEV_ERR_BUSY),
        NAMED(DEV_ERR_UNSUPPORTED), NAMED(DEV_ERR_TRANSFER), NAMED(DEV_ERR_NO_MEMORY), NAMED(DEV_ERR_TIMING),
        NAMED(DEV_ERR_FRAME_MODE), NAMED(DEV_ERR_GRAY_DEPTH), NAMED(DEV_ERR_VERIFY), NAMED(DEV_ERR_I2C_NOT_READY),
        NAMED(DEV_ERR_I2C_NOT_DONE), NAMED(DEV_ERR_FAILED), NAMED(VEK_TRANSPORT_FAILED)};
    // clang-format on
    for (auto [code, name] : codes) EXPECT_STREQ(VekResultName(code), name) << VekResultMeaning(code);
    EXPECT_EQ(VekNameAt(VEK_TABLE_RESULTS, std::size(codes)), nullptr);
}

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

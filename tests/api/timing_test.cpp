// Inquiries, bit-plane timing, trigger extension, GPIO and the gated register
// read on the virtual board.
#include <gtest/gtest.h>

#include <tuple>

#include "api/board_fixture.h"
#include "api/device_handle.h"
#include "vek_names.h"

using namespace vektest;

namespace {

struct InquiryCase {
    const char *name;                // the inquiry's name in the library's table; null for a number it refuses
    uint32_t inquiry, code, result;  // result: unchanged 0x5555 on failure
    std::vector<std::string> lines;
    uint32_t reg02 = 0x10000000, frameMode = 0x10000000;  // inquiry 5: the board type and the frame layout it sets
};

void PrintTo(const InquiryCase &c, std::ostream *os) { *os << "inquiry " << c.inquiry; }

std::vector<InquiryCase> AllInquiries() {
    std::vector<InquiryCase> cases = {
        {"bit1", 0, DEV_OK, 1, {"R 1=140000a6<0"}},
        {"fixed-2", 2, DEV_OK, 0x1000, {}},
        {"fixed-3", 3, DEV_OK, 0x1000, {}},
        {"fixed-4", 4, DEV_OK, 0x120315, {}},
        {"board-type", 5, DEV_OK, 2, {"R 2=10000000<0"}},
        {"board-type", 5, DEV_OK, 1, {"R 2=0<0"}, 0x00000000, 0},
        {"board-type", 5, DEV_OK, 1, {"R 2=fffffff<0"}, 0x0FFFFFFF, 0},
        {"board-type", 5, DEV_OK, 3, {"R 2=30000000<0"}, 0x30000000, 0x10000000},
        {"board-type", 5, DEV_OK, 255, {"R 2=20000000<0"}, 0x20000000, 0xF0000000},
        {"board-type", 5, DEV_OK, 255, {"R 2=f0000000<0"}, 0xF0000000, 0xF0000000},
        {"register0", 6, DEV_OK, 0xcafe, {"R 0=cafe<0"}},
        {"fixed-7", 7, DEV_OK, 0x120315, {}},
        {"loaded-bytes", 17, DEV_OK, 0, {}},
        {"control-register", 23, DEV_OK, 0x140000a6, {"R 1=140000a6<0"}},
    };
    return cases;
}

class InquiryTable : public BoardTest, public ::testing::WithParamInterface<InquiryCase> {};

TEST_P(InquiryTable, AnswersAndReads) {
    const InquiryCase &c = GetParam();
    SetRegisters({{0x00, 0xcafe}, {0x01, 0x140000a6}, {0x02, c.reg02}});
    EXPECT_STREQ(VekInquiryName(c.inquiry), c.name);
    uint32_t result = 0x5555;
    EXPECT_EQ(VekDevInquire(handle_, c.inquiry, &result), c.code);
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(TraceLines(board_), c.lines);
    if (c.inquiry == 5) {
        EXPECT_EQ(handle_->frameMode, c.frameMode);
        EXPECT_EQ(vek::g_boardType.load(), c.result) << "the process-wide type";
    }
}

INSTANTIATE_TEST_SUITE_P(AllNumbers, InquiryTable, ::testing::ValuesIn(AllInquiries()));

using TimingTest = BoardTest;

// The bit planes of each board type, as the tool and the package read them.
TEST_F(TimingTest, FrameLayoutOfEachBoardType) {
    const uint32_t layouts[][4] = {
        {1, 1920, 1080, 0}, {2, 1024, 768, 0x10000000}, {3, 1024, 768, 0x10000000}, {4, 0, 0, 0}, {255, 0, 0, 0}};
    for (auto [type, width, height, mode] : layouts) {
        VekFrameLayout l{};
        const int known = VekBoardFrameLayout(type, &l);
        EXPECT_EQ(std::tuple(known, l.width, l.height, l.frameMode, l.bytesPerPlane * 8, l.bytesPerFrame),
                  std::tuple(width != 0 ? 1 : 0, width, height, mode, width * height, width * height));
    }
}

// A failed read leaves the result and the frame mode as they were.
TEST_F(TimingTest, FailedInquiryTheGatedRegisterReadAndGpio) {
    ASSERT_EQ(VekSimInjectFault(board_, 0x04, 1, VEK_SIM_FAULT_FAIL_AT_ISSUE), 0);
    uint32_t r = 0x5555;
    EXPECT_EQ(VekDevInquire(handle_, 5, &r), DEV_ERR_TRANSFER);
    EXPECT_EQ(r, 0x5555u);
    EXPECT_EQ(handle_->frameMode, vek::kFrameModeUnknown);
    SetRegisters({{0x1234, 0xbeef}});
    uint32_t v = 0x42;
    EXPECT_EQ(VekDevRReg(handle_, 0x1234, &v), DEV_OK);
    EXPECT_EQ(v, 0xbeefu);
    EXPECT_EQ(TraceLines(board_), Lines({"R 1234=beef<42"}));
    ASSERT_EQ(VekSimInjectFault(board_, 0x04, 1, VEK_SIM_FAULT_FAIL_AT_ISSUE), 0);
    EXPECT_EQ(VekDevSetGPIO(handle_, &v), 0xFFFFFFFFu);
    ASSERT_EQ(VekSimInjectFault(board_, 0x86, 1, VEK_SIM_FAULT_FAIL_AT_ISSUE), 0);
    v = 0x42;
    EXPECT_EQ(VekDevRReg(handle_, 0x1234, &v), DEV_ERR_TRANSFER);
    EXPECT_EQ(v, 0x42u);
}

// The control register, then 0x6E down to 0x60 (planes) and 0x6F up to 0x75 (words).
TEST_F(TimingTest, RegistersOfEachCall) {
    vek::g_boardType.store(0);  // no inquiry 5 yet: load time 30 us
    struct {
        uint32_t planes, period, aux, control;
        bool shortPeriod;
        std::vector<uint32_t> plane, words;
    } cases[] = {
        {8, 20000, 0, 0xF, false, {7529, 15058, 30117, 60235, 120470, 240941, 481882}, {3764}},
        {1, 20000, 0, 0, false, {}, {960000}},  // one plane still writes every timing register
        {1, 20000, 100, 0, false, {}, {0, 961409, 3390}},
        {8, 5000, 200, 0, true, {0, 0, 7529, 15058, 30117, 60235, 120470}, {0, 2350, 4062, 5173, 654, 3291, 654}},
        // Words computed in single precision: in double (or the x87 unit's
        // extended precision) 0x69 and 0x68 come out 602352 and 1204705, and
        // the two-plane words 111999 and 55999.
        {8, 50000, 0, 0, false, {18823, 37647, 75294, 150588, 301176, 602353, 1204706}, {9411}},
        {2, 3500, 0, 0, false, {112000}, {56000}},
    };
    for (const auto &c : cases) {
        SetRegisters({{0x01, c.control}});
        EXPECT_EQ(VekDevNewFrequencySet(handle_, c.planes, c.period, c.aux), DEV_OK);
        const uint32_t after = c.shortPeriod ? (c.control | 4u) : (c.control & ~4u);
        std::vector<std::string> lines = {"R 1=" + Hex(c.control) + "<0", "W 1=" + Hex(after)};
        for (uint32_t i = 0; i < 15; ++i)
            lines.push_back("W " + Hex(0x6E - i) + "=" + Hex(i < c.plane.size() ? c.plane[i] : 0));
        for (uint32_t i = 0; i < 7; ++i)
            lines.push_back("W " + Hex(0x6F + i) + "=" + Hex(i < c.words.size() ? c.words[i] : 0));
        EXPECT_EQ(TraceLines(board_), lines) << c.planes << " " << c.period << " " << c.aux;
    }
}

// Refusals write nothing; a failed control register access stops before the
// timing registers; the load time follows the board type.
TEST_F(TimingTest, RefusalsFailuresAndTheLoadTime) {
    vek::g_boardType.store(0);
    // {planes, period, aux}: 3478 is below 13.64 x 255, aux 128 below 3 x (30 + 13).
    const uint32_t refused[][3] = {{8, 10000, 0}, {8, 3478, 200}, {8, 5000, 128}, {0, 20000, 0}, {17, 20000000, 0}};
    for (auto [planes, period, aux] : refused)
        EXPECT_EQ(VekDevNewFrequencySet(handle_, planes, period, aux), DEV_ERR_FAILED) << period;
    EXPECT_TRUE(TraceLines(board_).empty());
    EXPECT_EQ(VekDevNewFrequencySet(handle_, 16, 20000000, 0), DEV_OK);
    VekSimTraceClear();
    ASSERT_EQ(VekSimInjectFault(board_, 0x04, 2, VEK_SIM_FAULT_FAIL_AT_ISSUE), 0);  // the write-back
    EXPECT_EQ(VekDevNewFrequencySet(handle_, 8, 20000, 0), DEV_ERR_TRANSFER);
    EXPECT_EQ(TraceLines(board_), Lines({"R 1=0<0"}));
    ASSERT_EQ(VekSimSetRegister(board_, 0x02, 0x00000000), 0);  // board type 1: 43 us
    uint32_t type = 0;
    ASSERT_EQ(VekDevInquire(handle_, 5, &type), DEV_OK);
    ASSERT_EQ(type, 1u);
    // 30 us below (43 + 13) x 255 = 14280 with k = 43 takes the short path.
    EXPECT_EQ(VekDevNewFrequencySet(handle_, 8, 14279, 0), DEV_ERR_FAILED);
    EXPECT_EQ(VekDevNewFrequencySet(handle_, 8, 14280, 0), DEV_OK);
}

constexpr char kBanner[] = "  \n\n\n\n Trigger extension setting :  \n \n ";

// Only 1 enables; failures of the first look are ignored, later ones stop.
TEST_F(TimingTest, TriggerBannerRegistersAndFailures) {
    SetRegisters({{0x34, 0x11}, {0x35, 0x22}, {0x36, 0x33}, {0x37, 0x44}});
    testing::internal::CaptureStdout();
    EXPECT_EQ(VekDevTriggerExtSet(handle_, 0xa, 1, 0xb, 0xc), DEV_OK);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), kBanner);
    EXPECT_EQ(TraceLines(board_),
              Lines({"R 34=11<0", "R 35=22<11", "R 36=33<22", "R 37=44<33", "W 34=a", "R 35=22<44", "W 35=23", "W 36=b",
                     "W 37=c", "R 34=a<0", "R 35=23<0", "R 36=b<0", "R 37=c<0"}));
    testing::internal::CaptureStdout();
    SetRegisters({{0x35, 0xF1}});
    EXPECT_EQ(VekDevTriggerExtSet(handle_, 0, 2, 0, 0), DEV_OK);
    EXPECT_EQ(Reg(board_, 0x35), 0xF0u);
    ASSERT_EQ(VekSimInjectFault(board_, 0x04, 1, VEK_SIM_FAULT_FAIL_AT_ISSUE), 0);
    EXPECT_EQ(VekDevTriggerExtSet(handle_, 1, 1, 2, 3), DEV_OK);
    VekSimTraceClear();
    ASSERT_EQ(VekSimInjectFault(board_, 0x04, 5, VEK_SIM_FAULT_FAIL_AT_ISSUE), 0);  // the write of 0x34
    EXPECT_EQ(VekDevTriggerExtSet(handle_, 1, 1, 2, 3), DEV_ERR_TRANSFER);
    EXPECT_EQ(TraceLines(board_).size(), 4u);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), std::string(kBanner) + kBanner + kBanner);
}

}  // namespace

// The typical use of a board from start to end, on one virtual board and on
// two driven side by side; and a firmware download followed by a re-open.
#include <gtest/gtest.h>

#include <thread>

#include "api/board_fixture.h"
#include "api/device_handle.h"
#include "firmware/iic_file.h"

using namespace vektest;

namespace {

constexpr int32_t kWidth = 1920, kHeight = 1080;
constexpr uint32_t kFrameBytes = kWidth / 8 * kHeight * 8;  // eight bit planes

// Allocation to release on one board; sets what failed, or leaves "".
void TypicalUse(uint32_t index, int board, uint8_t seed, uint32_t startAddress, std::string &failure) {
    auto fail = [&](const std::string &what) { failure = "board " + std::to_string(board) + ": " + what; };
    DeviceHandle *h = nullptr;
    uint8_t isVek40 = 0;
    if (VekDevAlloc(index, &h, &isVek40) != DEV_OK || isVek40 != 1) return fail("alloc");
    DeviceInitParams params{0, 1000, 8, 0x30};
    uint32_t type = 0, count = 0;
    if (VekDevInit(h, &params) != DEV_OK) return fail("init");
    if (VekDevInquire(h, 5, &type) != DEV_OK || type != 1) return fail("inquiry 5");

    std::vector<uint8_t> gray(static_cast<size_t>(kWidth) * kHeight), frame(kFrameBytes), back(kFrameBytes),
        memory(kFrameBytes), pixels(gray.size());
    for (size_t i = 0; i < gray.size(); ++i) gray[i] = static_cast<uint8_t>(i % kWidth + 3 * (i / kWidth) + seed);
#if VEK_HAVE_IMAGES
    if (pixel2bin(gray.data(), kWidth, kHeight, 0xFF, frame.data()) != frame.data()) return fail("pixel2bin");
#else
    for (size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<uint8_t>(i * 7 + seed);
#endif
    if (VekDevLoadFrame(h, frame.data(), startAddress, kFrameBytes) != DEV_OK) return fail("load");
    if (VekDevNewFrequencySet(h, 8, 20000, 0) != DEV_OK) return fail("timing");
    if (VekDevGetFrame(h, back.data(), startAddress, kFrameBytes) != DEV_OK || back != frame) return fail("readback");
    if (VekSimReadMemory(board, startAddress, memory.data(), kFrameBytes) != 0 || memory != frame)
        return fail("board memory differs");
#if VEK_HAVE_IMAGES
    bin2pixel(back.data(), kWidth, kHeight, 0xFF, pixels.data());
    if (pixels != gray) return fail("frame does not convert back");
#endif
    if (VekDevInquire(h, 17, &count) != DEV_OK || count != 2 * kFrameBytes) return fail("loaded bytes");
    if (VekDevFree(h) != DEV_OK) return fail("free");
}

using EndToEnd = SimTest;

TEST_F(EndToEnd, OneBoard) {
    const int board = VekSimAttach(nullptr);
    ASSERT_GE(board, 0);
    std::string failure;
    TypicalUse(0, board, 0, 0x40000, failure);
    EXPECT_EQ(failure, "");
    // The frame went out in pieces of 1 MiB and the rest, both ways.
    const std::vector<std::string> lines = TraceLines(board);
    auto at = lines.begin();
    for (const char *p : {"OUT 2 1048576", "OUT 2 1025024", "IN 86 1048576", "IN 86 1025024"}) {
        at = std::find(at, lines.end(), p);
        ASSERT_NE(at, lines.end()) << p;
    }
    EXPECT_EQ(Reg(board, 0x6E), 7529u);
    EXPECT_EQ(Reg(board, 0x10), 0x4000u);
}

// Each board driven by its own handle on its own thread.
TEST_F(EndToEnd, TwoBoardsSideBySide) {
    const int first = VekSimAttach(nullptr), second = VekSimAttach(nullptr);
    ASSERT_GE(second, 0);
    std::string failure0, failure1;
    std::thread a(TypicalUse, 0, first, 0, 0x0, std::ref(failure0));
    std::thread b(TypicalUse, 1, second, 77, 0x800000, std::ref(failure1));
    a.join();
    b.join();
    EXPECT_EQ(failure0 + failure1, "");
    EXPECT_EQ(Reg(first, 0x10), 0u);
    EXPECT_EQ(Reg(second, 0x10), 0x80000u);
    // Nothing of the second board's frame reached the first board's memory.
    std::vector<uint8_t> memory(16, 0xAA);
    ASSERT_EQ(VekSimReadMemory(first, 0x800000, memory.data(), 16), 0);
    EXPECT_EQ(memory, std::vector<uint8_t>(16, 0));
}

// A 16 KiB image in three records with gaps, loaded, then the board re-opened.
TEST_F(EndToEnd, FirmwareDownloadThenReopen) {
    ScratchDirectory dir;
    ASSERT_TRUE(dir.ok());
    VekSimBoardConfig config{sizeof config, nullptr, "VEK FW 4.1", 0};
    const int board = VekSimAttach(&config);
    DeviceHandle *h = nullptr;
    ASSERT_EQ(VekDevAlloc(0, &h, nullptr), DEV_OK);
    const std::vector<IicRecord> records = {
        {0x1200, Bytes(0x2000, 21)}, {0x0000, Bytes(0x1000, 42)}, {0x3400, Bytes(0x0C00, 63)}};
    ScratchDirectory::WriteFirmware(IicFile(records));
    VekSimTraceClear();
    ASSERT_EQ(VekDownloadFirmWare(h, 0), 1);
    EXPECT_EQ(TraceLines(board).size(), 1 + 8 + 1 + 1u) << "hold, eight chunks, run, pause";
    std::vector<uint8_t> expected(0x4000, 0xFF), ram(0x4000);
    for (const IicRecord &r : records) std::copy(r.data.begin(), r.data.end(), expected.begin() + r.address);
    ASSERT_EQ(VekSimReadControllerRam(board, 0, ram.data(), 0x4000), 0);
    EXPECT_EQ(ram, expected);
    EXPECT_EQ(VekSimControllerHeld(board), 0);

    EXPECT_EQ(DevReAlloc(h), 1);
    EXPECT_EQ(VekIfDevOpenned(h), 1);
    uint8_t version[30];
    GetFWversion(version);
    EXPECT_EQ(version[0], 'V');
    EXPECT_EQ(version[18], '1');
    uint32_t v = 0x31;
    EXPECT_EQ(VekDevControl(h, 19, &v), DEV_OK);
    EXPECT_EQ(Reg(board, 0x31), 0x31u);
    EXPECT_EQ(VekDevFree(h), DEV_OK);
}

}  // namespace

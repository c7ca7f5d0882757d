// The controller firmware download on the virtual board: the requests, their
// chunks and order, the RAM image they leave, and the files that are refused.
#include <gtest/gtest.h>

#include <cstring>

#include "api/board_fixture.h"
#include "firmware/firmware.h"
#include "firmware/iic_file.h"

using namespace vektest;

namespace {

const std::string kHold = "CTL 40 a0 e600 1";
const std::string kRun = "CTL 40 a0 e600 1";

class DownloadTest : public BoardTest {
protected:
    void SetUp() override {
        BoardTest::SetUp();
        ASSERT_TRUE(dir_.ok());
    }
    std::vector<uint8_t> Ram(uint32_t address, uint32_t length) {
        std::vector<uint8_t> out(length);
        EXPECT_EQ(VekSimReadControllerRam(board_, address, out.data(), length), 0);
        return out;
    }
    // hold, one line per chunk, run, the 2000 ms pause.
    static std::vector<std::string> Expected(const std::vector<std::pair<uint32_t, uint32_t>> &chunks) {
        std::vector<std::string> lines = {kHold};
        for (auto [address, length] : chunks) lines.push_back("CTL 40 a0 " + Hex(address) + " " + std::to_string(length));
        lines.push_back(kRun);
        lines.push_back("P 2000");
        return lines;
    }

    ScratchDirectory dir_;
};

TEST_F(DownloadTest, GapBetweenRecordsGoesOutAsFF) {
    const auto a = Bytes(16, 1), b = Bytes(16, 100);
    for (bool descending : {false, true}) {
        VekSimTraceClear();
        ScratchDirectory::WriteFirmware(descending ? IicFile({{0x0100, b}, {0x0000, a}})
                                                   : IicFile({{0x0000, a}, {0x0100, b}}));
        EXPECT_EQ(VekDownloadFirmWare(handle_, 0), 1);
        EXPECT_EQ(TraceLines(board_), Expected({{0x0000, 272}}));
        std::vector<uint8_t> image(272, 0xFF);
        std::copy(a.begin(), a.end(), image.begin());
        std::copy(b.begin(), b.end(), image.begin() + 0x100);
        EXPECT_EQ(Ram(0, 272), image);
        EXPECT_EQ(VekSimControllerHeld(board_), 0);
    }
}

TEST_F(DownloadTest, ChunksOfAtMost2048Bytes) {
    struct {
        uint16_t address;
        uint32_t length;
        std::vector<std::pair<uint32_t, uint32_t>> chunks;
    } cases[] = {
        {0x0000, 3475, {{0x0000, 2048}, {0x0800, 1427}}},
        {0x0000, 0x2000, {{0x0000, 2048}, {0x0800, 2048}, {0x1000, 2048}, {0x1800, 2048}}},
        {0x0080, 16, {{0x0080, 16}}},
        {0xF000, 0x800, {{0xF000, 2048}}},  // the highest image accepted ends at 0xF800
    };
    for (const auto &c : cases) {
        VekSimTraceClear();
        const auto data = Bytes(c.length, static_cast<uint8_t>(c.length));
        ScratchDirectory::WriteFirmware(IicFile({{c.address, data}}));
        EXPECT_EQ(VekDownloadFirmWare(handle_, 0xFFFFFFFF), 1) << c.length;
        EXPECT_EQ(TraceLines(board_), Expected(c.chunks)) << c.length;
        EXPECT_EQ(Ram(c.address, c.length), data) << c.length;
    }
}

TEST_F(DownloadTest, HeaderAndFinalRecordOnly) {
    ScratchDirectory::WriteFirmware(IicFile({}));
    EXPECT_EQ(VekDownloadFirmWare(handle_, 0), 1);
    EXPECT_EQ(TraceLines(board_), Expected({}));
}

TEST_F(DownloadTest, MissingFileSendsNothingAndDoesNotWait) {
    const uint64_t start = VekSimClockMs();
    EXPECT_EQ(VekDownloadFirmWare(handle_, 0), 0);
    EXPECT_TRUE(TraceLines(board_).empty());
    EXPECT_EQ(VekSimClockMs(), start);
}

TEST_F(DownloadTest, FileSizeLimit) {
    // 65535 bytes: a well-formed file padded after its final record.
    std::vector<uint8_t> file = IicFile({{0x0000, Bytes(0xF000, 3)}});
    file.resize(65535, 0x00);
    ScratchDirectory::WriteFirmware(file);
    EXPECT_EQ(VekDownloadFirmWare(handle_, 0), 1);
    VekSimTraceClear();
    file.push_back(0x00);  // 65536 bytes
    ScratchDirectory::WriteFirmware(file);
    EXPECT_EQ(VekDownloadFirmWare(handle_, 0), 0);
    EXPECT_TRUE(TraceLines(board_).empty());
}

TEST_F(DownloadTest, FailedChunkLeavesTheControllerHeld) {
    ScratchDirectory::WriteFirmware(IicFile({{0x0000, Bytes(0x1000, 9)}}));
    ASSERT_EQ(VekSimInjectFault(board_, 0x00, 3, VEK_SIM_FAULT_FAIL_AT_ISSUE), 0);  // hold, chunk 1, chunk 2
    EXPECT_EQ(VekDownloadFirmWare(handle_, 0), 0);
    EXPECT_EQ(TraceLines(board_), Lines({"CTL 40 a0 e600 1", "CTL 40 a0 0 2048"}));
    EXPECT_EQ(VekSimControllerHeld(board_), 1);
    // A later download runs to its end and starts the CPU.
    EXPECT_EQ(VekDownloadFirmWare(handle_, 0), 1);
    EXPECT_EQ(VekSimControllerHeld(board_), 0);
}

// Malformed files are refused before any traffic; the controller keeps
// running what it runs.
TEST_F(DownloadTest, MalformedFilesAreRefusedBeforeAnyTraffic) {
    std::vector<uint8_t> pastFileEnd = IicFile({{0x0000, Bytes(64, 1)}}, false);
    pastFileEnd.resize(pastFileEnd.size() - 10);
    const std::vector<std::vector<uint8_t>> files = {
        IicFile({{0x0000, Bytes(64, 1)}}, false),                    // no final record
        pastFileEnd,                                                 // a record past the end of the file
        IicFile({{0xFFF0, Bytes(0x20, 1)}}),                         // past the 64 KiB image
        IicFile({{0x0000, Bytes(16, 1)}, {0xF000, Bytes(0x801, 1)}}),  // ends above 0xF800
        {0xC2, 0x47, 0x05},                                          // shorter than the header
    };
    const uint8_t marker[4] = {0xDE, 0xAD, 0xBE, 0xEF};
    ASSERT_EQ(VekSimWriteControllerRam(board_, 0, marker, 4), 0);
    for (size_t i = 0; i < files.size(); ++i) {
        ScratchDirectory::WriteFirmware(files[i]);
        EXPECT_EQ(VekDownloadFirmWare(handle_, 0), 0) << i;
        EXPECT_TRUE(TraceLines(board_).empty()) << i;
        EXPECT_EQ(VekSimControllerHeld(board_), 0) << i;
        EXPECT_EQ(Ram(0, 4), std::vector<uint8_t>(marker, marker + 4)) << i;
    }
}

// ---- The record walk -------------------------------------------------------------

struct Walk {
    vek::IicStatus status;
    uint16_t imageLen, fwOffset;
    std::vector<uint8_t> image;
};

Walk RunWalk(const std::vector<uint8_t> &file) {
    std::vector<uint8_t> buffer(vek::kMaxFwSize, 0xFF);
    std::copy(file.begin(), file.end(), buffer.begin());
    Walk w{};
    w.image.assign(vek::kMaxFwSize, 0);
    w.status = vek::ParseIicRecords(buffer.data(), static_cast<uint16_t>(file.size()), w.image.data(), w.imageLen,
                                    w.fwOffset);
    return w;
}

TEST(IicWalk, LaterRecordsOverwriteEarlierOnes) {
    const Walk w = RunWalk(IicFile({{0x10, {1, 2, 3, 4}}, {0x12, {9, 9}}}));
    ASSERT_EQ(w.status, vek::kIicOk);
    EXPECT_EQ(w.fwOffset, 0x10);
    EXPECT_EQ(w.imageLen, 0x14);
    EXPECT_EQ(std::vector<uint8_t>(w.image.begin() + 0x0F, w.image.begin() + 0x15),
              (std::vector<uint8_t>{0xFF, 1, 2, 9, 9, 0xFF}));
}

TEST(IicWalk, LengthsOtherThan8001AreDataRecords) {
    // A zero-length record still counts for the range; 0x8000 is 32 KiB of data.
    Walk w = RunWalk(IicFile({{0x0040, {}}, {0x0100, {7}}}));
    ASSERT_EQ(w.status, vek::kIicOk);
    EXPECT_EQ(w.fwOffset, 0x40);
    EXPECT_EQ(w.imageLen, 0x101);
    w = RunWalk(IicFile({{0x1000, Bytes(0x8000, 5)}}));
    ASSERT_EQ(w.status, vek::kIicOk);
    EXPECT_EQ(w.imageLen, 0x9000);
}

TEST(IicWalk, RefusalReasons) {
    EXPECT_EQ(RunWalk(IicFile({{0, {1}}}, false)).status, vek::kIicNoFinalRecord);
    std::vector<uint8_t> cut = IicFile({{0, Bytes(32, 0)}}, false);
    cut.resize(cut.size() - 1);
    EXPECT_EQ(RunWalk(cut).status, vek::kIicPastFileEnd);
    EXPECT_EQ(RunWalk(IicFile({{0xFFFF, {1}}})).status, vek::kIicPastImageEnd);
    EXPECT_EQ(RunWalk(IicFile({{0xF7FF, {1, 2}}})).status, vek::kIicImageTooHigh);
    EXPECT_EQ(RunWalk(IicFile({{0xF7FF, {1}}})).status, vek::kIicOk);
}

}  // namespace

// The controller firmware download on the virtual board: the requests, their
// chunks and order, the RAM image they leave, and the files that are refused
// (a chunk that fails: reliability_fault_sweep_test).
#include <gtest/gtest.h>

#include <optional>

#include "api/board_fixture.h"
#include "firmware/iic_file.h"
#include "vek_files.h"

using namespace vektest;

namespace {

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
    ScratchDirectory dir_;
};

// A file cut, or padded with zeros, to `size` bytes.
std::vector<uint8_t> Sized(std::vector<uint8_t> file, size_t size) {
    file.resize(size, 0x00);
    return file;
}

// Hold the CPU, one request per chunk of at most 2048 bytes of the image from
// its lowest to its highest record (gaps as 0xFF), run the CPU, pause 2000 ms.
// Later records overwrite earlier ones; every length but 0x8001 is data (a
// zero-length record still counts for the range; 0x8000 is 32 KiB of data).
TEST_F(DownloadTest, ChunksOfAtMost2048Bytes) {
    const auto a = Pattern(16, 1), b = Pattern(16, 100);
    const struct {
        std::vector<IicRecord> records;
        uint32_t low, high;  // the image sent
    } cases[] = {
        {{{0x0000, a}, {0x0100, b}}, 0x0000, 0x0110},
        {{{0x0100, b}, {0x0000, a}}, 0x0000, 0x0110},
        {{{0x0010, {1, 2, 3, 4}}, {0x0012, {9, 9}}}, 0x0010, 0x0014},
        {{{0x0040, {}}, {0x0100, {7}}}, 0x0040, 0x0101},
        {{{0x0000, Pattern(3475, 1)}}, 0x0000, 3475},
        {{{0x1000, Pattern(0x8000, 5)}}, 0x1000, 0x9000},
        {{{0xF000, Pattern(0x800, 4)}}, 0xF000, 0xF800},  // the highest image accepted
        {{}, 0, 0},                                       // header and final record only
    };
    for (const auto &c : cases) {
        VekSimTraceClear();
        ScratchDirectory::WriteFirmware(IicFile(c.records));
        EXPECT_EQ(VekDownloadFirmWare(handle_, 0xFFFFFFFF), 1);
        std::vector<std::string> lines = {"CTL 40 a0 e600 1"};
        for (uint32_t at = c.low; at < c.high; at += 2048)
            lines.push_back("CTL 40 a0 " + Hex(at) + " " + std::to_string(std::min(c.high - at, 2048u)));
        lines.insert(lines.end(), {"CTL 40 a0 e600 1", "P 2000"});
        EXPECT_EQ(TraceLines(board_), lines) << c.low;
        std::vector<uint8_t> image(c.high - c.low, 0xFF);
        for (const IicRecord &r : c.records)
            std::copy(r.data.begin(), r.data.end(), image.begin() + (r.address - c.low));
        EXPECT_EQ(Ram(c.low, c.high - c.low), image) << c.low;
        EXPECT_EQ(VekSimControllerHeld(board_), 0);
    }
    // The longest file accepted: a well-formed one padded after its final record.
    ScratchDirectory::WriteFirmware(Sized(IicFile({{0x0000, Pattern(0xF000, 3)}}), 65535));
    EXPECT_EQ(VekDownloadFirmWare(handle_, 0), 1);
}

// Missing, too long or malformed files are refused before any traffic (the
// controller keeps running what it runs) and without the pause, and the check
// says why. So are a FIFO, a directory or a device node of that name (a
// FIFO with no writer would hold the open for ever).
TEST_F(DownloadTest, RefusedFilesSendNothing) {
    // Header 8 bytes, a record 4 + its data, the final record 5.
    const std::pair<std::optional<std::vector<uint8_t>>, int> files[] = {
        {std::nullopt, VEK_FIRMWARE_UNREADABLE},
        {Sized(IicFile({{0x0000, Pattern(0xF000, 3)}}), 65536), VEK_FIRMWARE_UNREADABLE},
        {Sized(IicFile({{0x0000, {1}}}), 14), VEK_FIRMWARE_NO_FINAL_RECORD},  // cut inside the final Length
        {IicFile({{0x0000, Pattern(64, 1)}}, false), VEK_FIRMWARE_NO_FINAL_RECORD},
        {Sized(IicFile({{0x0000, Pattern(64, 1)}}, false), 75), VEK_FIRMWARE_PAST_FILE_END},  // one byte short
        {IicFile({{0xFFF0, Pattern(0x20, 1)}}), VEK_FIRMWARE_PAST_64K},
        {IicFile({{0x0000, Pattern(16, 1)}, {0xF000, Pattern(0x801, 1)}}), VEK_FIRMWARE_TOO_HIGH},  // ends above 0xF800
        {std::vector<uint8_t>{0xC2, 0x47, 0x05}, VEK_FIRMWARE_NO_FINAL_RECORD},  // shorter than the header
    };
    const uint64_t start = VekSimClockMs();
    for (const auto &[file, status] : files) {
        if (file) ScratchDirectory::WriteFirmware(*file);
        EXPECT_EQ(VekFirmwareCheck("dlp_usb.iic", nullptr), status);
        EXPECT_EQ(VekDownloadFirmWare(handle_, 0), 0) << status;
        EXPECT_TRUE(TraceLines(board_).empty()) << status;
    }
#if !defined(_WIN32)
    std::filesystem::remove("dlp_usb.iic");
    for (NotRegular kind : kNotRegularKinds) {
        SCOPED_TRACE(Describe(kind));
        ASSERT_TRUE(MakeNotRegular(kind, "dlp_usb.iic"));
        bool hung = false;
        EXPECT_EQ(ReturnsWithoutAWriter(
                      "dlp_usb.iic", [this] { return VekDownloadFirmWare(handle_, 0); }, hung),
                  0);
        EXPECT_FALSE(hung);
        EXPECT_TRUE(TraceLines(board_).empty());
        std::filesystem::remove("dlp_usb.iic");
    }
#endif
    EXPECT_EQ(VekSimClockMs(), start);
    // The final record's Length alone ends the walk: its Address is never read.
    ScratchDirectory::WriteFirmware(Sized(IicFile({{0x0020, {7}}}), 15));
    EXPECT_EQ(VekFirmwareCheck("dlp_usb.iic", nullptr), VEK_FIRMWARE_OK);
}

}  // namespace

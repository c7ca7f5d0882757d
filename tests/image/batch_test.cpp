// The files the image functions write: batch conversion of a folder into
// ".bin" frame files over the platform's directory search, the test patterns
// (five files under their code page 936 names, their content, the two-second
// show), and what the writers leave on a full disk.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/resource.h>
#endif
#include <csignal>

#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "image/image_internal.h"
#include "image_test_util.h"
#include "vek_dll.h"

namespace vek::image {
namespace {

using namespace vek::image::testing;

class BatchTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(frames_ / "sub");
        ASSERT_TRUE(cv::imwrite((frames_ / "a.bmp").string(), GrayPattern(1024, 768)));
        ASSERT_TRUE(cv::imwrite((frames_ / "b.png").string(), ColourPattern(640, 480)));
        ASSERT_TRUE(cv::imwrite((dir_.path() / "top.png").string(), GrayPattern(100, 100)));
        WriteFile((frames_ / "notes.txt").string(), "notes\n");
    }
    // Every ".bin" in `dir` holds its source's frame at width x height.
    static void ExpectFrames(const fs::path &dir, int width, int height) {
        for (const std::string &bin : Names(dir, ".bin")) {
            const fs::path source = dir / bin.substr(0, bin.size() - 4);
            std::vector<uint8_t> frame(static_cast<size_t>(width) * height);
            ASSERT_NE(GetGrayBinFormat(source.string().c_str(), width, height, 0xFF, frame.data()), nullptr) << source;
            EXPECT_EQ(ReadFile((dir / bin).string()), frame) << bin;
        }
    }
    TempDir dir_;
    const fs::path frames_ = dir_.path() / "frames";
    const std::string folder_ = (frames_ / "").string();
};

// What follows the last separator ('/' or '\') is ignored: the folder before
// it is converted, every image beside its source, nothing else. A name with
// no separator is that directory; the empty name is the current one.
TEST_F(BatchTest, ConvertsEveryImageBesideItsSource) {
    const std::vector<std::string> both = {"a.bmp.bin", "b.png.bin"}, top = {"top.png.bin"};
    WorkingDir here(dir_.path());
    const std::tuple<std::string, fs::path, std::vector<std::string>> cases[] = {
        {folder_, frames_, both},  {frames_.string() + "\\", frames_, both},
        {"frames", frames_, both}, {frames_.string(), dir_.path(), top},
        {"", dir_.path(), top},
    };
    for (const auto &[folder, converted, bins] : cases) {
        SCOPED_TRACE(folder);
        ASSERT_EQ(BatchImage2Bin(folder.c_str(), 64, 32), 1);
        EXPECT_EQ(Names(converted, ".bin"), bins);
        ExpectFrames(converted, 64, 32);
        for (const auto &e : fs::recursive_directory_iterator(dir_.path()))
            if (e.path().extension() == ".bin") fs::remove(e.path());
    }
}

// An output name taken by a directory is skipped, '%' in names and a leading
// dot are ordinary.
// Decision: a width that pixel2bin refuses converts nothing (no file holds
// unconverted bytes); the call still reports that the folder was searched.
TEST_F(BatchTest, OddNamesUnwritableOutputsAndRefusedWidths) {
    ASSERT_TRUE(cv::imwrite((frames_ / "100%s%n.bmp").string(), GrayPattern(50, 50)) &&
                cv::imwrite((frames_ / ".dot.bmp").string(), GrayPattern(50, 50)));
    EXPECT_EQ(BatchImage2Bin(folder_.c_str(), 1020, 768), 1);
    EXPECT_TRUE(Names(frames_, ".bin").empty());
    fs::create_directory(frames_ / "a.bmp.bin");
    ASSERT_EQ(BatchImage2Bin(folder_.c_str(), 1024, 768), 1);
    EXPECT_TRUE(fs::is_directory(frames_ / "a.bmp.bin"));
    fs::remove(frames_ / "a.bmp.bin");
    EXPECT_EQ(Names(frames_, ".bin"), (std::vector<std::string>{".dot.bmp.bin", "100%s%n.bmp.bin", "b.png.bin"}));
    ExpectFrames(frames_, 1024, 768);
    fs::create_directory(dir_.path() / "empty");
    EXPECT_EQ(BatchImage2Bin((dir_.path() / "empty" / "").string().c_str(), 1024, 768), 0);
}

#ifndef _WIN32  // Windows has no file size limit
// Files of this process cannot grow past `bytes` while it lives: writes past
// it fail as on a full disk (the signal such a write raises is ignored).
struct FileSizeLimit {
    rlimit previous{};
    void (*previousHandler)(int);
    explicit FileSizeLimit(rlim_t bytes) : previousHandler(std::signal(SIGXFSZ, SIG_IGN)) {
        getrlimit(RLIMIT_FSIZE, &previous);
        const rlimit limit{bytes, previous.rlim_max};
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &previous);
        std::signal(SIGXFSZ, previousHandler);
    }
};

// Writes that fail (here: files may not grow past 50000 bytes, as on a full
// disk) leave no file cut short from batch conversion, stamping or the test
// patterns; the results, and the patterns' show, stay as they are.
TEST_F(BatchTest, AFullDiskLeavesNoPartialFiles) {
    fs::create_directory(dir_.path() / "patterns");
    {
        const FileSizeLimit full(50000);
        EXPECT_EQ(BatchImage2Bin(folder_.c_str(), 1024, 768), 1);
        EXPECT_EQ(ImageAddSerialNumber((frames_ / "a.bmp").string().c_str(), 1024, 768, 1), 1);
        WorkingDir here(dir_.path() / "patterns");
        const VirtualClock clock;
        const uint64_t start = clock.Now();
        EXPECT_EQ(TestMe(), 0);
        EXPECT_EQ(clock.Now() - start, 2000u);
    }
    EXPECT_EQ(Names(frames_), (std::vector<std::string>{"a.bmp", "b.png", "notes.txt", "sub"}));
    EXPECT_TRUE(Names(dir_.path() / "patterns").empty());
}
#endif

// The names start with 黑白 (black and white), 横条纹 (stripes) or 横渐变
// (ramp) in code page 936; a .bmp is 1920 x 1080 gray with its row's value,
// each row of a one-plane .bin is 240 bytes of 0x00 or 0xFF: bit 7 of it.
const std::string kHalves = "\xBA\xDA\xB0\xD7", kStripes = "\xBA\xE1\xCC\xF5\xCE\xC6",
                  kRamp = "\xBA\xE1\xBD\xA5\xB1\xE4";
int Halves(int y) { return y < 540 ? 0 : 255; }
int Stripes(int y) { return (y / 10) % 2 == 0 ? 0 : 255; }
int Ramp(int y) { return y % 256; }
const std::pair<std::string, int (*)(int)> kPatterns[] = {
    {kHalves + "1920x1080.bmp", Halves},   {kStripes + "11111920x1080.bin", Stripes},
    {kStripes + "1920x1080.bmp", Stripes}, {kRamp + "1920x1080.bin", Ramp},
    {kRamp + "1920x1080.bmp", Ramp},
};

// Run twice (the second run overwrites spoilt files): five files with their
// content, read under their names (which Windows reads back through its own
// code page) (the two-second show: preview_test, under the virtual clock here).
TEST(TestPatterns, FiveFilesWithTheirContent) {
    TempDir dir;
    WorkingDir here(dir.path());
    VirtualClock clock;
    for (int run = 0; run < 2; ++run) {
        EXPECT_EQ(TestMe(), 0);
        EXPECT_EQ(Names(dir.path()).size(), std::size(kPatterns));  // and each under its name:
        for (const auto &[name, row] : kPatterns) {
            const bool bmp = name.ends_with(".bmp");
            std::vector<uint8_t> expected;
            for (int y = 0; y < 1080; ++y)
                expected.insert(expected.end(), bmp ? 1920 : 240, bmp ? row(y) : (row(y) & 0x80 ? 0xFF : 0x00));
            EXPECT_TRUE((bmp ? Bytes(cv::imread(name, cv::IMREAD_UNCHANGED)) : ReadFile(name)) == expected) << name;
            WriteFile(name, "spoilt");
        }
    }
}

}  // namespace
}  // namespace vek::image

// The test patterns: five files under their code page 936 names, their
// content, and the two-second show (on a full disk: batch_test).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "image_test_util.h"
#include "vek_dll.h"

namespace vek::image {
namespace {

using namespace vek::image::testing;

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
// content, two seconds each time.
TEST(TestPatterns, FiveFilesWithTheirContentAndATwoSecondShow) {
    TempDir dir;
    WorkingDir here(dir.path());
    VirtualClock clock;
    std::vector<std::string> expected;
    for (const auto &p : kPatterns) expected.push_back(p.first);
    std::sort(expected.begin(), expected.end());
    for (int run = 0; run < 2; ++run) {
        const uint64_t start = clock.Now();
        EXPECT_EQ(TestMe(), 0);
        EXPECT_EQ(clock.Now() - start, 2000u);
        EXPECT_EQ(Names(dir.path()), expected);
        for (const auto &[name, row] : kPatterns) {
            SCOPED_TRACE(name);
            if (name.ends_with(".bmp")) {
                const cv::Mat image = cv::imread(name, cv::IMREAD_UNCHANGED);
                ASSERT_EQ(std::pair(image.type(), image.size()), std::pair(CV_8UC1, cv::Size(1920, 1080)));
                for (int y = 0; y < 1080; ++y) ASSERT_EQ(cv::countNonZero(image.row(y) != row(y)), 0) << "row " << y;
            } else {
                const std::vector<uint8_t> bytes = ReadFile(name);
                ASSERT_EQ(bytes.size(), 259200u);
                for (size_t i = 0; i < bytes.size(); ++i)
                    ASSERT_EQ(bytes[i], (row(static_cast<int>(i / 240)) & 0x80) ? 0xFF : 0x00) << "row " << i / 240;
            }
            WriteFile(name, "spoilt");
        }
    }
}

// The working directory no longer exists: nothing can be created, and the
// call still completes with its pause and returns 0.
TEST(TestPatterns, FilesThatCannotBeWrittenAreSkipped) {
    TempDir dir;
    const fs::path gone = dir.path() / "gone";
    fs::create_directory(gone);
    WorkingDir here(gone);
    fs::remove(gone);
    VirtualClock clock;
    const uint64_t start = clock.Now();
    EXPECT_EQ(TestMe(), 0);
    EXPECT_EQ(clock.Now() - start, 2000u);
    EXPECT_FALSE(fs::exists(gone));
}

}  // namespace
}  // namespace vek::image

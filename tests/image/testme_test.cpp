// The test patterns: five files under their code page 936 names, their
// content, and the two-second show.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "image_test_util.h"
#include "vek_dll.h"

namespace vek::image {
namespace {

using namespace vek::image::testing;

// The names as bytes: 黑白, 横条纹, 横渐变 in code page 936; each file's row values.
struct Pattern {
    std::string name;
    int (*row)(int y);
};
const Pattern kPatterns[] = {
    {"\xBA\xDA\xB0\xD7"
     "1920x1080.bmp",
     [](int y) { return y < 540 ? 0 : 255; }},
    {"\xBA\xE1\xCC\xF5\xCE\xC6"
     "11111920x1080.bin",
     [](int y) { return (y / 10) % 2 == 0 ? 0 : 255; }},
    {"\xBA\xE1\xCC\xF5\xCE\xC6"
     "1920x1080.bmp",
     [](int y) { return (y / 10) % 2 == 0 ? 0 : 255; }},
    {"\xBA\xE1\xBD\xA5\xB1\xE4"
     "1920x1080.bin",
     [](int y) { return y % 256; }},
    {"\xBA\xE1\xBD\xA5\xB1\xE4"
     "1920x1080.bmp",
     [](int y) { return y % 256; }},
};

// A .bmp is 1920 x 1080 gray with the row's value; each row of a one-plane
// .bin is 240 bytes of 0x00 or 0xFF: bit 7 of the row's value.
void ExpectPattern(const Pattern &p) {
    SCOPED_TRACE(p.name);
    if (p.name.ends_with(".bmp")) {
        const cv::Mat image = cv::imread(p.name, cv::IMREAD_UNCHANGED);
        ASSERT_EQ(image.type(), CV_8UC1);
        ASSERT_EQ(image.size(), cv::Size(1920, 1080));
        for (int y = 0; y < 1080; ++y) ASSERT_EQ(cv::countNonZero(image.row(y) != p.row(y)), 0) << "row " << y;
    } else {
        const std::vector<uint8_t> bytes = ReadFile(p.name);
        ASSERT_EQ(bytes.size(), 259200u);
        for (size_t i = 0; i < bytes.size(); ++i)
            ASSERT_EQ(bytes[i], (p.row(static_cast<int>(i / 240)) & 0x80) ? 0xFF : 0x00) << "row " << i / 240;
    }
}

std::vector<std::string> Listing(const fs::path &dir) {
    std::vector<std::string> names;
    for (const auto &e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Run twice (the second run overwrites spoilt files): five files with their content, two seconds each time.
TEST(TestPatterns, FiveFilesWithTheirContentAndATwoSecondShow) {
    TempDir dir;
    WorkingDir here(dir.path());
    VirtualClock clock;
    std::vector<std::string> expected;
    for (const Pattern &p : kPatterns) expected.push_back(p.name);
    std::sort(expected.begin(), expected.end());
    for (int run = 0; run < 2; ++run) {
        const uint64_t start = clock.Now();
        EXPECT_EQ(TestMe(), 0);
        EXPECT_EQ(clock.Now() - start, 2000u);
        EXPECT_EQ(Listing(dir.path()), expected);
        for (const Pattern &p : kPatterns) ExpectPattern(p);
        for (const Pattern &p : kPatterns) WriteFile(p.name, "spoilt");
    }
}

TEST(TestPatterns, FilesThatCannotBeWrittenAreSkipped) {
    // The working directory no longer exists: nothing can be created, and
    // the call still completes with its pause and returns 0.
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

// On a full disk (files may not grow past 50000 bytes) no file is left cut short.
TEST(TestPatterns, AFullDiskLeavesNoPartialFiles) {
    TempDir dir;
    {
        WorkingDir here(dir.path());
        const FileSizeLimit full(50000);
        EXPECT_EQ(TestMe(), 0);
    }
    EXPECT_EQ(Listing(dir.path()), std::vector<std::string>{});
}

}  // namespace
}  // namespace vek::image

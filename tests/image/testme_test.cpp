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

// The names as bytes: 黑白, 横条纹, 横渐变 in code page 936.
const std::string kBlackWhiteBmp = "\xBA\xDA\xB0\xD7" "1920x1080.bmp";
const std::string kStripesBin = "\xBA\xE1\xCC\xF5\xCE\xC6" "11111920x1080.bin";
const std::string kStripesBmp = "\xBA\xE1\xCC\xF5\xCE\xC6" "1920x1080.bmp";
const std::string kGradientBin = "\xBA\xE1\xBD\xA5\xB1\xE4" "1920x1080.bin";
const std::string kGradientBmp = "\xBA\xE1\xBD\xA5\xB1\xE4" "1920x1080.bmp";

std::vector<std::string> Listing(const fs::path &dir) {
    std::vector<std::string> names;
    for (const auto &e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Expected value of row y of each pattern.
int BlackWhite(int y) { return y < 540 ? 0 : 255; }
int Stripes(int y) { return (y / 10) % 2 == 0 ? 0 : 255; }
int Gradient(int y) { return y % 256; }

void ExpectRows(const std::string &name, int (*row)(int)) {
    const cv::Mat image = cv::imread(name, cv::IMREAD_UNCHANGED);
    ASSERT_EQ(image.type(), CV_8UC1) << name;
    ASSERT_EQ(image.size(), cv::Size(1920, 1080)) << name;
    for (int y = 0; y < 1080; ++y) {
        cv::Mat expected(1, 1920, CV_8UC1, cv::Scalar(row(y)));
        ASSERT_EQ(cv::countNonZero(image.row(y) != expected), 0) << name << " row " << y;
    }
}

// Each row of a one-plane file is 240 bytes of 0x00 or 0xFF: bit 7 of the row's value.
void ExpectPlaneRows(const std::string &name, int (*row)(int)) {
    const std::vector<uint8_t> bytes = ReadFile(name);
    ASSERT_EQ(bytes.size(), 259200u) << name;
    for (int y = 0; y < 1080; ++y) {
        const uint8_t expected = (row(y) & 0x80) ? 0xFF : 0x00;
        for (int x = 0; x < 240; ++x) ASSERT_EQ(bytes[y * 240 + x], expected) << name << " row " << y;
    }
}

TEST(TestPatterns, FiveFilesWithTheirContentAndATwoSecondShow) {
    TempDir dir;
    WorkingDir here(dir.path());
    VirtualClock clock;
    const uint64_t start = clock.Now();
    EXPECT_EQ(TestMe(), 0);
    EXPECT_EQ(clock.Now() - start, 2000u);

    std::vector<std::string> expected = {kBlackWhiteBmp, kStripesBin, kStripesBmp, kGradientBin, kGradientBmp};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(Listing(dir.path()), expected);

    ExpectRows(kBlackWhiteBmp, BlackWhite);
    ExpectRows(kStripesBmp, Stripes);
    ExpectRows(kGradientBmp, Gradient);
    ExpectPlaneRows(kStripesBin, Stripes);
    ExpectPlaneRows(kGradientBin, Gradient);

    // Rows 1070 to 1079 of the stripes are white (band 107 is odd); rows
    // 1024 to 1079 of the gradient are below 128.
    const std::vector<uint8_t> stripes = ReadFile(kStripesBin);
    EXPECT_EQ(stripes[1070 * 240], 0xFF);
    const std::vector<uint8_t> gradient = ReadFile(kGradientBin);
    EXPECT_EQ(gradient[1024 * 240], 0x00);
    EXPECT_EQ(gradient[128 * 240], 0xFF);
}

TEST(TestPatterns, RunningTwiceOverwritesTheSameFiles) {
    TempDir dir;
    WorkingDir here(dir.path());
    VirtualClock clock;
    EXPECT_EQ(TestMe(), 0);
    WriteFile(kStripesBin, "spoilt");
    WriteFile(kBlackWhiteBmp, "spoilt");
    EXPECT_EQ(TestMe(), 0);
    EXPECT_EQ(Listing(dir.path()).size(), 5u);
    ExpectPlaneRows(kStripesBin, Stripes);
    ExpectRows(kBlackWhiteBmp, BlackWhite);
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

}  // namespace
}  // namespace vek::image

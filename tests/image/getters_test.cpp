// The format getters on real files of every kind they meet: 8-bit gray and
// 24-bit colour BMP, PNG, JPEG, 16-bit PNG and TIFF, and files that are not
// images at all.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "image/bitplane.h"
#include "image_test_util.h"
#include "vek_dll.h"

namespace vek::image {
namespace {

using namespace vek::image::testing;

class GettersTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new TempDir;
        gray_ = GrayPattern(1920, 1080);
        ASSERT_TRUE(cv::imwrite(*dir_ / "gray.bmp", gray_));
        colour_ = ColourPattern(640, 480);
        colour_.at<cv::Vec3b>(0, 0) = cv::Vec3b(0, 0, 255);  // pure red (BGR)
        colour_.at<cv::Vec3b>(0, 1) = cv::Vec3b(255, 0, 0);  // pure blue
        ASSERT_TRUE(cv::imwrite(*dir_ / "colour.bmp", colour_));
        ASSERT_TRUE(cv::imwrite(*dir_ / "colour.png", colour_));
        ASSERT_TRUE(cv::imwrite(*dir_ / "photo.jpg", colour_, {cv::IMWRITE_JPEG_QUALITY, 95}));
        deep_ = cv::Mat(64, 96, CV_16UC1);
        for (int y = 0; y < deep_.rows; ++y)
            for (int x = 0; x < deep_.cols; ++x) deep_.at<uint16_t>(y, x) = static_cast<uint16_t>(x * 683 + y * 1021);
        deep_.at<uint16_t>(0, 0) = 0x80FF;  // rounds up if the conversion rounds
        deep_.at<uint16_t>(0, 1) = 0xFFFF;
        deep_.at<uint16_t>(0, 2) = 0x00FF;
        ASSERT_TRUE(cv::imwrite(*dir_ / "deep.png", deep_));
        ASSERT_TRUE(cv::imwrite(*dir_ / "deep.tif", deep_));
        WriteFile(*dir_ / "notes.txt", "not an image\n");
        WriteFile(*dir_ / "fake.png", "\x89PNG\r\n\x1a\n but nothing after");
        fs::create_directory(dir_->path() / "folder.png");
    }
    static void TearDownTestSuite() {
        delete dir_;
        dir_ = nullptr;
    }

    static std::vector<uint8_t> DeepHighBytes() {
        std::vector<uint8_t> out;
        for (int y = 0; y < deep_.rows; ++y)
            for (int x = 0; x < deep_.cols; ++x) out.push_back(static_cast<uint8_t>(deep_.at<uint16_t>(y, x) >> 8));
        return out;
    }

    static inline TempDir *dir_ = nullptr;
    static inline cv::Mat gray_, colour_, deep_;
};

TEST_F(GettersTest, GrayFileAtItsOwnSizeIsCopiedUnchanged) {
    GuardedBuffer pixels(1920 * 1080);
    ASSERT_EQ(GetGrayPixelFormat((*dir_ / "gray.bmp").c_str(), 1920, 1080, pixels.data()), pixels.data());
    EXPECT_EQ(pixels.Content(), Bytes(gray_));
    EXPECT_TRUE(pixels.GuardIntact());
}

TEST_F(GettersTest, OtherSizesAreResampledBilinearly) {
    struct Case {
        int width, height;
    };
    // Shrinking, stretching, and widths that are not multiples of 4 or 8:
    // exactly width x height bytes, rows without padding.
    for (Case c : {Case{960, 540}, Case{13, 7}, Case{2001, 3}, Case{1, 1}}) {
        cv::Mat expected;
        cv::resize(gray_, expected, cv::Size(c.width, c.height), 0, 0, cv::INTER_LINEAR);
        GuardedBuffer pixels(static_cast<size_t>(c.width) * c.height);
        ASSERT_EQ(GetGrayPixelFormat((*dir_ / "gray.bmp").c_str(), c.width, c.height, pixels.data()), pixels.data());
        EXPECT_EQ(pixels.Content(), Bytes(expected)) << c.width << "x" << c.height;
        EXPECT_TRUE(pixels.GuardIntact()) << c.width << "x" << c.height;
    }
}

TEST_F(GettersTest, ColourFilesComeBackGray) {
    for (const char *name : {"colour.bmp", "colour.png"}) {
        GuardedBuffer pixels(640 * 480);
        ASSERT_NE(GetGrayPixelFormat((*dir_ / name).c_str(), 640, 480, pixels.data()), nullptr) << name;
        EXPECT_EQ(pixels.bytes[0], 76) << name;  // 0.299 x 255, pure red
        EXPECT_EQ(pixels.bytes[1], 29) << name;  // 0.114 x 255, pure blue
        // The decoders round their own way: within 1 of the usual weights.
        cv::Mat expected;
        cv::cvtColor(colour_, expected, cv::COLOR_BGR2GRAY);
        const cv::Mat got(480, 640, CV_8UC1, pixels.data());
        EXPECT_LE(cv::norm(got, expected, cv::NORM_INF), 1.0) << name;
    }
}

TEST_F(GettersTest, JpegLoads) {
    GuardedBuffer pixels(320 * 240);
    ASSERT_NE(GetGrayPixelFormat((*dir_ / "photo.jpg").c_str(), 320, 240, pixels.data()), nullptr);
    cv::Mat expected;
    cv::cvtColor(colour_, expected, cv::COLOR_BGR2GRAY);
    cv::resize(expected, expected, cv::Size(320, 240), 0, 0, cv::INTER_LINEAR);
    const cv::Mat got(240, 320, CV_8UC1, pixels.data());
    EXPECT_LT(cv::norm(got, expected, cv::NORM_L1) / got.total(), 4.0);  // lossy, but the same picture
    EXPECT_TRUE(pixels.GuardIntact());

    GuardedBuffer r(320 * 240), g(320 * 240), b(320 * 240);
    EXPECT_EQ(GetRGBPixelFormat((*dir_ / "photo.jpg").c_str(), 320, 240, r.data(), g.data(), b.data()), 1);
    EXPECT_TRUE(r.GuardIntact() && g.GuardIntact() && b.GuardIntact());
}

TEST_F(GettersTest, SixteenBitFilesKeepTheirHighByte) {
    for (const char *name : {"deep.png", "deep.tif"}) {
        GuardedBuffer pixels(96 * 64);
        ASSERT_NE(GetGrayPixelFormat((*dir_ / name).c_str(), 96, 64, pixels.data()), nullptr) << name;
        EXPECT_EQ(pixels.bytes[0], 0x80) << name;
        EXPECT_EQ(pixels.bytes[1], 0xFF) << name;
        EXPECT_EQ(pixels.bytes[2], 0x00) << name;
        EXPECT_EQ(pixels.Content(), DeepHighBytes()) << name;
    }
    // Resampled at 16 bits, then brought down the same way.
    cv::Mat expected16;
    cv::resize(deep_, expected16, cv::Size(48, 40), 0, 0, cv::INTER_LINEAR);
    std::vector<uint8_t> expected;
    for (int y = 0; y < 40; ++y)
        for (int x = 0; x < 48; ++x) expected.push_back(static_cast<uint8_t>(expected16.at<uint16_t>(y, x) >> 8));
    GuardedBuffer pixels(48 * 40);
    ASSERT_NE(GetGrayPixelFormat((*dir_ / "deep.png").c_str(), 48, 40, pixels.data()), nullptr);
    EXPECT_EQ(pixels.Content(), expected);
}

TEST_F(GettersTest, ColourPlanesAreRedGreenBlue) {
    struct Case {
        int width, height;
    };
    for (Case c : {Case{640, 480}, Case{203, 101}}) {
        const size_t n = static_cast<size_t>(c.width) * c.height;
        GuardedBuffer r(n), g(n), b(n);
        ASSERT_EQ(GetRGBPixelFormat((*dir_ / "colour.png").c_str(), c.width, c.height, r.data(), g.data(), b.data()),
                  1);
        cv::Mat src = colour_;
        if (c.width != 640) cv::resize(colour_, src, cv::Size(c.width, c.height), 0, 0, cv::INTER_LINEAR);
        cv::Mat channels[3];
        cv::split(src, channels);
        EXPECT_EQ(r.Content(), Bytes(channels[2]));
        EXPECT_EQ(g.Content(), Bytes(channels[1]));
        EXPECT_EQ(b.Content(), Bytes(channels[0]));
        EXPECT_TRUE(r.GuardIntact() && g.GuardIntact() && b.GuardIntact());
        if (c.width == 640) {
            EXPECT_EQ(r.bytes[0], 255);
            EXPECT_EQ(g.bytes[0], 0);
            EXPECT_EQ(b.bytes[0], 0);
        }
    }
}

TEST_F(GettersTest, GrayBinIsThePixelsInFrameLayout) {
    const std::string gray = *dir_ / "gray.bmp";
    std::vector<uint8_t> pixels(1920 * 1080);
    ASSERT_NE(GetGrayPixelFormat(gray.c_str(), 1920, 1080, pixels.data()), nullptr);
    std::vector<uint8_t> frame(2073600);
    ASSERT_NE(pixel2bin(pixels.data(), 1920, 1080, 0xFF, frame.data()), nullptr);

    GuardedBuffer all(2073600);
    ASSERT_EQ(GetGrayBinFormat(gray.c_str(), 1920, 1080, 0xFF, all.data()), all.data());
    EXPECT_EQ(all.Content(), frame);
    EXPECT_TRUE(all.GuardIntact());

    GuardedBuffer top(259200);
    ASSERT_EQ(GetGrayBinFormat(gray.c_str(), 1920, 1080, 0x80, top.data()), top.data());
    EXPECT_EQ(top.Content(), std::vector<uint8_t>(frame.begin(), frame.begin() + 259200));
    EXPECT_TRUE(top.GuardIntact());
}

TEST_F(GettersTest, RgbBinIsEachPlaneInFrameLayout) {
    const std::string colour = *dir_ / "colour.bmp";
    const size_t n = 640 * 480;
    std::vector<uint8_t> r(n), g(n), b(n);
    ASSERT_EQ(GetRGBPixelFormat(colour.c_str(), 640, 480, r.data(), g.data(), b.data()), 1);
    GuardedBuffer rb(2 * n / 8), gb(2 * n / 8), bb(2 * n / 8);
    ASSERT_EQ(GetRGBBinFormat(colour.c_str(), 640, 480, 0x81, rb.data(), gb.data(), bb.data()), 1);
    for (auto [plane, bin] : {std::pair{&r, &rb}, std::pair{&g, &gb}, std::pair{&b, &bb}}) {
        std::vector<uint8_t> expected(2 * n / 8);
        ASSERT_NE(pixel2bin(plane->data(), 640, 480, 0x81, expected.data()), nullptr);
        EXPECT_EQ(bin->Content(), expected);
        EXPECT_TRUE(bin->GuardIntact());
    }
}

// Decision: the bin getters report pixel2bin's refusal of a width that is
// not a multiple of 8, and leave every buffer as it was.
TEST_F(GettersTest, BinGettersReportAWidthThatIsNotAMultipleOf8) {
    const std::string gray = *dir_ / "gray.bmp";
    GuardedBuffer bin(64);
    EXPECT_EQ(GetGrayBinFormat(gray.c_str(), 12, 4, 0xFF, bin.data()), nullptr);
    EXPECT_TRUE(bin.Untouched());
    GuardedBuffer rb(64), gb(64), bb(64);
    EXPECT_EQ(GetRGBBinFormat(gray.c_str(), 12, 4, 0xFF, rb.data(), gb.data(), bb.data()), 0);
    EXPECT_TRUE(rb.Untouched() && gb.Untouched() && bb.Untouched());
}

TEST_F(GettersTest, BadInputGivesNullOrFalseAndWritesNothing) {
    struct Case {
        std::string what;
        std::string file;  // "<null>" for a null name
        int width, height;
    };
    const std::string good = *dir_ / "gray.bmp";
    const std::vector<Case> cases = {
        {"missing file", *dir_ / "missing.png", 16, 16},
        {"a directory", *dir_ / "folder.png", 16, 16},
        {"the temp directory itself", dir_->path().string(), 16, 16},
        {"a text file", *dir_ / "notes.txt", 16, 16},
        {"a truncated image", *dir_ / "fake.png", 16, 16},
        {"an empty name", "", 16, 16},
        {"a null name", "<null>", 16, 16},
        {"zero width", good, 0, 16},
        {"zero height", good, 16, 0},
        {"negative width", good, -16, 16},
        {"negative height", good, 16, -16},
        {"both negative", good, -16, -16},
        {"width x height past 32 bits", good, 65536, 65536},
        {"width x height just past INT32_MAX", good, 46344, 46341},
    };
    for (const Case &c : cases) {
        const char *name = c.file == "<null>" ? nullptr : c.file.c_str();
        GuardedBuffer a(64), b(64), d(64);
        EXPECT_EQ(GetGrayPixelFormat(name, c.width, c.height, a.data()), nullptr) << c.what;
        EXPECT_EQ(GetRGBPixelFormat(name, c.width, c.height, a.data(), b.data(), d.data()), 0) << c.what;
        EXPECT_EQ(GetGrayBinFormat(name, c.width, c.height, 0xFF, a.data()), nullptr) << c.what;
        EXPECT_EQ(GetRGBBinFormat(name, c.width, c.height, 0xFF, a.data(), b.data(), d.data()), 0) << c.what;
        EXPECT_TRUE(a.Untouched() && b.Untouched() && d.Untouched()) << c.what;
    }
    // Null output buffers.
    GuardedBuffer a(256), b(256);
    EXPECT_EQ(GetGrayPixelFormat(good.c_str(), 16, 16, nullptr), nullptr);
    EXPECT_EQ(GetRGBPixelFormat(good.c_str(), 16, 16, a.data(), nullptr, b.data()), 0);
    EXPECT_EQ(GetGrayBinFormat(good.c_str(), 16, 16, 0xFF, nullptr), nullptr);
    EXPECT_EQ(GetRGBBinFormat(good.c_str(), 16, 16, 0xFF, nullptr, a.data(), b.data()), 0);
    EXPECT_TRUE(a.Untouched() && b.Untouched());
}

}  // namespace
}  // namespace vek::image

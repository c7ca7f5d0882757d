// Serial-number stamping: the copy names, the stamped pixels, the depth of
// 1-bit and 4-bit sources, the pauses, and bad names and sizes.
#include <FreeImage.h>
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "image/image_internal.h"
#include "image_test_util.h"
#include "vek_dll.h"

namespace vek::image {
namespace {

using namespace vek::image::testing;

TEST(StampNames, ExtensionAndSeparator) {
    struct Case {
        std::string name;
        std::optional<size_t> extension, separator;
    };
    const Case cases[] = {
        {"D:\\pat\\grid.png", 11, 6},
        {"D:\\pat\\grid", 11, 6},
        {"D:\\pat.old\\grid", 15, 10},
        {"/pat.old/grid", 13, 8},
        {"mixed/dir\\name.tar.gz", 18, 9},
        {"a.b/c", 5, 3},
        {"grid.png", 4, 8},
        {".hidden", 0, 7},
        {"dir/", 4, 3},
        {"", std::nullopt, std::nullopt},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(FindExtension(c.name), c.extension) << c.name;
        EXPECT_EQ(FindLastSeparator(c.name), c.separator) << c.name;
    }
}

TEST(StampNames, CopyNames) {
    EXPECT_EQ(StampedCopyName("D:\\pat\\grid.png", 1), "D:\\pat\\grid_00001.bmp");
    EXPECT_EQ(StampedCopyName("D:\\pat\\grid", 1), "D:\\pat\\grid_00001.bmp");
    EXPECT_EQ(StampedCopyName("D:\\pat.old\\grid", 2), "D:\\pat.old\\grid_00002.bmp");
    EXPECT_EQ(StampedCopyName("E:/in/logo.png", 7), "E:/in/logo_00007.bmp");
    EXPECT_EQ(StampedCopyName("E:/in/logo.png", 123456), "E:/in/logo_123456.bmp");
    // Decision: '%' is an ordinary character of the name.
    EXPECT_EQ(StampedCopyName("E:/in/100%s%n%d.png", 3), "E:/in/100%s%n%d_00003.bmp");
    EXPECT_EQ(StampedCopyName("", 1), std::nullopt);
}

class StampTest : public ::testing::Test {
protected:
    void SetUp() override {
        source_ = ColourPattern(800, 600);
        source_(cv::Rect(100, 50, 600, 300)).setTo(cv::Scalar(255, 255, 255));  // where the number goes
        ASSERT_TRUE(cv::imwrite(dir_ / "logo.png", source_));
    }

    // The source at width x height with `serial` drawn as described.
    static cv::Mat Expected(const cv::Mat &source, int width, int height, int serial) {
        cv::Mat out;
        cv::resize(source, out, cv::Size(width, height), 0, 0, cv::INTER_LINEAR);
        char text[16];
        std::snprintf(text, sizeof text, "%05d", serial);
        cv::putText(out, text, cv::Point(150, 300), cv::FONT_HERSHEY_PLAIN, 18.0, cv::Scalar::all(0), 10, cv::LINE_AA);
        return out;
    }

    std::vector<std::string> Bmps() const {
        std::vector<std::string> names;
        for (const auto &e : fs::directory_iterator(dir_.path()))
            if (e.path().extension() == ".bmp") names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    TempDir dir_;
    VirtualClock clock_;
    cv::Mat source_;
};

TEST_F(StampTest, ColourSourceGivesNumberedStampedCopies) {
    const uint64_t start = clock_.Now();
    ASSERT_EQ(ImageAddSerialNumber((dir_ / "logo.png").c_str(), 1920, 1080, 3), 1);
    EXPECT_EQ(Bmps(), (std::vector<std::string>{"logo_00001.bmp", "logo_00002.bmp", "logo_00003.bmp"}));
    for (int serial = 1; serial <= 3; ++serial) {
        char name[32];
        std::snprintf(name, sizeof name, "logo_%05d.bmp", serial);
        const cv::Mat copy = cv::imread(dir_ / name, cv::IMREAD_UNCHANGED);
        ASSERT_EQ(copy.type(), CV_8UC3) << name;
        ASSERT_EQ(copy.size(), cv::Size(1920, 1080)) << name;
        EXPECT_EQ(cv::norm(copy, Expected(source_, 1920, 1080, serial), cv::NORM_INF), 0.0) << name;
        // The number is really there: black strokes on the white area.
        EXPECT_GT(cv::countNonZero(copy(cv::Rect(150, 50, 1200, 260)).reshape(1) == 0), 10000) << name;
    }
    EXPECT_EQ(clock_.Now() - start, 3u * 20u);  // one 20 ms preview pause per copy
}

TEST_F(StampTest, SourceAtTheRequestedSizeIsNotResampled) {
    ASSERT_EQ(ImageAddSerialNumber((dir_ / "logo.png").c_str(), 800, 600, 1), 1);
    cv::Mat expected = source_.clone();
    cv::putText(expected, "00001", cv::Point(150, 300), cv::FONT_HERSHEY_PLAIN, 18.0, cv::Scalar::all(0), 10,
                cv::LINE_AA);
    EXPECT_EQ(cv::norm(cv::imread(dir_ / "logo_00001.bmp"), expected, cv::NORM_INF), 0.0);
}

TEST_F(StampTest, UnreadableSourceWritesNothingAndStillSucceeds) {
    WriteFile(dir_ / "broken.png", "no image here");
    const uint64_t start = clock_.Now();
    EXPECT_EQ(ImageAddSerialNumber((dir_ / "broken.png").c_str(), 640, 480, 3), 1);
    EXPECT_EQ(ImageAddSerialNumber((dir_ / "missing.png").c_str(), 640, 480, 3), 1);
    EXPECT_EQ(ImageAddSerialNumber(dir_.path().c_str(), 640, 480, 2), 1);  // a directory
    EXPECT_TRUE(Bmps().empty());
    EXPECT_EQ(clock_.Now(), start);  // no image, no preview, no pause
}

TEST_F(StampTest, FailedAttemptsHoldTheSerialBack) {
    // The first copy's name is taken by a directory: every attempt fails on
    // the same name, and no later name is used.
    fs::create_directory(dir_.path() / "logo_00001.bmp");
    EXPECT_EQ(ImageAddSerialNumber((dir_ / "logo.png").c_str(), 640, 480, 3), 1);
    EXPECT_FALSE(fs::exists(dir_.path() / "logo_00002.bmp"));
}

TEST_F(StampTest, NoCopiesAskedForNoneMade) {
    EXPECT_EQ(ImageAddSerialNumber((dir_ / "logo.png").c_str(), 640, 480, 0), 1);
    EXPECT_EQ(ImageAddSerialNumber((dir_ / "logo.png").c_str(), 640, 480, -5), 1);
    EXPECT_TRUE(Bmps().empty());
}

TEST_F(StampTest, NamesWithoutExtensionWithDotsAndPercent) {
    fs::create_directory(dir_.path() / "pat.old");
    const cv::Mat small = ColourPattern(64, 48);
    // Written as PNG under names that do not say so.
    std::vector<uchar> png;
    ASSERT_TRUE(cv::imencode(".png", small, png));
    for (const char *name : {"logo", "pat.old/grid", "100%s%n%d.png"}) {
        std::ofstream(dir_ / name, std::ios::binary).write(reinterpret_cast<const char *>(png.data()),
                                                          static_cast<std::streamsize>(png.size()));
        EXPECT_EQ(ImageAddSerialNumber((dir_ / name).c_str(), 320, 240, 1), 1) << name;
    }
    EXPECT_TRUE(fs::exists(dir_.path() / "logo_00001.bmp"));
    EXPECT_TRUE(fs::exists(dir_.path() / "pat.old" / "grid_00001.bmp"));
    EXPECT_TRUE(fs::exists(dir_.path() / "100%s%n%d_00001.bmp"));
    EXPECT_EQ(cv::imread(dir_ / "100%s%n%d_00001.bmp").size(), cv::Size(320, 240));
}

// 1-bit and 4-bit BMP sources keep their depth; 8-bit gray stays 8-bit.
TEST_F(StampTest, LowDepthBmpSourcesKeepTheirDepth) {
    const cv::Mat gray = GrayPattern(400, 320);
    FIBITMAP *eight = FreeImage_ConvertFromRawBits(const_cast<uint8_t *>(gray.data), gray.cols, gray.rows,
                                                   static_cast<int>(gray.step[0]), 8, 0, 0, 0, TRUE);
    ASSERT_NE(eight, nullptr);
    FIBITMAP *one = FreeImage_Threshold(eight, 128);
    FIBITMAP *four = FreeImage_ConvertTo4Bits(eight);
    ASSERT_TRUE(FreeImage_Save(FIF_BMP, one, (dir_ / "mono.bmp").c_str(), 0));
    ASSERT_TRUE(FreeImage_Save(FIF_BMP, four, (dir_ / "sixteen.bmp").c_str(), 0));
    ASSERT_TRUE(FreeImage_Save(FIF_BMP, eight, (dir_ / "gray8.bmp").c_str(), 0));
    FreeImage_Unload(one);
    FreeImage_Unload(four);
    FreeImage_Unload(eight);
    ASSERT_EQ(GetSourceBitsPerPixel((dir_ / "mono.bmp").c_str()), 1);
    ASSERT_EQ(GetSourceBitsPerPixel((dir_ / "sixteen.bmp").c_str()), 4);
    EXPECT_EQ(GetSourceBitsPerPixel((dir_ / "logo.png").c_str()), 0);
    EXPECT_EQ(GetSourceBitsPerPixel((dir_ / "missing.bmp").c_str()), 0);

    struct Case {
        const char *source, *copy;
        unsigned bpp;
    };
    for (Case c : {Case{"mono.bmp", "mono_00001.bmp", 1}, Case{"sixteen.bmp", "sixteen_00001.bmp", 4},
                   Case{"gray8.bmp", "gray8_00001.bmp", 8}}) {
        ASSERT_EQ(ImageAddSerialNumber((dir_ / c.source).c_str(), 800, 640, 1), 1) << c.source;
        FIBITMAP *copy = FreeImage_Load(FIF_BMP, (dir_ / c.copy).c_str(), 0);
        ASSERT_NE(copy, nullptr) << c.copy;
        EXPECT_EQ(FreeImage_GetBPP(copy), c.bpp) << c.copy;
        EXPECT_EQ(FreeImage_GetWidth(copy), 800u) << c.copy;
        EXPECT_EQ(FreeImage_GetHeight(copy), 640u) << c.copy;
        FreeImage_Unload(copy);
        // The stamp is there: the middle of the first digit's stroke is
        // black, and the top-left corner is not all black.
        const cv::Mat read = cv::imread(dir_ / c.copy, cv::IMREAD_GRAYSCALE);
        const cv::Mat stamped = Expected(cv::imread(dir_ / c.source, cv::IMREAD_GRAYSCALE), 800, 640, 1);
        const cv::Mat textMask = stamped == 0;
        EXPECT_EQ(cv::countNonZero(read & textMask), 0) << c.copy << ": text pixels not black";
    }
}

TEST_F(StampTest, SixteenBitSourceIsBroughtToEightBits) {
    cv::Mat deep(120, 200, CV_16UC1, cv::Scalar(0xA5FF));
    ASSERT_TRUE(cv::imwrite(dir_ / "deep.png", deep));
    ASSERT_EQ(ImageAddSerialNumber((dir_ / "deep.png").c_str(), 200, 120, 1), 1);
    const cv::Mat copy = cv::imread(dir_ / "deep_00001.bmp", cv::IMREAD_UNCHANGED);
    ASSERT_EQ(copy.depth(), CV_8U);
    EXPECT_EQ(copy.at<uint8_t>(0, 0), 0xA5);
}

TEST_F(StampTest, BadNamesAndSizes) {
    const std::string logo = dir_ / "logo.png";
    EXPECT_EQ(ImageAddSerialNumber(nullptr, 640, 480, 1), 0);
    EXPECT_EQ(ImageAddSerialNumber("", 640, 480, 1), 0);
    for (auto [w, h] : {std::pair{0, 480}, std::pair{640, 0}, std::pair{-640, 480}, std::pair{640, -480},
                        std::pair{65536, 65536}, std::pair{46344, 46341}}) {
        EXPECT_EQ(ImageAddSerialNumber(logo.c_str(), w, h, 1), 0) << w << "x" << h;
    }
    EXPECT_TRUE(Bmps().empty());
}

// Paths of 259, 260 and 261 characters: a path buffer holds 259 and the NUL.
// A 259-character name with a long extension has a short copy name and works;
// one whose copy name would not fit is refused.
TEST_F(StampTest, PathLengthLimits) {
    const std::string base = (dir_.path() / "d").string();
    fs::create_directory(base);
    const std::string stem = base + "/x.";
    auto nameOfLength = [&](size_t length) { return stem + std::string(length - stem.size(), 'e'); };
    std::vector<uchar> png;
    ASSERT_TRUE(cv::imencode(".png", ColourPattern(32, 32), png));
    for (size_t length : {259u, 260u, 261u}) {
        const std::string name = nameOfLength(length);
        ASSERT_EQ(name.size(), length);
        std::ofstream(name, std::ios::binary).write(reinterpret_cast<const char *>(png.data()),
                                                    static_cast<std::streamsize>(png.size()));
        ASSERT_TRUE(fs::exists(name));
    }
    EXPECT_EQ(ImageAddSerialNumber(nameOfLength(259).c_str(), 64, 64, 1), 1);
    EXPECT_TRUE(fs::exists(base + "/x_00001.bmp"));
    fs::remove(base + "/x_00001.bmp");
    EXPECT_EQ(ImageAddSerialNumber(nameOfLength(260).c_str(), 64, 64, 1), 0);
    EXPECT_EQ(ImageAddSerialNumber(nameOfLength(261).c_str(), 64, 64, 1), 0);
    EXPECT_FALSE(fs::exists(base + "/x_00001.bmp"));

    // 254 characters ending ".png": the copy name (260) no longer fits.
    std::string longPng = base + "/" + std::string(254 - base.size() - 5, 'n') + ".png";
    ASSERT_EQ(longPng.size(), 254u);
    std::ofstream(longPng, std::ios::binary).write(reinterpret_cast<const char *>(png.data()),
                                                   static_cast<std::streamsize>(png.size()));
    EXPECT_EQ(ImageAddSerialNumber(longPng.c_str(), 64, 64, 1), 0);
    // 253: the copy name has 259 characters and fits.
    std::string fits = base + "/" + std::string(253 - base.size() - 5, 'm') + ".png";
    std::ofstream(fits, std::ios::binary).write(reinterpret_cast<const char *>(png.data()),
                                                static_cast<std::streamsize>(png.size()));
    EXPECT_EQ(ImageAddSerialNumber(fits.c_str(), 64, 64, 1), 1);
    EXPECT_TRUE(fs::exists(fits.substr(0, fits.size() - 4) + "_00001.bmp"));
}

}  // namespace
}  // namespace vek::image

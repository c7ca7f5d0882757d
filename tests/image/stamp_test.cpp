// Serial-number stamping: the copy names, the stamped pixels, the depth of
// 1-bit and 4-bit sources, the pauses, and bad names and sizes.
#include <FreeImage.h>
#include <gtest/gtest.h>

#include <fstream>
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

// The copy name replaces the extension (after the last separator, '/' or '\\') with _NNNNN.bmp.
TEST(StampNames, CopyName) {
    const std::pair<std::string, std::string> cases[] = {
        {"D:\\pat\\grid.png", "D:\\pat\\grid_00001.bmp"},
        {"D:\\pat.old\\grid", "D:\\pat.old\\grid_00001.bmp"},
        {"/pat.old/grid", "/pat.old/grid_00001.bmp"},
        {"mixed/dir\\name.tar.gz", "mixed/dir\\name.tar_00001.bmp"},
        {".hidden", "_00001.bmp"},
        {"E:/in/100%s%n%d.png", "E:/in/100%s%n%d_00001.bmp"},  // '%' is ordinary
    };
    for (const auto &[name, copy] : cases) EXPECT_EQ(StampedCopyName(name, 1), copy) << name;
    EXPECT_EQ(StampedCopyName("E:/in/logo.png", 123456), "E:/in/logo_123456.bmp");
    EXPECT_EQ(StampedCopyName("", 1), std::nullopt);
}

// The source at width x height with `serial` drawn as described.
cv::Mat Expected(const cv::Mat &source, int width, int height, int serial) {
    cv::Mat out;
    cv::resize(source, out, cv::Size(width, height), 0, 0, cv::INTER_LINEAR);
    char text[16];
    std::snprintf(text, sizeof text, "%05d", serial);
    cv::putText(out, text, cv::Point(150, 300), cv::FONT_HERSHEY_PLAIN, 18.0, cv::Scalar::all(0), 10, cv::LINE_AA);
    return out;
}

class StampTest : public ::testing::Test {
protected:
    void SetUp() override {
        source_ = ColourPattern(800, 600);
        source_(cv::Rect(100, 50, 600, 300)).setTo(cv::Scalar(255, 255, 255));  // where the number goes
        ASSERT_TRUE(cv::imwrite(dir_ / "logo.png", source_));
        ASSERT_TRUE(cv::imencode(".png", ColourPattern(32, 32), png_));
    }
    // A PNG under a name that need not say so.
    void WritePng(const std::string &name) const {
        std::ofstream(name, std::ios::binary)
            .write(reinterpret_cast<const char *>(png_.data()), static_cast<std::streamsize>(png_.size()));
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
    std::vector<uchar> png_;
};

// A JPEG whose EXIF orientation asks for a quarter turn converts and stamps
// as stored: the getters and the stamped copy agree (away from the number).
TEST_F(StampTest, ExifOrientationIsNotApplied) {
    std::vector<uchar> jpeg;
    ASSERT_TRUE(cv::imencode(".jpg", ColourPattern(640, 480), jpeg, {cv::IMWRITE_JPEG_QUALITY, 95}));
    // An APP1 segment right after the start marker: Exif, a little-endian
    // TIFF header and one IFD entry, Orientation (0x0112) = 6 (rotate 90).
    const std::vector<uchar> exif = {0xFF, 0xE1, 0x00, 0x22, 'E', 'x', 'i', 'f', 0, 0, 'I', 'I', 0x2A, 0, 8, 0, 0, 0,
                                     1,    0,    0x12, 0x01, 3,   0,   1,   0,   0, 0, 6,   0,   0,    0, 0, 0, 0, 0};
    jpeg.insert(jpeg.begin() + 2, exif.begin(), exif.end());
    const std::string name = dir_ / "turned.jpg";
    std::ofstream(name, std::ios::binary)
        .write(reinterpret_cast<const char *>(jpeg.data()), static_cast<std::streamsize>(jpeg.size()));
    ASSERT_EQ(cv::imread(name).size(), cv::Size(480, 640)) << "OpenCV applies the orientation by default";

    cv::Mat red(480, 640, CV_8UC1), green(480, 640, CV_8UC1), blue(480, 640, CV_8UC1);
    ASSERT_EQ(GetRGBPixelFormat(name.c_str(), 640, 480, red.data, green.data, blue.data), 1);
    ASSERT_EQ(ImageAddSerialNumber(name.c_str(), 640, 480, 1), 1);
    cv::Mat stamped = cv::imread(dir_ / "turned_00001.bmp", cv::IMREAD_UNCHANGED);
    ASSERT_EQ(stamped.size(), cv::Size(640, 480));
    cv::Mat stampedPlanes[3];
    cv::split(stamped, stampedPlanes);
    const cv::Rect clearOfTheNumber(0, 0, 140, 480);
    EXPECT_EQ(cv::norm(red(clearOfTheNumber), stampedPlanes[2](clearOfTheNumber), cv::NORM_INF), 0.0);
    EXPECT_EQ(cv::norm(blue(clearOfTheNumber), stampedPlanes[0](clearOfTheNumber), cv::NORM_INF), 0.0);
}

TEST_F(StampTest, ColourSourceGivesNumberedStampedCopies) {
    const uint64_t start = clock_.Now();
    ASSERT_EQ(ImageAddSerialNumber((dir_ / "logo.png").c_str(), 1920, 1080, 3), 1);
    EXPECT_EQ(Bmps(), (std::vector<std::string>{"logo_00001.bmp", "logo_00002.bmp", "logo_00003.bmp"}));
    for (int serial = 1; serial <= 3; ++serial) {
        const cv::Mat copy = cv::imread(dir_ / Bmps()[serial - 1], cv::IMREAD_UNCHANGED);
        ASSERT_EQ(copy.type(), CV_8UC3) << serial;
        ASSERT_EQ(copy.size(), cv::Size(1920, 1080)) << serial;
        EXPECT_EQ(cv::norm(copy, Expected(source_, 1920, 1080, serial), cv::NORM_INF), 0.0) << serial;
        // The number is really there: black strokes on the white area.
        EXPECT_GT(cv::countNonZero(copy(cv::Rect(150, 50, 1200, 260)).reshape(1) == 0), 10000) << serial;
    }
    EXPECT_EQ(clock_.Now() - start, 3u * 20u);  // one 20 ms preview pause per copy
}

// Unreadable sources and counts of 0 or less make nothing, without a pause,
// and still succeed; a copy name taken by a directory holds the serial back.
TEST_F(StampTest, UnreadableSourceWritesNothingAndStillSucceeds) {
    WriteFile(dir_ / "broken.png", "no image here");
    const uint64_t start = clock_.Now();
    for (const std::string &name : {dir_ / "broken.png", dir_ / "missing.png", dir_.path().string()})
        EXPECT_EQ(ImageAddSerialNumber(name.c_str(), 640, 480, 3), 1) << name;
    EXPECT_EQ(ImageAddSerialNumber((dir_ / "logo.png").c_str(), 640, 480, 0), 1);
    EXPECT_EQ(ImageAddSerialNumber((dir_ / "logo.png").c_str(), 640, 480, -5), 1);
    EXPECT_TRUE(Bmps().empty());
    EXPECT_EQ(clock_.Now(), start);
    fs::create_directory(dir_.path() / "logo_00001.bmp");
    EXPECT_EQ(ImageAddSerialNumber((dir_ / "logo.png").c_str(), 640, 480, 3), 1);
    EXPECT_FALSE(fs::exists(dir_.path() / "logo_00002.bmp"));
}

// 1-bit and 4-bit BMP sources keep their depth; 8-bit gray stays 8-bit.
TEST_F(StampTest, LowDepthBmpSourcesKeepTheirDepth) {
    const cv::Mat gray = GrayPattern(400, 320);
    FIBITMAP *eight = FreeImage_ConvertFromRawBits(const_cast<uint8_t *>(gray.data), gray.cols, gray.rows,
                                                   static_cast<int>(gray.step[0]), 8, 0, 0, 0, TRUE);
    ASSERT_NE(eight, nullptr);
    FIBITMAP *one = FreeImage_Threshold(eight, 128), *four = FreeImage_ConvertTo4Bits(eight);
    ASSERT_TRUE(FreeImage_Save(FIF_BMP, one, (dir_ / "mono.bmp").c_str(), 0));
    ASSERT_TRUE(FreeImage_Save(FIF_BMP, four, (dir_ / "sixteen.bmp").c_str(), 0));
    ASSERT_TRUE(FreeImage_Save(FIF_BMP, eight, (dir_ / "gray8.bmp").c_str(), 0));
    for (FIBITMAP *b : {one, four, eight}) FreeImage_Unload(b);
    EXPECT_EQ(GetSourceBitsPerPixel((dir_ / "logo.png").c_str()), 0);
    EXPECT_EQ(GetSourceBitsPerPixel((dir_ / "missing.bmp").c_str()), 0);
    for (auto [source, bpp] : {std::pair{"mono", 1u}, std::pair{"sixteen", 4u}, std::pair{"gray8", 8u}}) {
        const std::string in = dir_ / (std::string(source) + ".bmp"), out = dir_ / (std::string(source) + "_00001.bmp");
        if (bpp < 8) {
            EXPECT_EQ(GetSourceBitsPerPixel(in.c_str()), static_cast<int>(bpp));
        }
        ASSERT_EQ(ImageAddSerialNumber(in.c_str(), 800, 640, 1), 1) << source;
        FIBITMAP *copy = FreeImage_Load(FIF_BMP, out.c_str(), 0);
        ASSERT_NE(copy, nullptr) << out;
        EXPECT_EQ(FreeImage_GetBPP(copy), bpp) << out;
        EXPECT_EQ(FreeImage_GetWidth(copy), 800u);
        EXPECT_EQ(FreeImage_GetHeight(copy), 640u);
        FreeImage_Unload(copy);
        // The stamp is there: every pixel of the drawn text is black.
        const cv::Mat textMask = Expected(cv::imread(in, cv::IMREAD_GRAYSCALE), 800, 640, 1) == 0;
        EXPECT_EQ(cv::countNonZero(cv::imread(out, cv::IMREAD_GRAYSCALE) & textMask), 0) << out;
    }
}

TEST_F(StampTest, SixteenBitSourceIsBroughtToEightBits) {
    ASSERT_TRUE(cv::imwrite(dir_ / "deep.png", cv::Mat(120, 200, CV_16UC1, cv::Scalar(0xA5FF))));
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
                        std::pair{65536, 65536}, std::pair{46344, 46341}})
        EXPECT_EQ(ImageAddSerialNumber(logo.c_str(), w, h, 1), 0) << w << "x" << h;
    EXPECT_TRUE(Bmps().empty());
}

// A path buffer holds 259 characters and the NUL. A 259-character name with
// a long extension has a short copy name and works; 260 and 261 are refused,
// and so is a name whose copy name would not fit (254 characters ending
// ".png" give 260); 253 gives 259 and fits.
TEST_F(StampTest, PathLengthLimits) {
    const std::string base = (dir_.path() / "d").string();
    fs::create_directory(base);
    auto named = [&](size_t length, const std::string &lead, char fill, const std::string &tail) {
        std::string name = base + lead + std::string(length - base.size() - lead.size() - tail.size(), fill) + tail;
        WritePng(name);
        return name;
    };
    struct Case {
        std::string name, copy;
        int result;
    };
    const Case cases[] = {
        {named(260, "/x.", 'e', ""), "", 0},
        {named(261, "/x.", 'f', ""), "", 0},
        {named(259, "/x.", 'g', ""), base + "/x_00001.bmp", 1},
        {named(254, "/", 'n', ".png"), "", 0},
        {named(253, "/", 'm', ".png"), "", 1},
    };
    for (const Case &c : cases) {
        ASSERT_TRUE(fs::exists(c.name)) << c.name.size();
        EXPECT_EQ(ImageAddSerialNumber(c.name.c_str(), 64, 64, 1), c.result) << c.name.size();
        const std::string copy =
            c.result && c.copy.empty() ? c.name.substr(0, c.name.size() - 4) + "_00001.bmp" : c.copy;
        EXPECT_TRUE(copy.empty() || fs::exists(copy)) << c.name.size();
    }
    size_t bmps = 0;
    for (const auto &e : fs::directory_iterator(base)) bmps += e.path().extension() == ".bmp";
    EXPECT_EQ(bmps, 2u);  // nothing from the refused names
}

}  // namespace
}  // namespace vek::image

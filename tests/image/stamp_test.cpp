// Serial-number stamping: the copy names, the stamped pixels, the depth of
// 1-bit, 4-bit and 16-bit sources, the pauses, and the length of names for
// stamping and batch conversion (bad names and sizes: getters_test).
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "image/image_internal.h"
#include "image/low_depth_bmp.h"
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
    cv::Mat out = Resized(source, width, height);
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
    }
    std::vector<std::string> Bmps() const { return Names(dir_.path(), ".bmp"); }

    TempDir dir_;
    VirtualClock clock_;
    cv::Mat source_;
};

TEST_F(StampTest, ColourSourceGivesNumberedStampedCopies) {
    ASSERT_EQ(ImageAddSerialNumber((dir_ / "logo.png").c_str(), 1920, 1080, 3), 1);
    EXPECT_EQ(Bmps(), (std::vector<std::string>{"logo_00001.bmp", "logo_00002.bmp", "logo_00003.bmp"}));
    for (int serial = 1; serial <= 3; ++serial) {
        const cv::Mat copy = cv::imread(dir_ / Bmps()[serial - 1], cv::IMREAD_UNCHANGED);
        ASSERT_EQ(copy.type(), CV_8UC3) << serial;
        ASSERT_EQ(copy.size(), cv::Size(1920, 1080)) << serial;
        EXPECT_EQ(cv::norm(copy, Expected(source_, 1920, 1080, serial), cv::NORM_INF), 0.0) << serial;
    }
}

// Decision: a JPEG whose EXIF orientation asks for a quarter turn converts
// and stamps as stored; getter and copy agree away from the number.
TEST_F(StampTest, ExifOrientationIsNotApplied) {
    std::vector<uchar> jpeg;
    ASSERT_TRUE(cv::imencode(".jpg", ColourPattern(640, 480), jpeg));
    // APP1: Exif, a little-endian TIFF header, one IFD entry: Orientation (0x0112) = 6.
    const uchar exif[] = {0xFF, 0xE1, 0,    0x22, 'E', 'x', 'i', 'f', 0, 0, 'I', 'I', 0x2A, 0, 8, 0, 0, 0,
                          1,    0,    0x12, 1,    3,   0,   1,   0,   0, 0, 6,   0,   0,    0, 0, 0, 0, 0};
    jpeg.insert(jpeg.begin() + 2, std::begin(exif), std::end(exif));
    const std::string name = dir_ / "turned.jpg";
    WriteFile(name, std::string(jpeg.begin(), jpeg.end()));
    ASSERT_EQ(cv::imread(name).size(), cv::Size(480, 640)) << "OpenCV applies the orientation by default";
    cv::Mat red(480, 640, CV_8UC1), rest(480, 640, CV_8UC1), stamped;
    ASSERT_EQ(GetRGBPixelFormat(name.c_str(), 640, 480, red.data, rest.data, rest.data), 1);
    ASSERT_EQ(ImageAddSerialNumber(name.c_str(), 640, 480, 1), 1);
    cv::extractChannel(cv::imread(dir_ / "turned_00001.bmp"), stamped, 2);
    EXPECT_EQ(cv::norm(red.colRange(0, 140), stamped.colRange(0, 140), cv::NORM_INF), 0.0);
}

// Unreadable sources and counts of 0 or less make nothing, without a pause,
// and still succeed; a copy name taken by a directory holds the serial back.
TEST_F(StampTest, UnreadableSourceWritesNothingAndStillSucceeds) {
    WriteFile(dir_ / "broken.png", "no image here");
    const uint64_t start = clock_.Now();
    for (auto [name, count] : {std::pair{dir_ / "broken.png", 3},
                               {dir_ / "missing.png", 3},
                               {dir_ / "logo.png", 0},
                               {dir_ / "logo.png", -5}})
        EXPECT_EQ(ImageAddSerialNumber(name.c_str(), 640, 480, count), 1) << name << " " << count;
    EXPECT_TRUE(Bmps().empty());
    EXPECT_EQ(clock_.Now(), start);
    fs::create_directory(dir_.path() / "logo_00001.bmp");
    EXPECT_EQ(ImageAddSerialNumber((dir_ / "logo.png").c_str(), 640, 480, 3), 1);
    EXPECT_FALSE(fs::exists(dir_.path() / "logo_00002.bmp"));
}

// 1-bit and 4-bit BMP sources keep their depth (and the stamp: every pixel of
// the drawn text is black; 1 bit: the stamped picture split at 128, at a size
// where resampling makes 127s); 8-bit gray stays 8-bit; 16-bit comes down to 8.
TEST_F(StampTest, SourcesKeepTheirDepthUpTo8Bits) {
    const cv::Mat gray = GrayPattern(400, 320);
    for (auto [name, bpp] : {std::pair{"mono", 1}, std::pair{"sixteen", 4}}) {
        const std::vector<uint8_t> bmp = EncodeLowDepthBmp(gray, bpp);
        WriteFile(dir_ / (std::string(name) + ".bmp"),
                  std::string_view(reinterpret_cast<const char *>(bmp.data()), bmp.size()));
    }
    ASSERT_TRUE(cv::imwrite(dir_ / "gray8.bmp", gray));
    for (auto [source, bpp] : {std::pair{"mono", 1u}, std::pair{"sixteen", 4u}, std::pair{"gray8", 8u}}) {
        const std::string in = dir_ / (std::string(source) + ".bmp"), out = dir_ / (std::string(source) + "_00001.bmp");
        ASSERT_EQ(ImageAddSerialNumber(in.c_str(), 600, 480, 1), 1) << source;
        EXPECT_EQ(GetSourceBitsPerPixel(out.c_str()), static_cast<int>(bpp));
        EXPECT_EQ(cv::imread(out, cv::IMREAD_UNCHANGED).size(), cv::Size(600, 480));
        const cv::Mat expected = Expected(cv::imread(in, cv::IMREAD_GRAYSCALE), 600, 480, 1),
                      copied = cv::imread(out, cv::IMREAD_GRAYSCALE);
        EXPECT_EQ(cv::countNonZero(copied & (expected == 0)), 0) << out;
        EXPECT_EQ(bpp == 1 ? cv::countNonZero((copied > 0) != (expected >= 128)) : 0, 0) << "1 bit: split at 128";
    }
    ASSERT_TRUE(cv::imwrite(dir_ / "deep.png", cv::Mat(120, 200, CV_16UC1, cv::Scalar(0xA5FF))));
    ASSERT_EQ(ImageAddSerialNumber((dir_ / "deep.png").c_str(), 200, 120, 1), 1);
    const cv::Mat copy = cv::imread(dir_ / "deep_00001.bmp", cv::IMREAD_UNCHANGED);
    EXPECT_EQ(std::pair(copy.depth(), copy.at<uint8_t>(0, 0)), std::pair(CV_8U, uint8_t{0xA5}));
}

// A path buffer holds 259 characters and the NUL: longer names are refused,
// outputs whose name would not fit are not written. A stamped source with a
// long extension has a short copy name; 254 characters ending ".png" give a
// 260-character one. Batch: folder + "i.bin" fits up to a 254-character folder.
TEST(PathLengths, LongerNamesAreRefusedAndOutputsThatDoNotFitSkipped) {
    std::vector<uchar> png;
    ASSERT_TRUE(cv::imencode(".png", GrayPattern(8, 8), png));
    const std::string pngFile(png.begin(), png.end());
    const struct {
        bool stamp;
        size_t length;
        std::string lead, tail;
        int result;
        bool written;
    } cases[] = {
        {true, 259, "x.", "", 1, true},   {true, 260, "x.", "", 0, false},   {true, 261, "x.", "", 0, false},
        {true, 253, "", ".png", 1, true}, {true, 254, "", ".png", 0, false}, {false, 254, "", "/", 1, true},
        {false, 255, "", "/", 1, false},  {false, 259, "", "/", 1, false},   {false, 260, "", "/", 0, false},
        {false, 261, "", "/", 0, false},
    };
    for (const auto &c : cases) {
        const TempDir dir;
        const std::string prefix = dir / "";
        const std::string name =
            prefix + c.lead + std::string(c.length - prefix.size() - c.lead.size() - c.tail.size(), 'a') + c.tail;
        SCOPED_TRACE(::testing::Message() << (c.stamp ? "stamp " : "batch ") << c.length);
        if (c.stamp) {
            WriteFile(name, pngFile);
            EXPECT_EQ(ImageAddSerialNumber(name.c_str(), 8, 8, 1), c.result);
            EXPECT_EQ(Names(dir.path(), "_00001.bmp").size(), c.written ? 1u : 0u);
        } else {
            fs::create_directory(name);
            WriteFile(name + "i", pngFile);
            EXPECT_EQ(BatchImage2Bin(name.c_str(), 8, 8), c.result);
            EXPECT_EQ(fs::exists(name + "i.bin"), c.written);
        }
    }
}

}  // namespace
}  // namespace vek::image

// The format getters on real files of every kind they meet: 8-bit gray and
// 24-bit colour BMP, PNG, JPEG, 16-bit PNG and TIFF, and files that are not
// images at all; and what every image function refuses.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "image_test_util.h"
#include "vek_dll.h"

namespace vek::image {
namespace {

using namespace vek::image::testing;

// Every getter refuses the name at this size: null or false.
bool GettersRefuse(const char *name, int w, int h, GuardedBuffer &a, GuardedBuffer &b, GuardedBuffer &d) {
    return GetGrayPixelFormat(name, w, h, a.data()) == nullptr &&
           GetRGBPixelFormat(name, w, h, a.data(), b.data(), d.data()) == 0 &&
           GetGrayBinFormat(name, w, h, 0xFF, a.data()) == nullptr &&
           GetRGBBinFormat(name, w, h, 0xFF, a.data(), b.data(), d.data()) == 0;
}

class GettersTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new TempDir;
        gray_ = GrayPattern(1920, 1080);
        colour_ = ColourPattern(640, 480);
        deep_ = cv::Mat(64, 96, CV_16UC1);
        deep_.forEach<uint16_t>([](uint16_t &v, const int *p) { v = static_cast<uint16_t>(p[1] * 683 + p[0] * 1021); });
        deep_.at<uint16_t>(0, 0) = 0x80FF;  // rounds up if the conversion rounds
        deep_.at<uint16_t>(0, 1) = 0xFFFF;
        deep_.at<uint16_t>(0, 2) = 0x00FF;
        ASSERT_TRUE(cv::imwrite(*dir_ / "gray.bmp", gray_) && cv::imwrite(*dir_ / "colour.bmp", colour_) &&
                    cv::imwrite(*dir_ / "colour.png", colour_) && cv::imwrite(*dir_ / "deep.png", deep_) &&
                    cv::imwrite(*dir_ / "deep.tif", deep_) &&
                    cv::imwrite(*dir_ / "photo.jpg", colour_, {cv::IMWRITE_JPEG_QUALITY, 95}));
        WriteFile(*dir_ / "notes.txt", "not an image\n");
        WriteFile(*dir_ / "fake.png", "\x89PNG\r\n\x1a\n but nothing after");
        // A DICOM preamble cut short: a DICOM decoder in OpenCV (GDCM) aborts the process on it.
        WriteFile(*dir_ / "cut.dcm", std::string(128, '\0') + "DICM" + std::string("\0\1\7", 3));
    }
    static void TearDownTestSuite() { delete dir_; }

    static inline TempDir *dir_ = nullptr;
    static inline cv::Mat gray_, colour_, deep_;
};

// At its own size a file is copied unchanged; other sizes (shrinking,
// stretching, widths not a multiple of 4 or 8) are resampled bilinearly into
// exactly width x height bytes, rows without padding. Colour comes back gray
// (the decoders round their own way: within 1 of the usual weights; JPEG is
// lossy); 16-bit files keep their high byte, resampled at 16 bits.
TEST_F(GettersTest, EveryFormatComesBackAsEightBitGrayAtTheAskedSize) {
    cv::Mat fromColour, high, highResized;
    cv::cvtColor(colour_, fromColour, cv::COLOR_BGR2GRAY);
    cv::Mat(deep_ & cv::Scalar(0xFF00)).convertTo(high, CV_8U, 1.0 / 256);
    cv::Mat(Resized(deep_, 48, 40) & cv::Scalar(0xFF00)).convertTo(highResized, CV_8U, 1.0 / 256);
    struct Case {
        const char *name;
        cv::Mat expected;
        double most, mean;  // the largest and the mean difference allowed
    };
    std::vector<Case> cases = {{"colour.bmp", fromColour, 1, 1},  {"colour.png", fromColour, 1, 1},
                               {"photo.jpg", fromColour, 255, 4}, {"deep.png", high, 0, 0},
                               {"deep.tif", high, 0, 0},          {"deep.png", highResized, 0, 0}};
    for (auto [w, h] : {std::pair{1920, 1080}, {960, 540}, {13, 7}, {2001, 3}, {1, 1}})
        cases.push_back({"gray.bmp", Resized(gray_, w, h), 0, 0});
    for (const auto &c : cases) {
        SCOPED_TRACE(::testing::Message() << c.name << " " << c.expected.cols << "x" << c.expected.rows);
        GuardedBuffer pixels(c.expected.total());
        ASSERT_EQ(GetGrayPixelFormat((*dir_ / c.name).c_str(), c.expected.cols, c.expected.rows, pixels.data()),
                  pixels.data());
        const cv::Mat got(c.expected.rows, c.expected.cols, CV_8UC1, pixels.data());
        EXPECT_LE(cv::norm(got, c.expected, cv::NORM_INF), c.most);
        EXPECT_LE(cv::norm(got, c.expected, cv::NORM_L1) / got.total(), c.mean);
        EXPECT_TRUE(pixels.GuardIntact());
    }
}

TEST_F(GettersTest, ColourPlanesAreRedGreenBlue) {
    for (auto [w, h] : {std::pair{640, 480}, std::pair{203, 101}}) {
        const size_t n = static_cast<size_t>(w) * h;
        GuardedBuffer r(n), g(n), b(n);
        ASSERT_EQ(GetRGBPixelFormat((*dir_ / "colour.png").c_str(), w, h, r.data(), g.data(), b.data()), 1);
        cv::Mat channels[3];
        cv::split(w == 640 ? colour_ : Resized(colour_, w, h), channels);
        EXPECT_EQ((std::vector{r.Content(), g.Content(), b.Content()}),
                  (std::vector{Bytes(channels[2]), Bytes(channels[1]), Bytes(channels[0])}));
        EXPECT_TRUE(r.GuardIntact() && g.GuardIntact() && b.GuardIntact());
    }
}

// The bin getters give the pixel getters' output in frame layout.
TEST_F(GettersTest, BinGettersGiveThePixelsInFrameLayout) {
    const std::string gray = *dir_ / "gray.bmp", colour = *dir_ / "colour.bmp";
    const size_t n = 640 * 480;
    std::vector<std::vector<uint8_t>> planes(4, std::vector<uint8_t>(n));
    ASSERT_EQ(GetRGBPixelFormat(colour.c_str(), 640, 480, planes[0].data(), planes[1].data(), planes[2].data()), 1);
    ASSERT_NE(GetGrayPixelFormat(gray.c_str(), 640, 480, planes[3].data()), nullptr);
    std::vector<GuardedBuffer> bins(4, GuardedBuffer(n / 4));
    ASSERT_EQ(GetRGBBinFormat(colour.c_str(), 640, 480, 0x81, bins[0].data(), bins[1].data(), bins[2].data()), 1);
    ASSERT_EQ(GetGrayBinFormat(gray.c_str(), 640, 480, 0x81, bins[3].data()), bins[3].data());
    for (int i = 0; i < 4; ++i) {
        std::vector<uint8_t> expected(n / 4);
        ASSERT_NE(pixel2bin(planes[i].data(), 640, 480, 0x81, expected.data()), nullptr);
        EXPECT_EQ(bins[i].Content(), expected) << "plane " << i;
        EXPECT_TRUE(bins[i].GuardIntact());
    }
}

// A file that begins as an accepted format loads and stamps whatever its
// data holds at byte 128 (where a DICOM file says "DICM").
TEST_F(GettersTest, DicomMarkInsideAnAcceptedFormatIsData) {
    const TempDir dir;
    for (const char *name : {"bmp.bmp", "tif.tif"}) {
        const std::string path = dir / name;
        ASSERT_TRUE(cv::imwrite(path, GrayPattern(64, 64), {cv::IMWRITE_TIFF_COMPRESSION, 1}));
        std::vector<uint8_t> bytes = ReadFile(path);
        std::copy_n("DICM", 4, bytes.begin() + 128);
        WriteFile(path, std::string_view(reinterpret_cast<const char *>(bytes.data()), bytes.size()));
        std::vector<uint8_t> pixels(64 * 64);
        EXPECT_NE(GetGrayPixelFormat(path.c_str(), 64, 64, pixels.data()), nullptr) << name;
        EXPECT_EQ(ImageAddSerialNumber(path.c_str(), 64, 64, 1), 1);
    }
    EXPECT_EQ(Names(dir.path(), "_00001.bmp"), (std::vector<std::string>{"bmp_00001.bmp", "tif_00001.bmp"}));
}

// Bad names and sizes: the getters give null or false and nothing is
// written; stamping and batch conversion give 0 for a null name only, and 1
// at a size no copy or frame can have. Decision: the bin getters report
// pixel2bin's refusal of a width that is not a multiple of 8.
// A file decodes on every build or on none: WebP, JPEG 2000 and the TIFF
// compressions of libraries beyond zlib and libjpeg are refused even where
// this build's OpenCV has their codecs.
TEST_F(GettersTest, OnlyFormatsEveryBuildDecodesAreOffered) {
    const std::tuple<const char *, int, bool> cases[] = {
        {".webp", 0, false}, {".jp2", 0, false}, {".tif", 34925, false}, {".tif", 50000, false}, {".tif", 50001, false},
        {".tif", 1, true},   {".tif", 5, true},  {".tif", 8, true},      {".tif", 32946, true},  {".tif", 32773, true}};
    for (const auto &[extension, compression, offered] : cases) {
        const std::string name = *dir_ / ("format" + std::to_string(compression) + extension);
        try {  // encoded where this build can
            if (!cv::imwrite(name, colour_, {cv::IMWRITE_TIFF_COMPRESSION, compression})) continue;
        } catch (const cv::Exception &) {
            continue;
        }
        GuardedBuffer pixels(colour_.total());
        EXPECT_EQ(GetGrayPixelFormat(name.c_str(), colour_.cols, colour_.rows, pixels.data()) != nullptr, offered)
            << name;
    }
}

TEST_F(GettersTest, BadInputGivesNullOrFalseAndWritesNothing) {
    const std::string good = *dir_ / "gray.bmp", folder = *dir_ / "";
    struct Case {
        std::string file;  // "<null>" for a null name
        int width, height;
        int others;  // what stamping and batch conversion return (-1: not tried)
    };
    std::vector<Case> cases = {{"<null>", 16, 16, 0}};
    for (std::string bad :
         {*dir_ / "missing.png", *dir_ / "notes.txt", *dir_ / "fake.png", *dir_ / "cut.dcm", std::string()})
        cases.push_back({bad, 16, 16, -1});
    // The last: width x height past 32 bits, past INT32_MAX.
    for (auto [w, h] : {std::pair{0, 16}, {16, 0}, {-16, 16}, {16, -16}, {-16, -16}, {65536, 65536}, {46344, 46341}})
        cases.push_back({good, w, h, 1});
    for (const auto &c : cases) {
        SCOPED_TRACE(c.file + " " + std::to_string(c.width) + "x" + std::to_string(c.height));
        const char *name = c.file == "<null>" ? nullptr : c.file.c_str();
        GuardedBuffer a(64), b(64), d(64);
        EXPECT_TRUE(GettersRefuse(name, c.width, c.height, a, b, d));
        EXPECT_TRUE(a.Untouched() && b.Untouched() && d.Untouched());
        if (c.others < 0) continue;
        EXPECT_EQ(ImageAddSerialNumber(name, c.width, c.height, 1), c.others);
        EXPECT_EQ(BatchImage2Bin(name == nullptr ? nullptr : folder.c_str(), c.width, c.height), c.others);
        EXPECT_EQ(Names(dir_->path(), "_00001.bmp"), std::vector<std::string>{});
        EXPECT_EQ(Names(dir_->path(), ".bin"), std::vector<std::string>{});
    }
    EXPECT_EQ(ImageAddSerialNumber("", 640, 480, 1), 0);
    GuardedBuffer a(256), b(256);  // null output buffers; a width pixel2bin refuses
    EXPECT_EQ(GetGrayPixelFormat(good.c_str(), 16, 16, nullptr), nullptr);
    EXPECT_EQ(GetRGBPixelFormat(good.c_str(), 16, 16, a.data(), nullptr, b.data()), 0);
    EXPECT_EQ(GetGrayBinFormat(good.c_str(), 16, 16, 0xFF, nullptr), nullptr);
    EXPECT_EQ(GetRGBBinFormat(good.c_str(), 16, 16, 0xFF, nullptr, a.data(), b.data()), 0);
    EXPECT_EQ(GetGrayBinFormat(good.c_str(), 12, 4, 0xFF, a.data()), nullptr);
    EXPECT_EQ(GetRGBBinFormat(good.c_str(), 12, 4, 0xFF, a.data(), a.data(), b.data()), 0);
    EXPECT_TRUE(a.Untouched() && b.Untouched());
}

#ifndef _WIN32  // threads counted in /proc; FIFOs and device nodes
// Decision: the library starts no threads, so a resizing getter runs OpenCV
// on the caller's thread. Checked in a fresh process (the death-test child):
// this program's own OpenCV calls may have started OpenCV's workers.
TEST(GetterThreads, AResizingGetterStartsNoThread) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const auto tasks = [] { return std::distance(fs::directory_iterator("/proc/self/task"), {}); };
    const auto check = [&] {
        const TempDir dir;
        std::vector<uint8_t> pixels(1000 * 700);
        const bool written = cv::imwrite(dir / "big.bmp", GrayPattern(1920, 1080));
        const auto before = tasks();
        return written && GetGrayPixelFormat((dir / "big.bmp").c_str(), 1000, 700, pixels.data()) && tasks() == before;
    };
    EXPECT_EXIT(std::_Exit(check() ? 0 : 1), ::testing::ExitedWithCode(0), "");
}

// Every image function refuses a name that is not a regular file at once
// (the open of a FIFO with no writer would hold the call for ever): the
// getters fail, stamping makes no copy and batch conversion writes no frame;
// a stamped copy whose name is taken by one is not written either.
TEST_F(GettersTest, NamesThatAreNotRegularFilesAreRefusedAtOnce) {
    for (vektest::NotRegular kind : vektest::kNotRegularKinds) {
        SCOPED_TRACE(vektest::Describe(kind));
        const TempDir dir;
        const std::string name = dir / "source.png", good = dir / "good.bmp";
        ASSERT_TRUE(vektest::MakeNotRegular(kind, name));
        GuardedBuffer a(64 * 64), b(64 * 64), d(64 * 64);
        const std::function<bool()> calls[] = {
            [&] { return GettersRefuse(name.c_str(), 64, 64, a, b, d); },
            [&] { return ImageAddSerialNumber(name.c_str(), 64, 64, 2) == 1 && !fs::exists(dir / "source_00001.bmp"); },
            [&] { return BatchImage2Bin((dir / "").c_str(), 64, 64) == 1 && !fs::exists(name + ".bin"); },
            [&] {
                fs::remove(good);
                const std::string copy = dir / "good_00001.bmp";
                return cv::imwrite(good, GrayPattern(64, 64)) && vektest::MakeNotRegular(kind, copy) &&
                       ImageAddSerialNumber(good.c_str(), 64, 64, 1) == 1 && !fs::is_regular_file(copy);
            },
        };
        for (size_t i = 0; i < std::size(calls); ++i) {
            bool hung = false;
            EXPECT_TRUE(vektest::ReturnsWithoutAWriter(i + 1 == std::size(calls) ? dir / "good_00001.bmp" : name,
                                                       calls[i], hung))
                << i;
            EXPECT_FALSE(hung) << i;
        }
        EXPECT_TRUE(a.Untouched() && b.Untouched() && d.Untouched());
    }
}
#endif

}  // namespace
}  // namespace vek::image

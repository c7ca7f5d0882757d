// The format getters on real files of every kind they meet: 8-bit gray and
// 24-bit colour BMP, PNG, JPEG, 16-bit PNG and TIFF, and files that are not
// images at all.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "host_environment.h"
#include "image_test_util.h"
#include "vek_dll.h"

namespace vek::image {
namespace {

using namespace vek::image::testing;

cv::Mat Resized(const cv::Mat &m, int width, int height) {
    cv::Mat out;
    cv::resize(m, out, cv::Size(width, height), 0, 0, cv::INTER_LINEAR);
    return out;
}

class GettersTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new TempDir;
        gray_ = GrayPattern(1920, 1080);
        colour_ = ColourPattern(640, 480);
        colour_.at<cv::Vec3b>(0, 0) = cv::Vec3b(0, 0, 255);  // pure red (BGR)
        colour_.at<cv::Vec3b>(0, 1) = cv::Vec3b(255, 0, 0);  // pure blue
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
        fs::create_directory(dir_->path() / "folder.png");
    }
    static void TearDownTestSuite() { delete dir_; }

    static inline TempDir *dir_ = nullptr;
    static inline cv::Mat gray_, colour_, deep_;
};

// At its own size the file is copied unchanged; other sizes (shrinking,
// stretching, widths not a multiple of 4 or 8) are resampled bilinearly into
// exactly width x height bytes, rows without padding.
TEST_F(GettersTest, OtherSizesAreResampledBilinearly) {
    for (auto [w, h] :
         {std::pair{1920, 1080}, std::pair{960, 540}, std::pair{13, 7}, std::pair{2001, 3}, std::pair{1, 1}}) {
        GuardedBuffer pixels(static_cast<size_t>(w) * h);
        ASSERT_EQ(GetGrayPixelFormat((*dir_ / "gray.bmp").c_str(), w, h, pixels.data()), pixels.data());
        EXPECT_EQ(pixels.Content(), Bytes(w == 1920 ? gray_ : Resized(gray_, w, h))) << w << "x" << h;
        EXPECT_TRUE(pixels.GuardIntact()) << w << "x" << h;
    }
}

TEST_F(GettersTest, ColourFilesComeBackGray) {
    cv::Mat expected;
    cv::cvtColor(colour_, expected, cv::COLOR_BGR2GRAY);
    for (const char *name : {"colour.bmp", "colour.png"}) {
        GuardedBuffer pixels(640 * 480);
        ASSERT_NE(GetGrayPixelFormat((*dir_ / name).c_str(), 640, 480, pixels.data()), nullptr) << name;
        EXPECT_EQ(pixels.bytes[0], 76) << name;  // 0.299 x 255, pure red
        EXPECT_EQ(pixels.bytes[1], 29) << name;  // 0.114 x 255, pure blue
        // The decoders round their own way: within 1 of the usual weights.
        EXPECT_LE(cv::norm(cv::Mat(480, 640, CV_8UC1, pixels.data()), expected, cv::NORM_INF), 1.0) << name;
    }
    GuardedBuffer jpeg(320 * 240);
    ASSERT_NE(GetGrayPixelFormat((*dir_ / "photo.jpg").c_str(), 320, 240, jpeg.data()), nullptr);
    const cv::Mat got(240, 320, CV_8UC1, jpeg.data());
    EXPECT_LT(cv::norm(got, Resized(expected, 320, 240), cv::NORM_L1) / got.total(), 4.0);  // lossy, same picture
    EXPECT_TRUE(jpeg.GuardIntact());
}

TEST_F(GettersTest, SixteenBitFilesKeepTheirHighByte) {
    auto highBytes = [](const cv::Mat &m) {
        std::vector<uint8_t> out;
        for (auto it = m.begin<uint16_t>(); it != m.end<uint16_t>(); ++it)
            out.push_back(static_cast<uint8_t>(*it >> 8));
        return out;
    };
    for (const char *name : {"deep.png", "deep.tif"}) {
        GuardedBuffer pixels(96 * 64);
        ASSERT_NE(GetGrayPixelFormat((*dir_ / name).c_str(), 96, 64, pixels.data()), nullptr) << name;
        EXPECT_EQ(pixels.Content(), highBytes(deep_)) << name;
    }
    // Resampled at 16 bits, then brought down the same way.
    GuardedBuffer pixels(48 * 40);
    ASSERT_NE(GetGrayPixelFormat((*dir_ / "deep.png").c_str(), 48, 40, pixels.data()), nullptr);
    EXPECT_EQ(pixels.Content(), highBytes(Resized(deep_, 48, 40)));
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
    std::vector<uint8_t> pixels(1920 * 1080), frame(2073600);
    ASSERT_NE(GetGrayPixelFormat(gray.c_str(), 1920, 1080, pixels.data()), nullptr);
    ASSERT_NE(pixel2bin(pixels.data(), 1920, 1080, 0xFF, frame.data()), nullptr);
    for (auto [mask, size] : {std::pair{0xFF, 2073600}, std::pair{0x80, 259200}}) {
        GuardedBuffer bin(static_cast<size_t>(size));
        ASSERT_EQ(GetGrayBinFormat(gray.c_str(), 1920, 1080, static_cast<uint8_t>(mask), bin.data()), bin.data());
        EXPECT_EQ(bin.Content(), std::vector<uint8_t>(frame.begin(), frame.begin() + size));
        EXPECT_TRUE(bin.GuardIntact());
    }
    const size_t n = 640 * 480;
    std::vector<uint8_t> planes[3] = {std::vector<uint8_t>(n), std::vector<uint8_t>(n), std::vector<uint8_t>(n)};
    ASSERT_EQ(GetRGBPixelFormat(colour.c_str(), 640, 480, planes[0].data(), planes[1].data(), planes[2].data()), 1);
    GuardedBuffer bins[3] = {GuardedBuffer(n / 4), GuardedBuffer(n / 4), GuardedBuffer(n / 4)};
    ASSERT_EQ(GetRGBBinFormat(colour.c_str(), 640, 480, 0x81, bins[0].data(), bins[1].data(), bins[2].data()), 1);
    for (int i = 0; i < 3; ++i) {
        std::vector<uint8_t> expected(n / 4);
        ASSERT_NE(pixel2bin(planes[i].data(), 640, 480, 0x81, expected.data()), nullptr);
        EXPECT_EQ(bins[i].Content(), expected) << "plane " << i;
        EXPECT_TRUE(bins[i].GuardIntact());
    }
}

// Decision: the bin getters report pixel2bin's refusal of a width that is
// not a multiple of 8, and leave every buffer as it was.
TEST_F(GettersTest, BinGettersReportAWidthThatIsNotAMultipleOf8) {
    const std::string gray = *dir_ / "gray.bmp";
    GuardedBuffer rb(64), gb(64), bb(64);
    EXPECT_EQ(GetGrayBinFormat(gray.c_str(), 12, 4, 0xFF, rb.data()), nullptr);
    EXPECT_EQ(GetRGBBinFormat(gray.c_str(), 12, 4, 0xFF, rb.data(), gb.data(), bb.data()), 0);
    EXPECT_TRUE(rb.Untouched() && gb.Untouched() && bb.Untouched());
}

TEST_F(GettersTest, BadInputGivesNullOrFalseAndWritesNothing) {
    const std::string good = *dir_ / "gray.bmp";
    struct Case {
        std::string file;  // "<null>" for a null name
        int width, height;
    };
    const Case cases[] = {
        {*dir_ / "missing.png", 16, 16},
        {*dir_ / "folder.png", 16, 16},
        {dir_->path().string(), 16, 16},
        {*dir_ / "notes.txt", 16, 16},
        {*dir_ / "fake.png", 16, 16},
        {"", 16, 16},
        {"<null>", 16, 16},
        {good, 0, 16},
        {good, 16, 0},
        {good, -16, 16},
        {good, 16, -16},
        {good, -16, -16},
        {good, 65536, 65536},
        {good, 46344, 46341},  // width x height past 32 bits, past INT32_MAX
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.file + " " + std::to_string(c.width) + "x" + std::to_string(c.height));
        const char *name = c.file == "<null>" ? nullptr : c.file.c_str();
        GuardedBuffer a(64), b(64), d(64);
        EXPECT_EQ(GetGrayPixelFormat(name, c.width, c.height, a.data()), nullptr);
        EXPECT_EQ(GetRGBPixelFormat(name, c.width, c.height, a.data(), b.data(), d.data()), 0);
        EXPECT_EQ(GetGrayBinFormat(name, c.width, c.height, 0xFF, a.data()), nullptr);
        EXPECT_EQ(GetRGBBinFormat(name, c.width, c.height, 0xFF, a.data(), b.data(), d.data()), 0);
        EXPECT_TRUE(a.Untouched() && b.Untouched() && d.Untouched());
    }
    GuardedBuffer a(256), b(256);  // null output buffers
    EXPECT_EQ(GetGrayPixelFormat(good.c_str(), 16, 16, nullptr), nullptr);
    EXPECT_EQ(GetRGBPixelFormat(good.c_str(), 16, 16, a.data(), nullptr, b.data()), 0);
    EXPECT_EQ(GetGrayBinFormat(good.c_str(), 16, 16, 0xFF, nullptr), nullptr);
    EXPECT_EQ(GetRGBBinFormat(good.c_str(), 16, 16, 0xFF, nullptr, a.data(), b.data()), 0);
    EXPECT_TRUE(a.Untouched() && b.Untouched());
}

// The library starts no threads: a resizing getter runs OpenCV on the
// caller's thread. Checked in a fresh process (the death-test child), since
// this program's own OpenCV calls may have started OpenCV's workers.
TEST(GetterThreads, AResizingGetterStartsNoThread) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const auto tasks = [] {
        std::error_code ec;
        return std::distance(fs::directory_iterator("/proc/self/task", ec), fs::directory_iterator());
    };
    const auto check = [&] {
        const TempDir dir;
        cv::Mat image(1080, 1920, CV_8UC1, cv::Scalar(40));
        cv::line(image, {0, 0}, {1919, 1079}, cv::Scalar(200), 9);
        if (!cv::imwrite(dir / "big.bmp", image)) return 2;
        const auto before = tasks();
        std::vector<uint8_t> pixels(1000 * 700);
        if (GetGrayPixelFormat((dir / "big.bmp").c_str(), 1000, 700, pixels.data()) == nullptr) return 3;
        return tasks() == before ? 0 : 1;
    };
    const auto run = [&] { std::_Exit(check()); };
    EXPECT_EXIT(run(), ::testing::ExitedWithCode(0), "");
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
            [&] { return GetGrayPixelFormat(name.c_str(), 64, 64, a.data()) == nullptr; },
            [&] { return GetRGBPixelFormat(name.c_str(), 64, 64, a.data(), b.data(), d.data()) == 0; },
            [&] { return GetGrayBinFormat(name.c_str(), 64, 64, 0xFF, a.data()) == nullptr; },
            [&] { return GetRGBBinFormat(name.c_str(), 64, 64, 0xFF, a.data(), b.data(), d.data()) == 0; },
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

}  // namespace
}  // namespace vek::image

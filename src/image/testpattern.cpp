// TestMe: a fixed set of full-HD test patterns written to the current
// directory as 8-bit gray BMP images and one-plane frame files.
#include <cstdio>
#include <memory>
#include <new>

#include <opencv2/core.hpp>

#include "image/image_internal.h"
#include "platform/files.h"
#include "vek_dll.h"

namespace vek::image {

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr size_t kPlaneBytes = kWidth / 8 * kHeight;  // one bit plane: 259,200 bytes
constexpr uint32_t kShowMs = 2000;
const char kWindowTitle[] = "test windows title";

// Names in code page 936: 黑白 (black-white), 横条纹 (horizontal stripes),
// 横渐变 (horizontal gradient). Each prefix is its own literal so that no
// hex escape runs into the digits that follow.
const char kBlackWhiteBmp[] = "\xBA\xDA\xB0\xD7" "%dx%d.bmp";
const char kStripesBin[] = "\xBA\xE1\xCC\xF5\xCE\xC6" "1111%dx%d.bin";
const char kStripesBmp[] = "\xBA\xE1\xCC\xF5\xCE\xC6" "%dx%d.bmp";
const char kGradientBin[] = "\xBA\xE1\xBD\xA5\xB1\xE4" "%dx%d.bin";
const char kGradientBmp[] = "\xBA\xE1\xBD\xA5\xB1\xE4" "%dx%d.bmp";

template <typename RowValue>
void Fill(cv::Mat &image, RowValue value) {
    for (int y = 0; y < image.rows; ++y) image.row(y).setTo(cv::Scalar::all(value(y)));
}

void Save(const char *format, const cv::Mat &image) {
    char name[256];
    std::snprintf(name, sizeof name, format, kWidth, kHeight);
    // One that is not written leaves no file; the remaining patterns still are.
    WriteImageFile(name, image);
}

// Writes the bit-7 plane of the image.
void SaveFirstPlane(const char *format, const cv::Mat &image) {
    const std::unique_ptr<uint8_t[]> frame(new (std::nothrow) uint8_t[size_t{kWidth} * kHeight]);
    if (!frame) return;
    pixel2bin(image.data, kWidth, kHeight, 0xFF, frame.get());
    char name[256];
    std::snprintf(name, sizeof name, format, kWidth, kHeight);
    vek::platform::WriteWholeFile(name, frame.get(), kPlaneBytes);
}

}  // namespace

}  // namespace vek::image

extern "C" VEK_API int32_t VEK_CALL TestMe(void) {
    using namespace vek::image;
    try {
        cv::Mat image(kHeight, kWidth, CV_8UC1);

        Fill(image, [](int y) { return y < kHeight / 2 ? 0 : 255; });
        Save(kBlackWhiteBmp, image);

        Fill(image, [](int y) { return (y / 10) % 2 == 0 ? 0 : 255; });
        SaveFirstPlane(kStripesBin, image);
        Save(kStripesBmp, image);

        Fill(image, [](int y) { return y % 256; });
        SaveFirstPlane(kGradientBin, image);
        Save(kGradientBmp, image);

        ShowAndPause(kWindowTitle, image, kShowMs);
    } catch (const cv::Exception &) {
    } catch (const std::bad_alloc &) {
    }
    return 0;
}

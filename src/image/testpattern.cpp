// TestMe: a fixed set of full-HD test patterns written to the current
// directory (VekWriteTestPatterns: to a given folder) as 8-bit gray BMP
// images and one-plane frame files.
#include <cstdio>
#include <memory>
#include <new>
#include <string>

#include <opencv2/core.hpp>

#include "image/image_internal.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "vek_dll.h"
#include "vek_files.h"

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
const char kBlackWhiteBmp[] =
    "\xBA\xDA\xB0\xD7"
    "%dx%d.bmp";
const char kStripesBin[] =
    "\xBA\xE1\xCC\xF5\xCE\xC6"
    "1111%dx%d.bin";
const char kStripesBmp[] =
    "\xBA\xE1\xCC\xF5\xCE\xC6"
    "%dx%d.bmp";
const char kGradientBin[] =
    "\xBA\xE1\xBD\xA5\xB1\xE4"
    "%dx%d.bin";
const char kGradientBmp[] =
    "\xBA\xE1\xBD\xA5\xB1\xE4"
    "%dx%d.bmp";

template <typename RowValue>
void Fill(cv::Mat &image, RowValue value) {
    for (int y = 0; y < image.rows; ++y) image.row(y).setTo(cv::Scalar::all(value(y)));
}

// The file name of `format` in `folder` ("" for the current directory).
std::string PathOf(const std::string &folder, const char *format) {
    char name[256];
    std::snprintf(name, sizeof name, format, kWidth, kHeight);
    if (folder.empty()) return name;
    const char last = folder.back();
    const bool separated = last == '/' || last == vek::platform::kDirectorySeparator;
    return folder + (separated ? "" : std::string(1, vek::platform::kDirectorySeparator)) + name;
}

// One that is not written leaves no file; the remaining patterns still are.
bool Save(const std::string &folder, const char *format, const cv::Mat &image) {
    return WriteImageFile(PathOf(folder, format), image);
}

// Writes the bit-7 plane of the image.
bool SaveFirstPlane(const std::string &folder, const char *format, const cv::Mat &image) {
    const std::unique_ptr<uint8_t[]> frame(new (std::nothrow) uint8_t[size_t{kWidth} * kHeight]);
    if (!frame) return false;
    pixel2bin(image.data, kWidth, kHeight, 0xFF, frame.get());
    return vek::platform::WriteWholeFile(PathOf(folder, format).c_str(), frame.get(), kPlaneBytes);
}

// Writes the patterns; the last one is shown when `show` is set. The number
// of files written.
int32_t WritePatterns(const std::string &folder, bool show) {
    int32_t written = 0;
    try {
        cv::Mat image(kHeight, kWidth, CV_8UC1);

        Fill(image, [](int y) { return y < kHeight / 2 ? 0 : 255; });
        written += Save(folder, kBlackWhiteBmp, image);

        Fill(image, [](int y) { return (y / 10) % 2 == 0 ? 0 : 255; });
        written += SaveFirstPlane(folder, kStripesBin, image);
        written += Save(folder, kStripesBmp, image);

        Fill(image, [](int y) { return y % 256; });
        written += SaveFirstPlane(folder, kGradientBin, image);
        written += Save(folder, kGradientBmp, image);

        if (show) ShowAndPause(kWindowTitle, image, kShowMs);
    } catch (const cv::Exception &) {
    } catch (const std::bad_alloc &) {
    }
    return written;
}

}  // namespace

}  // namespace vek::image

extern "C" VEK_API int32_t VEK_CALL TestMe(void) {
    vek::image::WritePatterns("", true);
    return 0;
}

extern "C" VEK_API int32_t VEK_CALL VekWriteTestPatterns(const char *folder) {
    if (folder == nullptr) return -1;
    return vek::image::WritePatterns(folder, false);
}

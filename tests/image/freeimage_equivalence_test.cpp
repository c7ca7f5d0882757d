// The low-depth BMP writer and the BMP depth probe against FreeImage, which
// the stamping did these with before: the same bytes for the same pixels, the
// same depth for the same file, over many random images. Built where
// FreeImage is installed (Linux); the library itself does not link it.
#include <FreeImage.h>
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "image/low_depth_bmp.h"
#include "image_test_util.h"

namespace vek::image {
namespace {

using namespace vek::image::testing;

struct Bitmap {
    FIBITMAP *b;
    ~Bitmap() {
        if (b != nullptr) FreeImage_Unload(b);
    }
};

// The image as the stamping had FreeImage write it: colour as 24 bits for 4, gray otherwise.
std::vector<uint8_t> FreeImageLowDepth(const cv::Mat &image, int bpp, const std::string &name) {
    cv::Mat raw = image.clone();
    if (image.channels() > 1 && (bpp == 1 || image.channels() == 4))
        cv::cvtColor(image, raw,
                     bpp == 4                ? cv::COLOR_BGRA2BGR
                     : image.channels() == 4 ? cv::COLOR_BGRA2GRAY
                                             : cv::COLOR_BGR2GRAY);
    Bitmap wrapped{FreeImage_ConvertFromRawBits(raw.data, raw.cols, raw.rows, static_cast<int>(raw.step[0]),
                                                8u * raw.channels(), FI_RGBA_RED_MASK, FI_RGBA_GREEN_MASK,
                                                FI_RGBA_BLUE_MASK, TRUE)};
    Bitmap converted{bpp == 1 ? FreeImage_Threshold(wrapped.b, 128) : FreeImage_ConvertTo4Bits(wrapped.b)};
    EXPECT_TRUE(FreeImage_Save(FIF_BMP, converted.b, name.c_str(), 0));
    return ReadFile(name);
}

int FreeImageDepth(const std::string &name) {
    if (FreeImage_GetFileType(name.c_str(), 0) != FIF_BMP) return 0;
    Bitmap bitmap{FreeImage_Load(FIF_BMP, name.c_str(), FIF_LOAD_NOPIXELS)};
    return bitmap.b == nullptr ? 0 : static_cast<int>(FreeImage_GetBPP(bitmap.b));
}

// Random sizes, gray, BGR and BGRA, half the values at the threshold's and the nibbles' edges.
TEST(FreeImageEquivalence, LowDepthFilesAreByteForByteFreeImages) {
    TempDir dir;
    std::mt19937 random(24);
    const uint8_t edges[] = {0, 15, 16, 127, 128, 129, 239, 240, 255};
    for (int i = 0; i < 600; ++i) {
        const int channels[] = {1, 3, 4}, bpp = i % 2 ? 1 : 4;
        cv::Mat image(1 + random() % 9, 1 + random() % 67, CV_8UC(channels[random() % 3]));
        for (uint8_t *it = image.data; it != image.dataend; ++it)
            *it = random() % 2 ? edges[random() % std::size(edges)] : static_cast<uint8_t>(random());
        ASSERT_EQ(EncodeLowDepthBmp(image, bpp), FreeImageLowDepth(image, bpp, dir / "f.bmp"))
            << i << ": " << image.cols << "x" << image.rows << "x" << image.channels() << " to " << bpp << " bits";
    }
}

// FreeImage's own BMP files of each depth (random palettes), as written, cut
// short, with the depth field, the header size or the magic bent.
TEST(FreeImageEquivalence, DepthProbeAgreesWithFreeImage) {
    TempDir dir;
    std::mt19937 random(4);
    const std::string name = dir / "d.bmp";
    for (int i = 0; i < 120; ++i) {
        const int depths[] = {1, 4, 8, 16, 24, 32}, sizes[] = {12, 16, 39, 40, 52, 56, 64, 108, 124, 200};
        Bitmap bitmap{FreeImage_Allocate(1 + random() % 40, 1 + random() % 9, depths[i % 6])};
        for (unsigned c = 0; c < FreeImage_GetColorsUsed(bitmap.b); ++c)
            FreeImage_GetPalette(bitmap.b)[c] = {BYTE(random()), BYTE(random()), BYTE(random()), 0};
        ASSERT_TRUE(FreeImage_Save(FIF_BMP, bitmap.b, name.c_str(), 0));
        const std::vector<uint8_t> bytes = ReadFile(name);
        std::vector<std::vector<uint8_t>> files(4, bytes);
        files[3][0] = 'X';
        files[0].resize(random() % 90);
        files[1][28] = static_cast<uint8_t>(random() % 34);
        files[2][14] = static_cast<uint8_t>(sizes[random() % 10]);
        files.push_back(bytes);
        for (const std::vector<uint8_t> &file : files) {
            WriteFile(name, std::string_view(reinterpret_cast<const char *>(file.data()), file.size()));
            EXPECT_EQ(GetSourceBitsPerPixel(name.c_str()), FreeImageDepth(name))
                << i << ", " << file.size() << " bytes";
        }
    }
}

}  // namespace
}  // namespace vek::image

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

// The image as FreeImage wrote it: colour as 24 bits for 4, gray otherwise.
std::vector<uint8_t> FreeImageLowDepth(const cv::Mat &image, int bpp) {
    cv::Mat raw = image;
    if (bpp == 1 && image.channels() > 1)
        cv::cvtColor(image, raw, image.channels() == 4 ? cv::COLOR_BGRA2GRAY : cv::COLOR_BGR2GRAY);
    if (bpp == 4 && image.channels() == 4) cv::cvtColor(image, raw, cv::COLOR_BGRA2BGR);
    raw = raw.clone();
    const unsigned bits = 8u * static_cast<unsigned>(raw.channels());
    Bitmap wrapped{FreeImage_ConvertFromRawBits(raw.data, raw.cols, raw.rows, static_cast<int>(raw.step[0]), bits,
                                                FI_RGBA_RED_MASK, FI_RGBA_GREEN_MASK, FI_RGBA_BLUE_MASK, TRUE)};
    Bitmap converted{bpp == 1 ? FreeImage_Threshold(wrapped.b, 128) : FreeImage_ConvertTo4Bits(wrapped.b)};
    FIMEMORY *memory = FreeImage_OpenMemory();
    BYTE *bytes = nullptr;
    DWORD size = 0;
    EXPECT_TRUE(FreeImage_SaveToMemory(FIF_BMP, converted.b, memory, 0));
    FreeImage_AcquireMemory(memory, &bytes, &size);
    std::vector<uint8_t> out(bytes, bytes + size);
    FreeImage_CloseMemory(memory);
    return out;
}

int FreeImageDepth(const std::string &name) {
    if (FreeImage_GetFileType(name.c_str(), 0) != FIF_BMP) return 0;
    Bitmap bitmap{FreeImage_Load(FIF_BMP, name.c_str(), FIF_LOAD_NOPIXELS)};
    return bitmap.b == nullptr ? 0 : static_cast<int>(FreeImage_GetBPP(bitmap.b));
}

// Random pixels, half of them at the threshold's and the nibbles' edges.
cv::Mat RandomImage(std::mt19937 &random, int channels) {
    const int width = std::uniform_int_distribution(1, 67)(random),
              height = std::uniform_int_distribution(1, 9)(random);
    cv::Mat image(height, width, CV_8UC(channels));
    const uint8_t edges[] = {0, 15, 16, 127, 128, 129, 239, 240, 255};
    for (uint8_t *it = image.data; it != image.dataend; ++it)
        *it = random() % 2 ? edges[random() % std::size(edges)] : static_cast<uint8_t>(random());
    return image;
}

TEST(FreeImageEquivalence, LowDepthFilesAreByteForByteFreeImages) {
    std::mt19937 random(24);
    for (int i = 0; i < 600; ++i) {
        const int channels[] = {1, 3, 4}, bpp = i % 2 ? 1 : 4;
        const cv::Mat image = RandomImage(random, channels[random() % 3]);
        ASSERT_EQ(EncodeLowDepthBmp(image, bpp), FreeImageLowDepth(image, bpp))
            << i << ": " << image.cols << "x" << image.rows << "x" << image.channels() << " to " << bpp << " bits";
    }
}

// FreeImage's own BMP files of each depth (random palettes), then the same
// with their header cut short or a depth field bent.
TEST(FreeImageEquivalence, DepthProbeAgreesWithFreeImage) {
    TempDir dir;
    std::mt19937 random(4);
    int checked = 0;
    for (int i = 0; i < 120; ++i) {
        const unsigned depths[] = {1, 4, 8, 16, 24, 32}, bpp = depths[i % std::size(depths)];
        Bitmap bitmap{FreeImage_Allocate(1 + static_cast<int>(random() % 40), 1 + static_cast<int>(random() % 9),
                                         static_cast<int>(bpp))};
        if (RGBQUAD *palette = FreeImage_GetPalette(bitmap.b))
            for (unsigned c = 0; c < FreeImage_GetColorsUsed(bitmap.b); ++c)
                palette[c] = {static_cast<BYTE>(random()), static_cast<BYTE>(random()), static_cast<BYTE>(random()), 0};
        const std::string name = dir / ("d" + std::to_string(i) + ".bmp");
        ASSERT_TRUE(FreeImage_Save(FIF_BMP, bitmap.b, name.c_str(), 0));
        std::vector<uint8_t> bytes = ReadFile(name);
        const auto check = [&](const std::vector<uint8_t> &file, const std::string &what) {
            WriteFile(name, std::string_view(reinterpret_cast<const char *>(file.data()), file.size()));
            EXPECT_EQ(GetSourceBitsPerPixel(name.c_str()), FreeImageDepth(name)) << i << " " << what;
            ++checked;
        };
        check(bytes, "as written");
        check(std::vector(bytes.begin(), bytes.begin() + static_cast<long>(random() % 90)), "cut");
        std::vector<uint8_t> bent = bytes;
        bent[28] = static_cast<uint8_t>(random() % 34);
        check(bent, "depth " + std::to_string(bent[28]));
        const uint8_t headerSizes[] = {12, 16, 39, 40, 52, 56, 64, 108, 124, 200};
        bent = bytes;
        bent[14] = headerSizes[random() % std::size(headerSizes)];
        check(bent, "header size " + std::to_string(bent[14]));
    }
    EXPECT_EQ(checked, 480);
}

}  // namespace
}  // namespace vek::image

// The four image format getters on arbitrary file bytes.
//
// Input (read with FuzzedDataProvider): the requested width and height (1 to
// 64 each, any remainder modulo 8), the plane mask; the rest is the content
// of the image file, which is written to a temporary file and loaded by name.
// Checks: no access outside the caller's exactly sized buffers and no leak
// (ASan); a getter that fails leaves every output buffer as it was; the bin
// getters give exactly pixel2bin of what the pixel getters give for the same
// file, and fail exactly when the pixel getters fail or the width is not a
// multiple of 8.
//
// Decoders are limited to 1 Mi pixels (OPENCV_IO_MAX_IMAGE_PIXELS): OpenCV
// reads that limit when it is loaded, so the target sets it and starts itself
// again when it is missing. A header claiming a huge image is then refused
// instead of allocating gigabytes.
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include <opencv2/core.hpp>

#include "fuzz_common.h"
#include "vek_dll.h"

namespace {

std::string g_file;

bool All(const std::vector<uint8_t> &v, uint8_t byte) {
    for (uint8_t b : v)
        if (b != byte) return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***argv) {
    if (std::getenv("OPENCV_IO_MAX_IMAGE_PIXELS") == nullptr) {
        setenv("OPENCV_IO_MAX_IMAGE_PIXELS", "1048576", 1);
        execv("/proc/self/exe", *argv);
        vekfuzz::Finding("cannot restart with the decoder limit set");
    }
    cv::setNumThreads(0);
    g_file = vekfuzz::WorkDirectory("image-fuzz") + "/input";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    const int32_t width = in.ConsumeIntegralInRange<int32_t>(1, 64);
    const int32_t height = in.ConsumeIntegralInRange<int32_t>(1, 64);
    const uint8_t mask = in.ConsumeIntegral<uint8_t>();
    const std::vector<uint8_t> file = in.ConsumeRemainingBytes<uint8_t>();
    {
        std::FILE *f = std::fopen(g_file.c_str(), "wb");
        if (f == nullptr) vekfuzz::Finding("cannot write the image file");
        if (!file.empty() && std::fwrite(file.data(), 1, file.size(), f) != file.size())
            vekfuzz::Finding("short write");
        std::fclose(f);
    }
    const char *name = g_file.c_str();
    const size_t n = static_cast<size_t>(width) * static_cast<size_t>(height);
    const size_t frameBytes = static_cast<size_t>(std::popcount(mask)) * n / 8;
    // A frame of no planes still gets a (one-byte) buffer, which must stay
    // untouched: the getters refuse a null buffer.
    const size_t frameBuffer = frameBytes ? frameBytes : 1;

    std::vector<uint8_t> gray(n, 0xEE);
    const bool grayOk = GetGrayPixelFormat(name, width, height, gray.data()) == gray.data();
    if (!grayOk) VEK_FUZZ_CHECK(All(gray, 0xEE));

    std::vector<uint8_t> red(n, 0xEE), green(n, 0xEE), blue(n, 0xEE);
    const int rgbOk = GetRGBPixelFormat(name, width, height, red.data(), green.data(), blue.data());
    VEK_FUZZ_CHECK(rgbOk == 0 || rgbOk == 1);
    if (!rgbOk) VEK_FUZZ_CHECK(All(red, 0xEE) && All(green, 0xEE) && All(blue, 0xEE));

    std::vector<uint8_t> bin(frameBuffer, 0xEE);
    const uint8_t *binResult = GetGrayBinFormat(name, width, height, mask, bin.data());
    VEK_FUZZ_CHECK(binResult == nullptr || binResult == bin.data());
    VEK_FUZZ_CHECK((binResult != nullptr) == (grayOk && width % 8 == 0));
    if (binResult == nullptr) {
        VEK_FUZZ_CHECK(All(bin, 0xEE));
    } else {
        std::vector<uint8_t> expect(frameBuffer, 0xEE);
        VEK_FUZZ_CHECK(pixel2bin(gray.data(), width, height, mask, expect.data()) == expect.data());
        VEK_FUZZ_CHECK(expect == bin);
    }

    std::vector<uint8_t> redBin(frameBuffer, 0xEE), greenBin(frameBuffer, 0xEE), blueBin(frameBuffer, 0xEE);
    const int rgbBinOk = GetRGBBinFormat(name, width, height, mask, redBin.data(), greenBin.data(), blueBin.data());
    VEK_FUZZ_CHECK(rgbBinOk == ((rgbOk && width % 8 == 0) ? 1 : 0));
    if (!rgbBinOk) {
        VEK_FUZZ_CHECK(All(redBin, 0xEE) && All(greenBin, 0xEE) && All(blueBin, 0xEE));
    } else {
        std::vector<uint8_t> expect(frameBuffer, 0xEE);
        pixel2bin(red.data(), width, height, mask, expect.data());
        VEK_FUZZ_CHECK(expect == redBin);
        pixel2bin(green.data(), width, height, mask, expect.data());
        VEK_FUZZ_CHECK(expect == greenBin);
        pixel2bin(blue.data(), width, height, mask, expect.data());
        VEK_FUZZ_CHECK(expect == blueBin);
    }
    return 0;
}

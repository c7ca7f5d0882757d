// The format getters: an image file at an exact size as gray pixels, colour
// planes or binary frames.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <string_view>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "image/bitplane.h"
#include "image/image_internal.h"
#include "platform/files.h"
#include "vek_dll.h"

namespace vek::image {

namespace {

// Scratch of n bytes, or null when it cannot be had.
std::unique_ptr<uint8_t[]> Scratch(size_t n) { return std::unique_ptr<uint8_t[]>(new (std::nothrow) uint8_t[n]); }

size_t PixelCount(int32_t width, int32_t height) { return static_cast<size_t>(width) * static_cast<size_t>(height); }

cv::Mat ResizeTo(const cv::Mat &src, int32_t width, int32_t height) {
    if (src.cols == width && src.rows == height) return src;
    cv::Mat dst;
    cv::resize(src, dst, cv::Size(width, height), 0, 0, cv::INTER_LINEAR);
    return dst;
}

bool LoadColourPlanes(const char *fileName, int32_t width, int32_t height, uint8_t *red, uint8_t *green,
                      uint8_t *blue) {
    if (red == nullptr || green == nullptr || blue == nullptr || !ValidImageSize(width, height)) return false;
    try {
        const cv::Mat src = LoadImageFile(fileName, cv::IMREAD_COLOR);  // 3 channels, 8 bits, BGR
        if (src.empty()) return false;
        const cv::Mat dest = ResizeTo(src, width, height);
        cv::Mat planes[3] = {cv::Mat(height, width, CV_8UC1, red), cv::Mat(height, width, CV_8UC1, green),
                             cv::Mat(height, width, CV_8UC1, blue)};
        const int fromTo[] = {2, 0, 1, 1, 0, 2};
        cv::mixChannels(&dest, 1, planes, 3, fromTo, 3);
        return true;
    } catch (const cv::Exception &) {
        return false;
    } catch (const std::bad_alloc &) {
        return false;
    }
}

using namespace std::string_view_literals;

// How the files of the decoders every build has begin: BMP, JPEG, PNG, TIFF
// and BigTIFF, Sun raster, Radiance HDR. The PBM family, PAM and PFM are "P",
// a letter and white space. WebP, JPEG 2000 and OpenEXR are not offered: the
// Windows build has no decoder for them, and a file decodes on every system
// or on none.
constexpr std::string_view kOwnFormats[] = {"BM"sv,     "\xFF\xD8\xFF"sv, "\x89PNG\r\n\x1A\n"sv, "\x59\xA6\x6A\x95"sv,
                                            "#?RGBE"sv, "#?RADIANCE"sv};

// TIFF compressions of libtiff itself, of zlib and of libjpeg: none, CCITT
// (2, 3, 4), LZW, old and new JPEG, Deflate (8 and 32946), NeXT, ThunderScan,
// PixarLog, PackBits, SGI LogL and LogLuv. Those of other libraries (JBIG,
// LZMA, zstd, WebP, LERC) are refused.
bool TiffCompressionEveryBuildDecodes(uint32_t compression) {
    constexpr uint32_t kDecoded[] = {1, 2, 3, 4, 5, 6, 7, 8, 32766, 32809, 32909, 32946, 32773, 34676, 34677};
    return std::find(std::begin(kDecoded), std::end(kDecoded), compression) != std::end(kDecoded);
}

// Whether a TIFF file's first image has a compression every build decodes:
// its first directory is looked up for the compression tag (259; none when
// missing). Classic TIFF ("II*\0", "MM\0*") and BigTIFF ("II+\0", "MM\0+").
// A directory that lies outside the file is left to the decoder to refuse.
bool TiffDecodedEverywhere(std::string_view file) {
    const auto byte = [&](uint64_t at) { return static_cast<uint8_t>(file[static_cast<size_t>(at)]); };
    const bool little = file[0] == 'I', big = byte(2) == 0 ? byte(3) == 43 : byte(2) == 43;
    // The unsigned number of `bytes` bytes at `at`, or nothing past the end.
    const auto value = [&](uint64_t at, int bytes) -> std::optional<uint64_t> {
        if (at > file.size() || file.size() - at < static_cast<uint64_t>(bytes)) return std::nullopt;
        uint64_t v = 0;
        for (int i = 0; i < bytes; ++i) v |= static_cast<uint64_t>(byte(at + (little ? i : bytes - 1 - i))) << (8 * i);
        return v;
    };
    const int countBytes = big ? 8 : 2, entryBytes = big ? 20 : 12, offsetBytes = big ? 8 : 4;
    const std::optional<uint64_t> directory = value(big ? 8 : 4, offsetBytes);
    if (!directory) return false;
    const std::optional<uint64_t> entries = value(*directory, countBytes);
    if (!entries) return false;
    for (uint64_t i = 0; i < *entries && i < 4096; ++i) {
        const uint64_t entry = *directory + static_cast<uint64_t>(countBytes) + i * static_cast<uint64_t>(entryBytes);
        const std::optional<uint64_t> tag = value(entry, 2);
        if (!tag) return false;
        if (*tag == 259) {
            const std::optional<uint64_t> compression = value(entry + 2 + 2 + static_cast<uint64_t>(offsetBytes), 2);
            return compression && TiffCompressionEveryBuildDecodes(static_cast<uint32_t>(*compression));
        }
    }
    return true;
}

// Whether the file's bytes are in one of those formats. Any other file is
// not offered to OpenCV: a build may carry further decoders that trust their
// input less, such as DICOM through GDCM, which aborts the process on some
// malformed files. A file that begins as one of these formats is decoded by
// that format's reader, whatever "DICM" its data holds at byte 128; a DICOM
// preamble is refused only because no accepted format matches its first bytes.
bool OpenCvOwnFormat(std::string_view head) {
    const auto at = [&](size_t offset, std::string_view text) {
        return offset <= head.size() && head.substr(offset).starts_with(text);
    };
    const bool netpbm = head.size() >= 3 && head[0] == 'P' && "1234567Ff"sv.find(head[1]) != std::string_view::npos &&
                        std::isspace(static_cast<unsigned char>(head[2]));
    if (at(0, "II*\0"sv) || at(0, "MM\0*"sv) || at(0, "II+\0"sv) || at(0, "MM\0+"sv))
        return TiffDecodedEverywhere(head);
    return netpbm ||
           std::any_of(std::begin(kOwnFormats), std::end(kOwnFormats), [&](std::string_view s) { return at(0, s); });
}

}  // namespace

bool ValidImageSize(int32_t width, int32_t height) {
    return width > 0 && height > 0 && static_cast<int64_t>(width) * height <= std::numeric_limits<int32_t>::max();
}

cv::Mat LoadImageFile(const char *fileName, int flags) {
    if (fileName == nullptr || *fileName == '\0') return {};
    try {
        // The file is opened once and read whole, and OpenCV decodes those
        // bytes: a missing file, a directory or a FIFO never reaches it, and
        // only its own formats do.
        std::vector<uint8_t> bytes;
        if (!platform::ReadRegularFile(fileName, bytes) ||
            !OpenCvOwnFormat(std::string_view(reinterpret_cast<const char *>(bytes.data()), bytes.size())))
            return {};
        PrepareCodecs();
        // Pixels as stored: EXIF orientation is not applied (IMREAD_UNCHANGED
        // already ignores it, and takes no other flag).
        return cv::imdecode(bytes, flags == cv::IMREAD_UNCHANGED ? flags : flags | cv::IMREAD_IGNORE_ORIENTATION);
    } catch (...) {
        return {};
    }
}

cv::Mat To8Bit(const cv::Mat &image) {
    cv::Mat out;
    switch (image.depth()) {
    case CV_8U:
        return image;
    case CV_16U:
        // Keep the high byte, v >> 8: v / 256 shifted so that rounding to
        // the nearest integer never goes up.
        image.convertTo(out, CV_8U, 1.0 / 256.0, -0.5 + 1.0 / 512.0);
        return out;
    case CV_32F:
    case CV_64F:
        image.convertTo(out, CV_8U, 255.0);
        return out;
    default:
        image.convertTo(out, CV_8U);
        return out;
    }
}

bool LoadGrayPixels(const char *fileName, int32_t width, int32_t height, uint8_t *pixels) {
    if (pixels == nullptr || !ValidImageSize(width, height)) return false;
    try {
        const cv::Mat src = LoadImageFile(fileName, cv::IMREAD_ANYDEPTH);  // one channel, the file's depth
        if (src.empty()) return false;
        // Resample at the file's depth, then bring the result to 8 bits.
        const cv::Mat dest = To8Bit(ResizeTo(src, width, height));
        for (int y = 0; y < height; ++y) {
            std::memcpy(pixels + static_cast<size_t>(y) * static_cast<size_t>(width), dest.ptr<uint8_t>(y),
                        static_cast<size_t>(width));
        }
        return true;
    } catch (const cv::Exception &) {
        return false;
    } catch (const std::bad_alloc &) {
        return false;
    }
}

}  // namespace vek::image

using vek::image::PixelCount;
using vek::image::Scratch;

extern "C" {

VEK_API uint8_t *VEK_CALL GetGrayPixelFormat(const char *fileName, int32_t width, int32_t height, uint8_t *pixels) {
    return vek::image::LoadGrayPixels(fileName, width, height, pixels) ? pixels : nullptr;
}

VEK_API int VEK_CALL GetRGBPixelFormat(const char *fileName, int32_t width, int32_t height, uint8_t *red,
                                       uint8_t *green, uint8_t *blue) {
    return vek::image::LoadColourPlanes(fileName, width, height, red, green, blue) ? 1 : 0;
}

VEK_API uint8_t *VEK_CALL GetGrayBinFormat(const char *fileName, int32_t width, int32_t height, uint8_t planeMask,
                                           uint8_t *bin) {
    // A width that pixel2bin refuses is reported as a failure.
    if (bin == nullptr || !vek::image::ValidImageSize(width, height) || vek::image::GroupCount(width, height) < 0)
        return nullptr;
    const auto scratch = Scratch(PixelCount(width, height));
    if (!scratch || !vek::image::LoadGrayPixels(fileName, width, height, scratch.get())) return nullptr;
    return pixel2bin(scratch.get(), width, height, planeMask, bin);
}

VEK_API int VEK_CALL GetRGBBinFormat(const char *fileName, int32_t width, int32_t height, uint8_t planeMask,
                                     uint8_t *redBin, uint8_t *greenBin, uint8_t *blueBin) {
    if (redBin == nullptr || greenBin == nullptr || blueBin == nullptr || !vek::image::ValidImageSize(width, height) ||
        vek::image::GroupCount(width, height) < 0)
        return 0;
    const size_t n = PixelCount(width, height);
    const auto red = Scratch(n), green = Scratch(n), blue = Scratch(n);
    if (!red || !green || !blue ||
        !vek::image::LoadColourPlanes(fileName, width, height, red.get(), green.get(), blue.get()))
        return 0;
    pixel2bin(red.get(), width, height, planeMask, redBin);
    pixel2bin(green.get(), width, height, planeMask, greenBin);
    pixel2bin(blue.get(), width, height, planeMask, blueBin);
    return 1;
}

}  // extern "C"

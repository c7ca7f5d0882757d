// Serial-number stamping (numbered BMP copies of one image) and batch
// conversion of a folder into ".bin" frame files.
// The platform header comes first: FreeImage.h defines Windows types of its own
// that would clash with the system's when it is read first.
#include "platform/win32.h"

#include <FreeImage.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "image/image_internal.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "vek_dll.h"

namespace vek::image {

namespace {

constexpr uint32_t kPreviewPauseMs = 20;
const char kPreviewWindow[] = "mainWin";

// Serial text style: Hershey plain, scale 18, thickness 10, anti-aliased,
// black, baseline origin at (150, 300).
constexpr double kFontScale = 18.0;
constexpr int kFontThickness = 10;
const cv::Point kTextOrigin(150, 300);

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

bool FitsPathBuffer(size_t length) { return length < kPathBuffer; }

struct FreeImageBitmap {
    FIBITMAP *bitmap = nullptr;
    explicit FreeImageBitmap(FIBITMAP *b) : bitmap(b) {}
    FreeImageBitmap(const FreeImageBitmap &) = delete;
    FreeImageBitmap &operator=(const FreeImageBitmap &) = delete;
    ~FreeImageBitmap() {
        if (bitmap != nullptr) FreeImage_Unload(bitmap);
    }
};

// Writes an 8-bit image as a 1-bit (threshold at 128) or 4-bit BMP.
bool SaveLowDepthBmp(const cv::Mat &image, int bpp, const char *newName) {
    cv::Mat raw;
    if (bpp == 1 || image.channels() == 1) {
        if (image.channels() == 1) {
            raw = image;
        } else {
            cv::cvtColor(image, raw, image.channels() == 4 ? cv::COLOR_BGRA2GRAY : cv::COLOR_BGR2GRAY);
        }
    } else {
        // Colour goes in as 24-bit (FreeImage keeps blue, green, red in
        // memory order on little-endian hosts, as OpenCV does).
        if (image.channels() == 4) {
            cv::cvtColor(image, raw, cv::COLOR_BGRA2BGR);
        } else {
            raw = image;
        }
    }
    if (!raw.isContinuous()) raw = raw.clone();
    const int bitsPerPixel = 8 * raw.channels();
    FreeImageBitmap wrapped(FreeImage_ConvertFromRawBits(
        raw.data, raw.cols, raw.rows, static_cast<int>(raw.step[0]), static_cast<unsigned>(bitsPerPixel),
        bitsPerPixel == 24 ? FI_RGBA_RED_MASK : 0, bitsPerPixel == 24 ? FI_RGBA_GREEN_MASK : 0,
        bitsPerPixel == 24 ? FI_RGBA_BLUE_MASK : 0, TRUE));
    if (wrapped.bitmap == nullptr) return false;
    FreeImageBitmap converted(bpp == 1 ? FreeImage_Threshold(wrapped.bitmap, 128)
                                       : FreeImage_ConvertTo4Bits(wrapped.bitmap));
    if (converted.bitmap == nullptr) return false;
    // Encoded in memory, then written whole.
    struct Memory {
        FIMEMORY *stream = FreeImage_OpenMemory();
        ~Memory() {
            if (stream != nullptr) FreeImage_CloseMemory(stream);
        }
    } memory;
    BYTE *bytes = nullptr;
    DWORD size = 0;
    return memory.stream != nullptr && FreeImage_SaveToMemory(FIF_BMP, converted.bitmap, memory.stream, 0) &&
           FreeImage_AcquireMemory(memory.stream, &bytes, &size) && platform::WriteWholeFile(newName, bytes, size);
}

}  // namespace

std::optional<size_t> FindExtension(std::string_view name) {
    if (name.empty()) return std::nullopt;
    for (size_t i = name.size(); i-- > 0;) {
        if (IsSeparator(name[i])) break;
        if (name[i] == '.') return i;
    }
    return name.size();
}

std::optional<size_t> FindLastSeparator(std::string_view name) {
    if (name.empty()) return std::nullopt;
    for (size_t i = name.size(); i-- > 0;) {
        if (IsSeparator(name[i])) return i;
    }
    return name.size();
}

std::optional<std::string> StampedCopyName(std::string_view fileName, int serial) {
    const std::optional<size_t> ext = FindExtension(fileName);
    if (!ext) return std::nullopt;
    char number[32];
    std::snprintf(number, sizeof number, "_%05d.bmp", serial);
    std::string name(fileName.substr(0, *ext));
    name += number;
    return name;
}

int GetSourceBitsPerPixel(const char *fileName) {
    // FreeImage opens the file before anything else: only a regular file
    // goes to it.
    if (!platform::IsRegularFile(fileName)) return 0;
    PrepareCodecs();
    FREE_IMAGE_FORMAT fif = FreeImage_GetFileType(fileName, 0);
    if (fif == FIF_UNKNOWN) fif = FreeImage_GetFIFFromFilename(fileName);
    if (fif != FIF_BMP || !FreeImage_FIFSupportsReading(fif)) return 0;
    // The header is enough for the depth: the pixels are not decoded (nor
    // allocated at the size an untrusted header claims).
    FreeImageBitmap bitmap(FreeImage_Load(fif, fileName, FreeImage_FIFSupportsNoPixels(fif) ? FIF_LOAD_NOPIXELS : 0));
    if (bitmap.bitmap == nullptr) return 0;
    return static_cast<int>(FreeImage_GetBPP(bitmap.bitmap));
}

bool StampSerialNumber(const char *fileName, const char *newName, int serial, int32_t width, int32_t height) {
    try {
        const int bpp = GetSourceBitsPerPixel(fileName);
        const cv::Mat src = LoadImageFile(fileName, cv::IMREAD_UNCHANGED);
        if (src.empty()) return false;
        cv::Mat dest;
        if (src.cols == width && src.rows == height) {
            dest = src;
        } else {
            cv::resize(src, dest, cv::Size(width, height), 0, 0, cv::INTER_LINEAR);
        }
        // BMP holds 8 bits per channel: deeper sources are brought down first.
        dest = To8Bit(dest);
        char number[200];
        std::snprintf(number, sizeof number, "%05d", serial);
        cv::putText(dest, number, kTextOrigin, cv::FONT_HERSHEY_PLAIN, kFontScale, cv::Scalar::all(0), kFontThickness,
                    cv::LINE_AA);
        bool saved = false;
        if (bpp == 1 || bpp == 4) {
            saved = SaveLowDepthBmp(dest, bpp, newName);
        } else {
            saved = WriteImageFile(newName, dest);
        }
        ShowAndPause(kPreviewWindow, dest, kPreviewPauseMs);
        return saved;
    } catch (const cv::Exception &) {
        return false;
    } catch (const std::bad_alloc &) {
        return false;
    }
}

std::vector<std::string> ListDirectory(std::string_view dirPath) {
    // The directory is the part of dirPath before its last separator ('\'
    // or '/'); a dirPath without separator names the directory itself, an
    // empty one the current directory.
    std::string path;
    const std::optional<size_t> sep = FindLastSeparator(dirPath);
    if (sep) {
        path = std::string(dirPath.substr(0, *sep));
        platform::UseNativeSeparators(path);
        path += platform::kDirectorySeparator;
    }
    const std::string pattern = path + "*";

    std::vector<std::string> list;
    WIN32_FIND_DATAA entry;
    HANDLE find = win32::FindFirstFileA(pattern.c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) return list;
    do {
        if (std::strcmp(entry.cFileName, ".") == 0 || std::strcmp(entry.cFileName, "..") == 0) continue;
        list.push_back(path + entry.cFileName);
    } while (win32::FindNextFileA(find, &entry));
    win32::FindClose(find);
    return list;
}

}  // namespace vek::image

extern "C" {

VEK_API int VEK_CALL ImageAddSerialNumber(const char *fileName, int32_t width, int32_t height, int32_t copyCount) {
    using namespace vek::image;
    if (fileName == nullptr || !FitsPathBuffer(std::strlen(fileName))) return 0;
    // A size no copy can have fails every attempt, which the result does not report.
    if (!ValidImageSize(width, height)) return 1;
    // An empty name has no copy name; one whose first copy name does not fit
    // the path buffer cannot be copied at all.
    const std::optional<std::string> firstName = StampedCopyName(fileName, 1);
    if (!firstName || !FitsPathBuffer(firstName->size())) return 0;

    int serial = 1;
    for (int32_t attempt = 1; attempt <= copyCount; ++attempt) {
        const std::optional<std::string> newName = StampedCopyName(fileName, serial);
        // Past 99999 the serial grows a digit; a name that no longer fits is
        // a failed attempt like any other.
        if (!newName || !FitsPathBuffer(newName->size())) continue;
        if (StampSerialNumber(fileName, newName->c_str(), serial, width, height)) ++serial;
    }
    return 1;
}

VEK_API int VEK_CALL BatchImage2Bin(const char *dirPath, int32_t width, int32_t height) {
    using namespace vek::image;
    if (dirPath == nullptr || !FitsPathBuffer(std::strlen(dirPath))) return 0;
    const std::vector<std::string> names = ListDirectory(dirPath);
    if (names.empty()) return 0;
    if (!ValidImageSize(width, height)) return 1;  // every file fails to convert: skipped, as any such file is

    const size_t frameBytes = static_cast<size_t>(width) * static_cast<size_t>(height);
    const std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[frameBytes]);
    if (!buffer) return 0;
    for (const std::string &name : names) {
        const std::string newName = name + ".bin";
        if (!FitsPathBuffer(newName.size())) continue;
        if (GetGrayBinFormat(name.c_str(), width, height, 0xFF, buffer.get()) == nullptr) continue;
        // A frame that cannot be written whole leaves no file; the result
        // still tells only that the folder was listed.
        vek::platform::WriteWholeFile(newName.c_str(), buffer.get(), frameBytes);
    }
    return 1;
}

}  // extern "C"

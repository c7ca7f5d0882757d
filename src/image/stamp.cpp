// Serial-number stamping (numbered BMP copies of one image) and batch
// conversion of a folder into ".bin" frame files.
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "image/image_internal.h"
#include "image/low_depth_bmp.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/win32.h"
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
            const std::vector<uint8_t> bmp = EncodeLowDepthBmp(dest, bpp);
            saved = platform::WriteWholeFile(newName, bmp.data(), bmp.size());
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

// Frames as image files, in a build with image support: the library's
// conversions and OpenCV's image writers.
#include "frame_images.hpp"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "common.hpp"

namespace vektool {

const bool kImageSupport = true;

const char *imageSupportNote() { return ""; }

namespace {

using namespace std::string_view_literals;

// Bytes of a file at any offset; fewer (or none) past its end.
class FileBytes {
public:
    explicit FileBytes(const std::string &path) : in_(path, std::ios::binary) {}
    std::string at(uint64_t offset, std::size_t count) {
        std::string bytes(count, '\0');
        in_.clear();
        in_.seekg(static_cast<std::streamoff>(offset));
        in_.read(bytes.data(), static_cast<std::streamsize>(count));
        bytes.resize(static_cast<std::size_t>(std::max<std::streamsize>(in_.gcount(), 0)));
        return bytes;
    }

private:
    std::ifstream in_;
};

// An unsigned number of `size` bytes at `offset` (0 past the end).
uint32_t number(std::string_view b, std::size_t offset, int size, bool littleEndian) {
    if (offset + static_cast<std::size_t>(size) > b.size()) return 0;
    uint32_t v = 0;
    for (int i = 0; i < size; ++i) {
        const auto byte = static_cast<uint8_t>(b[offset + static_cast<std::size_t>(littleEndian ? size - 1 - i : i)]);
        v = v << 8 | byte;
    }
    return v;
}

// The first two numbers after a PBM-family header's magic, comments skipped.
ImageSize netpbmSize(std::string_view head) {
    uint32_t values[2] = {};
    std::size_t i = 2;
    for (uint32_t &v : values) {
        while (i < head.size() && (std::isspace(static_cast<unsigned char>(head[i])) || head[i] == '#'))
            i = head[i] == '#' ? std::min(head.find('\n', i), head.size()) : i + 1;
        for (; i < head.size() && std::isdigit(static_cast<unsigned char>(head[i])) && v < 1000000; ++i)
            v = v * 10 + static_cast<uint32_t>(head[i] - '0');
    }
    return {values[0], values[1]};
}

// A JPEG's frame header (SOFn): the segments before it are stepped over.
ImageSize jpegSize(FileBytes &file) {
    for (uint64_t offset = 2;;) {
        const std::string segment = file.at(offset, 9);
        if (segment.size() < 9 || static_cast<uint8_t>(segment[0]) != 0xFF) return {};
        const auto marker = static_cast<uint8_t>(segment[1]);
        if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC)
            return {number(segment, 7, 2, false), number(segment, 5, 2, false)};
        offset += 2 + number(segment, 2, 2, false);
    }
}

// The first image file directory's width (tag 256) and length (257).
ImageSize tiffSize(FileBytes &file, bool le) {
    const uint64_t directory = number(file.at(4, 4), 0, 4, le);
    const uint32_t entries = number(file.at(directory, 2), 0, 2, le);
    ImageSize size;
    const std::string table = file.at(directory + 2, 12u * std::min(entries, 4096u));
    for (std::size_t e = 0; e + 12 <= table.size(); e += 12) {
        const uint32_t tag = number(table, e, 2, le), type = number(table, e + 2, 2, le);
        const uint32_t value = type == 3 ? number(table, e + 8, 2, le) : number(table, e + 8, 4, le);
        if (tag == 256) size.width = value;
        if (tag == 257) size.height = value;
    }
    return size.height ? size : ImageSize{};
}

// How the formats the tool reads (those the library decodes) begin, beyond
// the five whose size is read: BigTIFF, Sun raster, JPEG 2000 (file and
// codestream), Radiance HDR, OpenEXR; WebP is checked on its own.
constexpr std::string_view kOtherFormats[] = {
    "II+\0"sv,  "MM\0+"sv,      "\x59\xA6\x6A\x95"sv, "\0\0\0\x0CjP  \r\n\x87\n"sv, "\xFF\x4F\xFF\x51"sv,
    "#?RGBE"sv, "#?RADIANCE"sv, "\x76\x2F\x31\x01"sv};

}  // namespace

ImageSize checkImageInput(const std::string &path) {
    FileBytes file(path);
    const std::string head = file.at(0, 512);
    const auto starts = [&head](std::string_view magic) { return std::string_view(head).starts_with(magic); };
    ImageSize size;
    if (starts("\x89PNG\r\n\x1A\n"sv)) return {number(head, 16, 4, false), number(head, 20, 4, false)};
    if (starts("BM"sv)) {
        // The 12-byte header of old files holds 16-bit sizes, the others 32-bit ones (height negative: top down).
        const bool core = number(head, 14, 4, true) == 12;
        const auto height = static_cast<int32_t>(number(head, core ? 20 : 22, core ? 2 : 4, true));
        return {number(head, 18, core ? 2 : 4, true), static_cast<uint32_t>(std::abs(height))};
    }
    if (starts("\xFF\xD8\xFF"sv)) return jpegSize(file);
    if (starts("II*\0"sv) || starts("MM\0*"sv)) return tiffSize(file, head[0] == 'I');
    if (head.size() >= 3 && head[0] == 'P' && std::isspace(static_cast<unsigned char>(head[2]))) {
        if (std::string_view("123456"sv).find(head[1]) != std::string_view::npos) return netpbmSize(head);
        if (head[1] == '7' || head[1] == 'F' || head[1] == 'f') return size;
    }
    if ((starts("RIFF"sv) && head.substr(8, 4) == "WEBP") ||
        std::any_of(std::begin(kOtherFormats), std::end(kOtherFormats), starts))
        return size;
    throw FileError("cannot load '" + path + "' as an image: its first bytes begin no image format vek reads");
}

void checkImageFits(const std::string &path, ImageSize size, uint32_t width, uint32_t height, bool resize) {
    if (resize || (size.width == width && size.height == height)) return;
    throw UsageError("'" + path + "' is " + std::to_string(size.width) + "x" + std::to_string(size.height) +
                     ", the frames are " + std::to_string(width) + "x" + std::to_string(height) +
                     ": give --resize to scale it (interpolated), or an image of that size");
}

void checkImageOutput(const std::string &path) {
    if (!cv::haveImageWriter(path))
        throw UsageError("cannot tell how to write '" + path +
                         "': use a .bin file or an image (.png, .bmp, .tif, ...)");
}

std::vector<uint8_t> imageToFrame(const std::string &path, uint32_t width, uint32_t height, uint32_t planeMask,
                                  bool resize, ImageSize known) {
    // The library's getter reads the file first: only a file it loads goes
    // to OpenCV here, for a size its header did not give.
    std::vector<uint8_t> frame(frameBytes(width, height, planeMask));
    if (!GetGrayBinFormat(path.c_str(), static_cast<int32_t>(width), static_cast<int32_t>(height),
                          static_cast<uint8_t>(planeMask), frame.data()))
        throw FileError("cannot load '" + path + "' as an image");
    if (!resize && !known.known()) {
        const cv::Mat image = cv::imread(path, cv::IMREAD_UNCHANGED);
        known = {static_cast<uint32_t>(image.cols), static_cast<uint32_t>(image.rows)};
    }
    checkImageFits(path, known, width, height, resize);
    return frame;
}

void writeImageFile(const std::string &path, const cv::Mat &image) {
    std::vector<uint8_t> encoded;
    bool ok = false;
    try {
        ok = cv::imencode(std::filesystem::path(path).extension().string(), image, encoded);
    } catch (const cv::Exception &) {
        ok = false;
    }
    if (!ok) throw FileError("cannot write '" + path + "'");
    writeFile(path, encoded.data(), encoded.size());
}

void frameToImage(const uint8_t *frame, uint32_t width, uint32_t height, uint32_t planeMask, const std::string &path) {
    cv::Mat img(static_cast<int>(height), static_cast<int>(width), CV_8UC1);
    bin2pixel(frame, static_cast<int32_t>(width), static_cast<int32_t>(height), static_cast<uint8_t>(planeMask),
              img.data);
    writeImageFile(path, img);
}

}  // namespace vektool

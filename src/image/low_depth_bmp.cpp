// 1-bit and 4-bit BMP files (see low_depth_bmp.h).
#include "image/low_depth_bmp.h"

#include <array>
#include <fstream>

#include <opencv2/imgproc.hpp>

#include "platform/files.h"

namespace vek::image {

namespace {

constexpr size_t kFileHeader = 14, kInfoHeader = 40;
// 72 dots per inch, in dots per metre.
constexpr uint32_t kDotsPerMetre = 2835;

uint32_t ReadLe(const uint8_t *p, int bytes) {
    uint32_t value = 0;
    for (int i = bytes; i-- > 0;) value = value << 8 | p[i];
    return value;
}

void PutLe(std::vector<uint8_t> &out, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// The gray the 4-bit conversion takes of a colour pixel (blue, green, red):
// the luma of ITU-R BT.709.
uint8_t Luma(const uint8_t *bgr) {
    return static_cast<uint8_t>(0.2126 * bgr[2] + 0.7152 * bgr[1] + 0.0722 * bgr[0] + 0.5);
}

}  // namespace

int GetSourceBitsPerPixel(const char *fileName) {
    if (!platform::IsRegularFile(fileName)) return 0;
    std::ifstream file(fileName, std::ios::binary);
    std::array<uint8_t, kFileHeader + kInfoHeader> head{};
    file.read(reinterpret_cast<char *>(head.data()), head.size());
    const auto have = static_cast<size_t>(file.gcount());
    if (have < kFileHeader + 4 || head[0] != 'B' || head[1] != 'M') return 0;
    // The core header (12 bytes) keeps the depth 10 bytes in, the info header
    // (40 bytes) 14 bytes in; either is read whole. Its later, longer
    // versions are not taken for low-depth sources (their copies are 8-bit).
    const uint32_t headerSize = ReadLe(&head[kFileHeader], 4);
    uint32_t bits = 0;
    if (headerSize == 12 && have >= kFileHeader + 12) {
        bits = ReadLe(&head[kFileHeader + 10], 2);
    } else if (headerSize == kInfoHeader && have >= kFileHeader + kInfoHeader) {
        bits = ReadLe(&head[kFileHeader + 14], 2);
    }
    switch (bits) {
    case 1:
    case 4:
    case 8:
    case 16:
    case 24:
    case 32:
        return static_cast<int>(bits);
    default:
        return 0;
    }
}

std::vector<uint8_t> EncodeLowDepthBmp(const cv::Mat &image, int bitsPerPixel) {
    CV_Assert(image.depth() == CV_8U && (bitsPerPixel == 1 || bitsPerPixel == 4));
    cv::Mat gray;
    if (image.channels() == 1) {
        gray = image;
    } else if (bitsPerPixel == 1) {
        cv::cvtColor(image, gray, image.channels() == 4 ? cv::COLOR_BGRA2GRAY : cv::COLOR_BGR2GRAY);
    } else {
        gray.create(image.size(), CV_8UC1);
        for (int y = 0; y < image.rows; ++y) {
            const uint8_t *in = image.ptr<uint8_t>(y);
            for (int x = 0; x < image.cols; ++x) gray.at<uint8_t>(y, x) = Luma(in + x * image.channels());
        }
    }
    const uint32_t colours = 1u << bitsPerPixel;
    const size_t rowBytes = (static_cast<size_t>(gray.cols) * static_cast<size_t>(bitsPerPixel) + 31) / 32 * 4;
    const size_t offset = kFileHeader + kInfoHeader + 4 * colours;
    const size_t size = offset + rowBytes * static_cast<size_t>(gray.rows);
    std::vector<uint8_t> out;
    out.reserve(size);
    out.push_back('B');
    out.push_back('M');
    PutLe(out, static_cast<uint32_t>(size), 4);
    PutLe(out, 0, 4);
    PutLe(out, static_cast<uint32_t>(offset), 4);
    PutLe(out, kInfoHeader, 4);
    PutLe(out, static_cast<uint32_t>(gray.cols), 4);
    PutLe(out, static_cast<uint32_t>(gray.rows), 4);
    PutLe(out, 1, 2);
    PutLe(out, static_cast<uint32_t>(bitsPerPixel), 2);
    PutLe(out, 0, 4);  // no compression
    PutLe(out, 0, 4);  // image size: implied
    PutLe(out, kDotsPerMetre, 4);
    PutLe(out, kDotsPerMetre, 4);
    PutLe(out, colours, 4);
    PutLe(out, colours, 4);
    for (uint32_t i = 0; i < colours; ++i) {
        const uint8_t level = static_cast<uint8_t>(i * 255 / (colours - 1));
        out.insert(out.end(), {level, level, level, 0});
    }
    for (int y = gray.rows; y-- > 0;) {
        const uint8_t *in = gray.ptr<uint8_t>(y);
        std::vector<uint8_t> row(rowBytes, 0);
        for (int x = 0; x < gray.cols; ++x) {
            if (bitsPerPixel == 1) {
                if (in[x] >= 128) row[static_cast<size_t>(x) / 8] |= static_cast<uint8_t>(0x80 >> (x % 8));
            } else {
                row[static_cast<size_t>(x) / 2] |= static_cast<uint8_t>((in[x] >> 4) << (x % 2 == 0 ? 4 : 0));
            }
        }
        out.insert(out.end(), row.begin(), row.end());
    }
    return out;
}

}  // namespace vek::image

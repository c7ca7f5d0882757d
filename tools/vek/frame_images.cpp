// Frames as image files, in a build with image support: the library's
// conversions and OpenCV's image writers.
#include "frame_images.hpp"

#include <filesystem>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <string>

#include "common.hpp"

namespace vektool {

const bool kImageSupport = true;

const char *imageSupportNote() { return ""; }

// An image that cannot be loaded is found when it is converted, after the
// board has told its frame size.
void checkImageInput(const std::string &) {}

void checkImageOutput(const std::string &path) {
    if (!cv::haveImageWriter(path))
        throw UsageError("cannot tell how to write '" + path +
                         "': use a .bin file or an image (.png, .bmp, .tif, ...)");
}

std::vector<uint8_t> imageToFrame(const std::string &path, uint32_t width, uint32_t height, uint32_t planeMask,
                                  bool resize) {
    // The library's getter reads the file first: only a file it loads goes
    // to OpenCV here, for its size.
    std::vector<uint8_t> frame(frameBytes(width, height, planeMask));
    if (!GetGrayBinFormat(path.c_str(), static_cast<int32_t>(width), static_cast<int32_t>(height),
                          static_cast<uint8_t>(planeMask), frame.data()))
        throw FileError("cannot load '" + path + "' as an image");
    if (!resize) {
        const cv::Mat image = cv::imread(path, cv::IMREAD_UNCHANGED);
        if (static_cast<uint32_t>(image.cols) != width || static_cast<uint32_t>(image.rows) != height)
            throw UsageError("'" + path + "' is " + std::to_string(image.cols) + "x" + std::to_string(image.rows) +
                             ", the frames are " + std::to_string(width) + "x" + std::to_string(height) +
                             ": give --resize to scale it (interpolated), or an image of that size");
    }
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

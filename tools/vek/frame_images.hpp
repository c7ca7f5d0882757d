// Frames as image files, and whether this build of the tool has images at
// all. CMake builds one of two implementations: frame_images.cpp (the
// library's image functions and OpenCV, with the image commands of
// cmd_image.cpp and demo.cpp) or no_images.cpp (a build without image
// support: image files are refused and the image commands answer that they
// are left out). Nothing else in the tool depends on which one it is.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace cv {
class Mat;
}

namespace vektool {

// True when frames can be read from and written to image files.
extern const bool kImageSupport;

// What --help says about image support ("" when nothing is left out).
const char *imageSupportNote();

// An image's size in pixels; 0 x 0 when not known.
struct ImageSize {
    uint32_t width = 0, height = 0;
    bool known() const { return width != 0; }
};

// Checks, before the board is touched, that frames can be loaded from the
// file at `path` (a file other than a .bin frame file), from its first bytes
// only: throws FileError when they begin no image format the tool reads.
// Returns the size its header gives (PNG, BMP, JPEG, TIFF and the PBM family;
// not known for the other formats, whose size shows when they are decoded).
ImageSize checkImageInput(const std::string &path);

// Throws UsageError, before the board is touched, when frames cannot be
// written to an image file at `path` (a name other than a .bin file).
void checkImageOutput(const std::string &path);

// Throws UsageError when an image of `size` is not width x height and
// `resize` does not allow scaling it (which interpolates: binary patterns get
// gray edges).
void checkImageFits(const std::string &path, ImageSize size, uint32_t width, uint32_t height, bool resize);

// The image file at `path` as one frame of width x height pixels keeping the
// bit planes of `planeMask`; throws FileError when it cannot be loaded, and
// UsageError as checkImageFits does. `known` is the size checkImageInput
// gave: the file is then decoded once.
std::vector<uint8_t> imageToFrame(const std::string &path, uint32_t width, uint32_t height, uint32_t planeMask,
                                  bool resize, ImageSize known = {});

// Writes the image encoded as its extension says, whole or not at all
// (writeFile); throws FileError when it cannot be encoded or written.
void writeImageFile(const std::string &path, const cv::Mat &image);

// Writes one frame (width x height, bit planes of `planeMask`) as an 8-bit
// gray image to `path`; throws FileError when it cannot be written.
void frameToImage(const uint8_t *frame, uint32_t width, uint32_t height, uint32_t planeMask, const std::string &path);

}  // namespace vektool

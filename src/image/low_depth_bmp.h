// 1-bit and 4-bit BMP files: the depth a BMP header declares, and the writer
// that keeps a stamped copy of such a source at its depth.
#pragma once

#include <cstdint>
#include <vector>

#include <opencv2/core.hpp>

namespace vek::image {

// Bits per pixel that a BMP file's header declares (1, 4, 8, 16, 24 or 32);
// 0 for a file that is not a BMP, whose header is cut, of another version than
// the core (12 bytes) or info (40 bytes) one, or declares another depth. Only
// the headers are read.
int GetSourceBitsPerPixel(const char *fileName);

// An 8-bit image (gray, BGR or BGRA) as a gray BMP file of 1 bit per pixel
// (gray at or above 128 is white) or 4 (the gray's high four bits, on a
// palette of 16 evenly spaced grays): bottom-up rows, each padded to 4 bytes.
// Colour comes to gray as OpenCV converts it for 1 bit, and with the weights
// 77, 150, 29 (/256) of red, green, blue for 4 bits.
std::vector<uint8_t> EncodeLowDepthBmp(const cv::Mat &image, int bitsPerPixel);

}  // namespace vek::image

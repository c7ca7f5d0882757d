// Internals shared by the image functions (and reached by their tests).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <opencv2/core.hpp>

namespace vek::image {

// Path buffers hold 260 bytes with the terminating NUL: a path has at most
// 259 characters.
inline constexpr size_t kPathBuffer = 260;

// A size the getters accept: both positive and width x height within the
// 32-bit range that OpenCV images address.
bool ValidImageSize(int32_t width, int32_t height);

// Once per process, before the first decode or encode: OpenCV without worker
// threads, and codec messages silenced where their libraries allow it.
void PrepareCodecs();

// Encodes the image in the format of the name's extension and writes the
// file whole (or leaves nothing, see platform::WriteWholeFile).
bool WriteImageFile(const std::string &name, const cv::Mat &image);

// Loads an image file with the given cv::imread flags; an empty image when the
// name is not a readable regular file or OpenCV cannot decode it. The pixels
// come as stored (no EXIF rotation). Never throws.
cv::Mat LoadImageFile(const char *fileName, int flags);

// Brings an image of any depth to 8 bits per channel: 16-bit unsigned keeps
// its high byte (as OpenCV's own 8-bit load does), floating point maps 0..1 to
// 0..255, other depths are saturated. 8-bit images are returned as they are.
cv::Mat To8Bit(const cv::Mat &image);

// Gray 8-bit pixels of the file at exactly width x height, written row after
// row without padding into pixels (width x height bytes). False, and nothing
// written, when the file cannot be loaded.
bool LoadGrayPixels(const char *fileName, int32_t width, int32_t height, uint8_t *pixels);

// Position of the '.' that starts the extension of the name's last component,
// or the end of the name when it has none; nothing for an empty name.
std::optional<size_t> FindExtension(std::string_view name);
// Position of the last '\' or '/', or the end of the name when it has none;
// nothing for an empty name.
std::optional<size_t> FindLastSeparator(std::string_view name);

// The name of stamped copy number `serial` of fileName: the name with its
// extension replaced by "_" + serial (at least 5 digits, zero-filled) + ".bmp".
// Nothing when fileName is empty. The name is taken literally ('%' included).
std::optional<std::string> StampedCopyName(std::string_view fileName, int serial);

// Makes one stamped copy; true when it was written.
bool StampSerialNumber(const char *fileName, const char *newName, int serial, int32_t width, int32_t height);

// The entries of the directory named by dirPath (the part before its last
// separator), '.' and '..' left out, each as that directory + its name.
std::vector<std::string> ListDirectory(std::string_view dirPath);

// Shows the image in the window of that title when a display is available,
// then pauses for the given time (Sleep on the platform clock) in any case.
void ShowAndPause(const char *title, const cv::Mat &image, uint32_t milliseconds);
// Whether windows can be opened in this process (a GUI backend in OpenCV, a
// display it can reach, and the preview module beside the library).
bool PreviewAvailable();

}  // namespace vek::image

// What the image functions ask of their codec libraries: set up once, and
// encoded files written whole.
#include <mutex>
#include <vector>

#include <opencv2/core/utility.hpp>
#include <opencv2/core/utils/logger.hpp>
#include <opencv2/imgcodecs.hpp>

#include "image/image_internal.h"
#include "platform/files.h"

namespace vek::image {

namespace {

std::once_flag gCodecsPrepared;

}  // namespace

void PrepareCodecs() {
    std::call_once(gCodecsPrepared, [] {
        // No worker threads: resizing and conversions run on the caller's
        // thread, as every other call of the library does.
        cv::setNumThreads(0);
        // Nothing is logged: OpenCV's own messages are dropped.
        cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
    });
}

bool WriteImageFile(const std::string &name, const cv::Mat &image) {
    PrepareCodecs();
    const std::optional<size_t> ext = FindExtension(name);
    if (!ext || *ext == name.size()) return false;
    std::vector<uint8_t> encoded;
    try {
        if (!cv::imencode(name.substr(*ext), image, encoded)) return false;
    } catch (const cv::Exception &) {
        return false;
    }
    return platform::WriteWholeFile(name.c_str(), encoded.data(), encoded.size());
}

}  // namespace vek::image

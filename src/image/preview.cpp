// Preview windows of the image functions. A window opens only where OpenCV
// has a GUI backend and that backend can reach a display; otherwise the
// window is skipped quietly (the pause still happens), since some backends end
// the process when they find no display.
#include <mutex>
#include <string>

#include <opencv2/highgui.hpp>

#include "image/image_internal.h"
#include "platform/display.h"
#include "platform/win32.h"

namespace vek::image {

namespace {

// The GUI backend OpenCV was built with, from its build information
// ("GUI: QT5", "GTK3", "WIN32UI", "NONE", ...).
std::string GuiBackend() {
    const std::string info = cv::getBuildInformation();
    const size_t at = info.find("GUI:");
    if (at == std::string::npos) return "NONE";
    const size_t begin = info.find_first_not_of(" \t", at + 4);
    const size_t end = info.find_first_of("\r\n", begin);
    if (begin == std::string::npos) return "NONE";
    return info.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
}

bool DetectPreview() {
    const std::string gui = GuiBackend();
    if (gui.empty() || gui.rfind("NONE", 0) == 0) return false;
    return platform::DisplayReachable(gui.rfind("QT", 0) == 0 ? platform::WindowToolkit::Qt
                                                              : platform::WindowToolkit::Other);
}

std::mutex gPreviewMutex;
int gPreviewState = -1;  // -1 unknown, 0 no windows, 1 windows

}  // namespace

bool PreviewAvailable() {
    std::lock_guard lock(gPreviewMutex);
    if (gPreviewState < 0) gPreviewState = DetectPreview() ? 1 : 0;
    return gPreviewState == 1;
}

void ShowAndPause(const char *title, const cv::Mat &image, uint32_t milliseconds) {
    if (PreviewAvailable()) {
        try {
            cv::imshow(title, image);
            // Let the window system map and paint the window now rather than
            // leaving it blank until the caller's next event loop.
            cv::waitKey(1);
        } catch (const cv::Exception &) {
            std::lock_guard lock(gPreviewMutex);
            gPreviewState = 0;  // the backend cannot open windows: stop trying
        }
    }
    win32::Sleep(milliseconds);
}

}  // namespace vek::image

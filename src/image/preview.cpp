// Preview windows of the image functions. A window opens only where OpenCV
// has a GUI backend and that backend can reach a display; otherwise the
// window is skipped quietly (the pause still happens), since some backends end
// the process when they find no display. The window itself is drawn by the
// preview module (preview_window.cpp), loaded only then: the GUI module and
// its toolkit are not dependencies of the library.
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "image/image_internal.h"
#include "image/preview_module.h"
#include "platform/display.h"
#include "platform/modules.h"
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

// The preview module's show call, once a display is known to be there.
VekPreviewShow LoadPreview() {
    if (!DetectPreview()) return nullptr;
    return reinterpret_cast<VekPreviewShow>(platform::ModuleSymbol(VEK_PREVIEW_MODULE, kVekPreviewShowSymbol));
}

std::mutex gPreviewMutex;
bool gPreviewKnown = false;
VekPreviewShow gPreviewShow = nullptr;  // null: no windows

VekPreviewShow PreviewShow() {
    std::lock_guard lock(gPreviewMutex);
    if (!gPreviewKnown) {
        gPreviewShow = LoadPreview();
        gPreviewKnown = true;
    }
    return gPreviewShow;
}

}  // namespace

bool PreviewAvailable() { return PreviewShow() != nullptr; }

void ShowAndPause(const char *title, const cv::Mat &image, uint32_t milliseconds) {
    if (VekPreviewShow show = PreviewShow(); show != nullptr && !show(title, &image)) {
        std::lock_guard lock(gPreviewMutex);
        gPreviewShow = nullptr;  // the backend cannot open windows: stop trying
    }
    win32::Sleep(milliseconds);
}

}  // namespace vek::image

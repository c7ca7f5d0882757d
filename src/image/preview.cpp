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
#include "platform/modules.h"
#include "platform/win32.h"

#if !defined(_WIN32)
#  include <dlfcn.h>
#endif

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

bool EnvSet(const char *name) {
    const char *value = std::getenv(name);
    return value != nullptr && *value != '\0';
}

#if !defined(_WIN32)
// Whether an X server answers at $DISPLAY: opens and closes a connection with
// the X library that the GUI toolkits use (loaded only for this question).
bool XDisplayReachable() {
    if (!EnvSet("DISPLAY")) return false;
    void *x11 = dlopen("libX11.so.6", RTLD_NOW | RTLD_LOCAL);
    if (x11 == nullptr) return false;
    using OpenFn = void *(*)(const char *);
    using CloseFn = int (*)(void *);
    auto open = reinterpret_cast<OpenFn>(dlsym(x11, "XOpenDisplay"));
    auto close = reinterpret_cast<CloseFn>(dlsym(x11, "XCloseDisplay"));
    bool reachable = false;
    if (open != nullptr && close != nullptr) {
        if (void *display = open(nullptr)) {
            close(display);
            reachable = true;
        }
    }
    // The X library stays loaded: it registers handlers that must outlive it.
    return reachable;
}
#endif

bool DetectPreview() {
    const std::string gui = GuiBackend();
    if (gui.empty() || gui.rfind("NONE", 0) == 0) return false;
#if defined(_WIN32) || defined(__APPLE__)
    return true;
#else
    if (gui.rfind("QT", 0) == 0) {
        // Qt aborts the process when its platform plugin finds no display.
        const char *platform = std::getenv("QT_QPA_PLATFORM");
        if (platform != nullptr && std::strncmp(platform, "wayland", 7) == 0) return EnvSet("WAYLAND_DISPLAY");
        if (platform != nullptr && (std::strcmp(platform, "offscreen") == 0 || std::strcmp(platform, "minimal") == 0))
            return true;
        return XDisplayReachable();
    }
    // GTK and others report a missing display by an exception.
    return EnvSet("WAYLAND_DISPLAY") || XDisplayReachable();
#endif
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

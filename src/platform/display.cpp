#include "platform/display.h"

#include <cstdlib>
#include <cstring>

#if !defined(_WIN32) && !defined(__APPLE__)
#include <dlfcn.h>
#endif

namespace vek::platform {

#if defined(_WIN32) || defined(__APPLE__)

bool DisplayReachable(WindowToolkit) { return true; }

#else

namespace {

bool EnvSet(const char *name) {
    const char *value = std::getenv(name);
    return value != nullptr && *value != '\0';
}

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

}  // namespace

bool DisplayReachable(WindowToolkit toolkit) {
    if (toolkit == WindowToolkit::Qt) {
        const char *platform = std::getenv("QT_QPA_PLATFORM");
        if (platform != nullptr && std::strncmp(platform, "wayland", 7) == 0) return EnvSet("WAYLAND_DISPLAY");
        if (platform != nullptr && (std::strcmp(platform, "offscreen") == 0 || std::strcmp(platform, "minimal") == 0))
            return true;
        return XDisplayReachable();
    }
    // GTK and others report a missing display by an exception.
    return EnvSet("WAYLAND_DISPLAY") || XDisplayReachable();
}

#endif

}  // namespace vek::platform

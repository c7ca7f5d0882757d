// The preview module (libvek_preview): the one part of the library that needs
// OpenCV's GUI module, and through it a GUI toolkit (Qt, GTK) of a hundred
// libraries or more. The library loads it only when a window can be shown
// (preview.cpp), so every other use of the library goes without them.
#include <opencv2/core.hpp>
#include <opencv2/highgui.hpp>

#include "image/preview_module.h"

extern "C" VEK_PREVIEW_EXPORT bool vek_preview_show(const char *title, const cv::Mat *image) {
    try {
        cv::imshow(title, *image);
        // Let the window system map and paint the window now rather than
        // leaving it blank until the caller's next event loop.
        cv::waitKey(1);
        return true;
    } catch (const cv::Exception &) {
        return false;  // the backend cannot open windows
    }
}

// What the library finds in the preview module (preview_window.cpp).
#pragma once

namespace cv {
class Mat;
}

#if defined(_WIN32)
#define VEK_PREVIEW_EXPORT __declspec(dllexport)
#else
#define VEK_PREVIEW_EXPORT __attribute__((visibility("default")))
#endif

// Shows the image in the window of that title (made on first use); false
// when the GUI backend cannot open windows.
using VekPreviewShow = bool (*)(const char *title, const cv::Mat *image);
inline constexpr const char *kVekPreviewShowSymbol = "vek_preview_show";

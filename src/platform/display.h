// Whether windows can be shown here: the window system's reachability, which
// only the system built for knows how to ask.
#pragma once

namespace vek::platform {

// The toolkit a window would be opened with: Qt ends the process when its
// platform plugin finds no display, so its own settings are read first.
enum class WindowToolkit { Qt, Other };

// True when a window of `toolkit` can reach a display (on Windows and macOS:
// always). On other systems: a Wayland display for Wayland, an X server that
// answers at $DISPLAY otherwise; Qt's offscreen and minimal platforms need
// none.
bool DisplayReachable(WindowToolkit toolkit);

}  // namespace vek::platform

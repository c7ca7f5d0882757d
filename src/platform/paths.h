// Paths the library makes itself, in the form of the system built for.
#pragma once

#include <algorithm>
#include <string>

namespace vek::platform {

#if defined(_WIN32)
inline constexpr char kDirectorySeparator = '\\';
#else
inline constexpr char kDirectorySeparator = '/';
#endif

// A path whose separators may be '\' or '/', in the form the file system here
// reads: on Windows both are separators already; elsewhere '\' becomes '/'.
inline void UseNativeSeparators(std::string &path) {
    if constexpr (kDirectorySeparator == '/') std::replace(path.begin(), path.end(), '\\', '/');
}

}  // namespace vek::platform

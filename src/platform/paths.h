// Paths the library makes itself, in the form of the system built for.
#pragma once

namespace vek::platform {

#if defined(_WIN32)
inline constexpr char kDirectorySeparator = '\\';
#else
inline constexpr char kDirectorySeparator = '/';
#endif

}  // namespace vek::platform

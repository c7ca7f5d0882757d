// The library's one sink for notices (a board it cannot open, a device that
// stopped answering): standard error or the program's callback, filtered by
// a level. Silent unless the level is raised, by SetLogLevel or by
// VEK_LOG_LEVEL=error|warning|info in the environment, read at the first
// notice.
#pragma once

namespace vek::platform {

enum class LogLevel { Silent = 0, Error = 1, Warning = 2, Info = 3 };

void SetLogLevel(LogLevel level);
LogLevel CurrentLogLevel();
// Where notices go: `sink(level, text, context)`, or standard error when null.
using LogSink = void (*)(LogLevel level, const char *text, void *context);
void SetLogSink(LogSink sink, void *context);
// printf-style; written as one line group, prefixed "vek: ", when `level` is
// at or below the current level.
void Log(LogLevel level, const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

}  // namespace vek::platform

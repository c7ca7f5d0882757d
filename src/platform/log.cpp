#include "platform/log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace vek::platform {
namespace {

constexpr int kUnset = -1;
std::atomic<int> gLevel{kUnset};
std::mutex gWriteMutex;  // one notice at a time; guards the sink
LogSink gSink = nullptr;
void *gSinkContext = nullptr;

int LevelFromEnvironment() {
    const char *value = std::getenv("VEK_LOG_LEVEL");
    if (value == nullptr) return static_cast<int>(LogLevel::Silent);
    if (std::strcmp(value, "error") == 0) return static_cast<int>(LogLevel::Error);
    if (std::strcmp(value, "warning") == 0) return static_cast<int>(LogLevel::Warning);
    if (std::strcmp(value, "info") == 0) return static_cast<int>(LogLevel::Info);
    return static_cast<int>(LogLevel::Silent);
}

}  // namespace

void SetLogLevel(LogLevel level) { gLevel.store(static_cast<int>(level)); }

void SetLogSink(LogSink sink, void *context) {
    std::lock_guard lock(gWriteMutex);
    gSink = sink;
    gSinkContext = context;
}

LogLevel CurrentLogLevel() {
    int level = gLevel.load();
    if (level == kUnset) {
        int expected = kUnset;
        gLevel.compare_exchange_strong(expected, LevelFromEnvironment());
        level = gLevel.load();
    }
    return static_cast<LogLevel>(level);
}

void Log(LogLevel level, const char *format, ...) {
    if (level == LogLevel::Silent || static_cast<int>(level) > static_cast<int>(CurrentLogLevel())) return;
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    std::lock_guard lock(gWriteMutex);
    if (gSink != nullptr) return gSink(level, text, gSinkContext);
    std::fprintf(stderr, "vek: %s\n", text);
    std::fflush(stderr);
}

}  // namespace vek::platform

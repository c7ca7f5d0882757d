// The library's notices as the C interface sets them (platform/log.h).
#include <algorithm>
#include <atomic>

#include "platform/log.h"
#include "vek_dll.h"

namespace {

std::atomic<VekLogCallback> gCallback{nullptr};

void ToCallback(vek::platform::LogLevel level, const char *text, void *context) {
    gCallback.load()(static_cast<int>(level), text, context);
}

}  // namespace

extern "C" VEK_API void VEK_CALL VekSetLogLevel(int level) {
    vek::platform::SetLogLevel(static_cast<vek::platform::LogLevel>(std::clamp(level, VEK_LOG_SILENT, VEK_LOG_INFO)));
}

extern "C" VEK_API void VEK_CALL VekSetLogCallback(VekLogCallback callback, void *context) {
    // The sink is swapped under the log's own lock; the callback it calls is
    // this file's, set first so that no notice finds it null.
    if (callback != nullptr) gCallback = callback;
    vek::platform::SetLogSink(callback != nullptr ? ToCallback : nullptr, context);
}

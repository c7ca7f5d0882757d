// The one clock of the platform layer (a monotonic clock, or virtual time),
// and the observers of pauses and message boxes.

#include "platform/clock.h"

#include <atomic>

#include "platform/internal.h"
#include "platform/message_box.h"
#include <chrono>

namespace vek::platform {
namespace {

std::atomic<bool> virtualMode{false};
// Virtual time starts at 0 and only moves forward, also across switches of mode.
std::atomic<uint64_t> virtualMs{0};
std::atomic<SleepObserver> sleepObserver{nullptr};
std::atomic<MessageBoxObserver> messageBoxObserver{nullptr};
// Open RealTimeScopes of this thread.
thread_local int realTimeScopes = 0;

}  // namespace

void SetVirtualClock(bool enabled) { virtualMode.store(enabled); }

bool VirtualClockEnabled() { return virtualMode.load(); }

bool VirtualTimeOnThisThread() { return realTimeScopes == 0 && virtualMode.load(); }

RealTimeScope::RealTimeScope(bool engaged) : engaged_(engaged) {
    if (engaged_) ++realTimeScopes;
}

RealTimeScope::~RealTimeScope() {
    if (engaged_) --realTimeScopes;
}

uint64_t ClockMs() {
    if (VirtualTimeOnThisThread()) return virtualMs.load();
    auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

void AdvanceClock(uint64_t milliseconds) {
    if (VirtualTimeOnThisThread()) virtualMs.fetch_add(milliseconds);
}

void SetSleepObserver(SleepObserver observer) { sleepObserver.store(observer); }

void SetMessageBoxObserver(MessageBoxObserver observer) { messageBoxObserver.store(observer); }

namespace detail {
bool TakePauseOnClock(uint32_t milliseconds) {
    if (SleepObserver observer = sleepObserver.load()) observer(milliseconds);
    if (!VirtualTimeOnThisThread()) return false;
    virtualMs.fetch_add(milliseconds);
    return true;
}

bool ObserveMessageBox(const char *text, const char *caption) {
    MessageBoxObserver observer = messageBoxObserver.load();
    return observer != nullptr && observer(text, caption);
}
}  // namespace detail

}  // namespace vek::platform

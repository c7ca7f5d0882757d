// The one clock that serves Sleep and every timed wait. In virtual mode a
// pause, or a wait that would time out, advances virtual time at once, so
// tests of long pauses run instantly and can assert each pause.
#pragma once

#include <cstdint>

namespace vek::platform {

// The process-wide mode, as VekSimSetVirtualClock sets it.
void SetVirtualClock(bool enabled);
bool VirtualClockEnabled();
// Whether this thread's pauses and timed waits take virtual time: the mode is
// on and no RealTimeScope is open on the thread.
bool VirtualTimeOnThisThread();
// Milliseconds on the clock in use on this thread: virtual time, or a
// monotonic clock.
uint64_t ClockMs();
// Advances virtual time (no effect when this thread keeps real time).
void AdvanceClock(uint64_t milliseconds);

// While one is open on a thread with `engaged` true, that thread keeps real
// time whatever the mode: its pauses and timed waits last as long as they
// say, and ClockMs reads the monotonic clock. Work on a real board opens one
// (DeviceTimeScope in device_registry.h), so the virtual clock never shortens
// a pause that hardware needs. Scopes nest.
class RealTimeScope {
public:
    explicit RealTimeScope(bool engaged);
    ~RealTimeScope();
    RealTimeScope(const RealTimeScope &) = delete;
    RealTimeScope &operator=(const RealTimeScope &) = delete;

private:
    bool engaged_;
};

// Called for every Sleep, with its length, before the pause; at most one
// observer (the virtual board's trace). Pass nullptr to remove.
using SleepObserver = void (*)(uint32_t milliseconds);
void SetSleepObserver(SleepObserver observer);

}  // namespace vek::platform

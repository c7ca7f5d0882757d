// The one clock that serves Sleep and every timed wait. In virtual mode a
// pause, or a wait that would time out, advances virtual time at once, so
// tests of long pauses run instantly and can assert each pause.
#pragma once

#include <cstdint>

namespace vek::platform {

void SetVirtualClock(bool enabled);
bool VirtualClockEnabled();
// Milliseconds on the clock in use: virtual time, or a monotonic clock.
uint64_t ClockMs();
// Advances virtual time (no effect when the clock is real).
void AdvanceClock(uint64_t milliseconds);

// Called for every Sleep, with its length, before the pause; at most one
// observer (the virtual board's trace). Pass nullptr to remove.
using SleepObserver = void (*)(uint32_t milliseconds);
void SetSleepObserver(SleepObserver observer);

}  // namespace vek::platform

// Events, waits and Sleep, for systems other than Windows.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/clock.h"
#include "platform/internal.h"
#include "platform/win32.h"

namespace vek::platform {
namespace detail {
namespace {

// The longest single pump call while a wait runs, so that a wait notices an
// event set by another thread (not through the pump) within this time.
constexpr DWORD kPumpSliceMs = 100;

class Event;

class Event final : public Object {
public:
    // A named event's name lives in the handle table's names.
    Event(bool manualReset, bool signalled)
        : Object(ObjectKind::Event), manualReset_(manualReset), signalled_(signalled) {}

    // Makes an idle event as new. Idle: nothing but the handle table refers
    // to it, and the table's lock is held, so no other thread can reach it.
    void Renew(bool manualReset, bool signalled) {
        manualReset_ = manualReset;
        signalled_ = signalled;
    }

    void Set() {
        {
            std::lock_guard lock(mutex_);
            signalled_ = true;
        }
        changed_.notify_all();
    }

    void Reset() {
        std::lock_guard lock(mutex_);
        signalled_ = false;
    }

    // Takes the signal if the event is set (an auto-reset event is consumed).
    bool TryTake() {
        std::lock_guard lock(mutex_);
        return TakeLocked();
    }

    // Waits on the condition variable; `milliseconds` may be INFINITE.
    bool Wait(DWORD milliseconds) {
        std::unique_lock lock(mutex_);
        if (milliseconds == INFINITE) {
            changed_.wait(lock, [this] { return signalled_; });
        } else {
            changed_.wait_for(lock, std::chrono::milliseconds(milliseconds), [this] { return signalled_; });
        }
        return TakeLocked();
    }

private:
    bool TakeLocked() {
        if (!signalled_) return false;
        if (!manualReset_) signalled_ = false;
        return true;
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    bool manualReset_;
    bool signalled_;
};

DWORD WaitOn(Event &event, DWORD milliseconds) {
    if (event.TryTake()) return WAIT_OBJECT_0;
    if (milliseconds == 0) {
        RunEventPumps(0);
        return event.TryTake() ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
    }
    if (milliseconds != INFINITE && VirtualTimeOnThisThread()) {
        // Whatever the backend has ready gets its chance; then the wait
        // times out at once, with virtual time moved by the whole timeout.
        RunEventPumps(0);
        if (event.TryTake()) return WAIT_OBJECT_0;
        AdvanceClock(milliseconds);
        return WAIT_TIMEOUT;
    }
    const uint64_t start = ClockMs();
    for (;;) {
        DWORD slice = kPumpSliceMs;
        DWORD left = INFINITE;
        if (milliseconds != INFINITE) {
            uint64_t elapsed = ClockMs() - start;
            if (elapsed >= milliseconds) return event.TryTake() ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
            left = static_cast<DWORD>(milliseconds - elapsed);
            slice = std::min(left, kPumpSliceMs);
        }
        if (!RunEventPumps(slice)) {
            // No pump (any more): sleep on the event for the time left.
            return event.Wait(left) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
        }
        if (event.TryTake()) return WAIT_OBJECT_0;
    }
}

}  // namespace

}  // namespace detail

}  // namespace vek::platform

namespace vek::platform::detail {

RequestEvent::RequestEvent(HANDLE event)
    : handle_(event), event_(event != nullptr ? LookupHandle(event, ObjectKind::Event) : nullptr) {}

void RequestEvent::Reset() {
    if (event_) static_cast<Event &>(*event_).Reset();
}

void RequestEvent::Set() {
    if (event_) static_cast<Event &>(*event_).Set();
}

}  // namespace vek::platform::detail

using vek::platform::detail::Event;
using vek::platform::detail::Lookup;
using vek::platform::detail::ObjectKind;

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCSTR name) {
    if (name == nullptr || name[0] == '\0') {
        HANDLE handle =
            vek::platform::detail::InsertHandle(std::make_shared<Event>(manualReset != FALSE, initialState != FALSE));
        SetLastError(ERROR_SUCCESS);
        return handle;
    }
    const bool manual = manualReset != FALSE;
    const bool signalled = initialState != FALSE;
    bool existed = false;
    HANDLE handle = vek::platform::detail::OpenNamedObject(
        name,
        [manual, signalled](vek::platform::detail::Object *idle) -> std::shared_ptr<vek::platform::detail::Object> {
            if (idle != nullptr && idle->kind() == ObjectKind::Event) {
                static_cast<Event *>(idle)->Renew(manual, signalled);
                return nullptr;
            }
            return std::make_shared<Event>(manual, signalled);
        },
        existed);
    SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return handle;
}

BOOL SetEvent(HANDLE handle) {
    auto event = Lookup<Event>(handle, ObjectKind::Event);
    if (!event) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    event->Set();
    return TRUE;
}

BOOL ResetEvent(HANDLE handle) {
    auto event = Lookup<Event>(handle, ObjectKind::Event);
    if (!event) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    event->Reset();
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    auto event = Lookup<Event>(handle, ObjectKind::Event);
    if (!event) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    return vek::platform::detail::WaitOn(*event, milliseconds);
}

void Sleep(DWORD milliseconds) {
    if (vek::platform::detail::TakePauseOnClock(milliseconds)) return;
    if (milliseconds == 0) {
        std::this_thread::yield();
    } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    }
}

// Shared pieces of the platform layer: the process-wide handle table of
// kernel-like objects, and the event and pump internals that device I/O uses.
#pragma once

#if !defined(_WIN32)

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/driver.h"
#include "platform/win32.h"

namespace vek::platform::detail {

enum class ObjectKind { Event, DeviceFile, FindSearch, DeviceInfoSet, Notification };

// Every object behind a handle. Objects are shared: a handle closed while
// another thread still uses the object (a wait, a request) keeps it alive
// until that thread lets go.
class Object {
public:
    explicit Object(ObjectKind kind) : kind_(kind) {}
    virtual ~Object() = default;
    Object(const Object &) = delete;
    Object &operator=(const Object &) = delete;
    ObjectKind kind() const { return kind_; }

private:
    ObjectKind kind_;
};

// Adds an object and returns its new handle (never null, never
// INVALID_HANDLE_VALUE; handle values are never reused in a process).
HANDLE InsertHandle(std::shared_ptr<Object> object);
// The object behind `handle` when it is of `kind`, or null.
std::shared_ptr<Object> LookupHandle(HANDLE handle, ObjectKind kind);
template <typename T>
std::shared_ptr<T> Lookup(HANDLE handle, ObjectKind kind) {
    return std::static_pointer_cast<T>(LookupHandle(handle, kind));
}
// Removes `handle` if it names an object of `kind`; the object itself goes
// when its last user lets go (outside the table's lock). False if unknown.
bool RemoveHandle(HANDLE handle, ObjectKind kind);

// The value of OVERLAPPED::Internal while a request runs. It lies above 32
// bits, so it never equals a Win32 error code.
inline constexpr ULONG_PTR kRequestPending =
    sizeof(ULONG_PTR) >= 8 ? static_cast<ULONG_PTR>(0x1'0000'0103ull) : static_cast<ULONG_PTR>(~0ull);

// Reads and writes of the completion fields that pair with CompleteRequest on
// another thread.
ULONG_PTR LoadStatus(const OVERLAPPED *overlapped);
ULONG_PTR LoadBytes(const OVERLAPPED *overlapped);
void StoreResult(OVERLAPPED *overlapped, ULONG_PTR status, ULONG_PTR bytes);

// Gives every registered event pump one pass with `timeoutMs`. Returns false
// (and does nothing) when no pump is registered.
bool RunEventPumps(DWORD timeoutMs);

// A device in the driver registry.
struct RegisteredDevice {
    uint64_t id;
    GUID interfaceClass;
    std::string path;
    const DriverOps *ops;
    void *device;
};
// The registered devices of `interfaceClass`, in registration order.
std::vector<RegisteredDevice> RegisteredDevicesOf(const GUID &interfaceClass);

// The observer given to SetSleepObserver, or null.
SleepObserver CurrentSleepObserver();

}  // namespace vek::platform::detail

#endif  // !_WIN32

// Shared pieces of the platform layer: the process-wide handle table of the
// layer's own objects, the driver registry's device files and device
// information sets, and the pump internals that device I/O uses. All of it is
// built on every system: on Windows it carries the registry's devices (the
// virtual board) beside the system's own.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/device_registry.h"
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

    // Open handles of the object, kept by the handle table (its handles may
    // sit in different shards of the table).
    std::atomic<uint32_t> openHandles = 0;

private:
    ObjectKind kind_;
};

// Adds an object and returns its new handle (never null, never
// INVALID_HANDLE_VALUE; handle values are never reused in a process). Handle
// values are odd: the system's own handles are multiples of 4, so on Windows
// the two never meet.
HANDLE InsertHandle(std::shared_ptr<Object> object);
// Opens the object called `name` (one namespace for the process, as on
// Windows): a new handle to it while it has open handles (`existed` is then
// true), else to the object `make` gives. `make` is handed the name's former
// object when nothing refers to it any more, to renew it in place of a new
// one (an event made and closed per transfer under one name then allocates
// nothing), or null; `make` returns the new object, or null when it renewed
// the former one.
HANDLE OpenNamedObject(const char *name, const std::function<std::shared_ptr<Object>(Object *idle)> &make,
                       bool &existed);
// The object behind `handle` when it is of `kind`, or null.
std::shared_ptr<Object> LookupHandle(HANDLE handle, ObjectKind kind);
template <typename T>
std::shared_ptr<T> Lookup(HANDLE handle, ObjectKind kind) {
    return std::static_pointer_cast<T>(LookupHandle(handle, kind));
}
// True for every value InsertHandle can give (1 modulo 4), whether or not it
// is still open; false for the system's handles on Windows (multiples of 4)
// and its pseudo-handles (INVALID_HANDLE_VALUE and the like).
bool IsLayerHandle(HANDLE handle);
// Closes an event or a device file, as CloseHandle does (searches, device
// information sets and notification tokens have their own closing calls).
// The object goes when its last user lets go. False if unknown.
bool CloseObject(HANDLE handle);
// Removes `handle` if it names an object of `kind`; the object itself goes
// when its last user lets go (outside the table's lock). False if unknown.
bool RemoveHandle(HANDLE handle, ObjectKind kind);

// The event of one request's overlapped record, looked up once for the
// request: reset when the request is issued, set when it completes inside
// the call. Null, or a handle that names no event, does nothing.
class RequestEvent {
public:
    explicit RequestEvent(HANDLE event);
    void Reset();
    void Set();

private:
    [[maybe_unused]] HANDLE handle_;  // the Windows build sets the system's event through it
    std::shared_ptr<Object> event_;   // the layer's own event (the system's on Windows: none)
};

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
    bool followsVirtualClock;
};
// The registered devices of `interfaceClass`, in their listing order (real
// devices first, each group in registration order).
std::vector<RegisteredDevice> RegisteredDevicesOf(const GUID &interfaceClass);

// A Sleep's start: tells the sleep observer and, on the virtual clock, takes
// the whole pause at once. False when the caller must pause for real.
bool TakePauseOnClock(uint32_t milliseconds);

// Device files (device_io.cpp). Each call sets the thread's last error as the
// Win32 call of the same purpose does.
//
// Opens the registered device at `path`: nullopt when no registered device has
// that path, else its new handle or INVALID_HANDLE_VALUE (the backend refused).
std::optional<HANDLE> OpenRegisteredDevice(LPCSTR path);
// DeviceIoControl and GetOverlappedResult on a device file.
BOOL DeviceFileIoControl(HANDLE device, DWORD ioControlCode, LPVOID inBuffer, DWORD inBufferSize, LPVOID outBuffer,
                         DWORD outBufferSize, LPDWORD bytesReturned, LPOVERLAPPED overlapped);
BOOL DeviceFileResult(LPOVERLAPPED overlapped, LPDWORD bytesTransferred, BOOL wait);

// Device information sets (device_info_set.cpp): the registry's devices of one
// class, in registration order, and on Windows the system's own set of the
// class after them (`systemSet`, else null).
class DeviceInfoSet final : public Object {
public:
    DeviceInfoSet(const GUID &interfaceClass, std::vector<std::string> paths, HDEVINFO systemSet)
        : Object(ObjectKind::DeviceInfoSet),
          interfaceClass(interfaceClass),
          paths(std::move(paths)),
          systemSet(systemSet) {}
    const GUID interfaceClass;
    const std::vector<std::string> paths;
    const HDEVINFO systemSet;
};
// Runs the enumeration hooks and takes a snapshot of the registry's devices of
// `interfaceClass`; returns the set's handle.
HDEVINFO OpenDeviceInfoSet(const GUID &interfaceClass, HDEVINFO systemSet);
// The registry's member `memberIndex` of `set` (ERROR_NO_MORE_ITEMS past them).
BOOL EnumRegisteredInterface(const DeviceInfoSet &set, const GUID *interfaceClassGuid, DWORD memberIndex,
                             PSP_DEVICE_INTERFACE_DATA interfaceData);
// True when `interfaceData` was filled by EnumRegisteredInterface for `set`.
bool IsRegisteredInterface(const DeviceInfoSet &set, const SP_DEVICE_INTERFACE_DATA &interfaceData);
BOOL RegisteredInterfaceDetail(const DeviceInfoSet &set, PSP_DEVICE_INTERFACE_DATA interfaceData,
                               PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD detailSize, LPDWORD requiredSize,
                               PSP_DEVINFO_DATA deviceInfo);

}  // namespace vek::platform::detail

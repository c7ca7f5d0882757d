// The device registry behind CreateFileA and DeviceIoControl. On Windows its
// devices are listed and opened beside the system's own. A backend (the virtual board, libusb) registers each attached
// device of an interface class with one table of operations; the platform
// layer never contains backend-specific code.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/win32.h"

namespace vek::platform {

// How a backend answers one request.
enum class IoState {
    Complete,  // done inside the call: `error` (0 = success) and `bytes` are final
    Pending,   // will end later through CompleteRequest on the request's overlapped record
    Failed,    // refused at issue with `error`; nothing will complete later
};

struct IoOutcome {
    IoState state = IoState::Failed;
    DWORD error = ERROR_GEN_FAILURE;
    DWORD bytes = 0;
};

// One DeviceIoControl as the backend sees it. The buffers are the caller's own
// memory (no copies), so a backend may write status words into `in` as a driver
// does. `overlapped` is never null: for a call made without one, the platform
// supplies its own record and waits for it to end.
struct IoRequest {
    DWORD code;
    void *in;
    DWORD inLength;
    void *out;
    DWORD outLength;
    OVERLAPPED *overlapped;
};

// What tells one attached device from another, read without opening it.
struct DeviceSummary {
    std::string backend;  // the backend's name ("libusb", "vek-sim")
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    uint32_t bus = 0;      // USB bus number; 0 for a device of no real bus
    std::string portPath;  // "1-2.3" as sysfs names it, or the backend's made-up place
    std::string serial;    // serial number string; empty when the device has none
    bool followsVirtualClock = false;
};

struct DriverOps {
    const char *name;
    // Opens an instance of `device` (the context given at registration). On
    // success stores the backend's per-open context and returns 0; otherwise
    // returns a Win32 error code (ERROR_ACCESS_DENIED, ERROR_DEVICE_NOT_CONNECTED, ...).
    DWORD (*open)(void *device, void **openContext);
    // Closes an open instance. Requests still pending are ended (aborted) first.
    void (*close)(void *openContext);
    // Answers one request code of the USB driver interface.
    IoOutcome (*ioctl)(void *openContext, IoRequest *request);
    // Describes `device` (the context given at registration) without opening
    // it; called with the registry's lock held. May be null: nothing known.
    void (*describe)(void *device, DeviceSummary &summary) = nullptr;
};

// Adds an attached device of `interfaceClass` reachable as `interfacePath`.
// `followsVirtualClock` is true for a device that lives in this process (the
// virtual board): work on it follows the virtual clock; real hardware always
// gets real pauses and waits (DeviceTimeScope). SetupDi* list real devices
// first, then the in-process ones, each group in registration order, so a
// real board that re-enumerates keeps its place ahead of virtual boards.
// Returns an id > 0.
uint64_t RegisterDevice(const GUID &interfaceClass, const char *interfacePath, const DriverOps *ops, void *device,
                        bool followsVirtualClock = false);
// Removes it from enumeration and from CreateFileA; instances already open
// stay open until closed (the backend fails their requests).
void UnregisterDevice(uint64_t id);

// The registered devices of `interfaceClass` in their listing order (the
// order CreateFileA's callers index them by), each described by its backend;
// runs the enumeration hooks first, as SetupDiGetClassDevsA does.
std::vector<DeviceSummary> DescribeDevicesOf(const GUID &interfaceClass);

// True when `deviceFile` is an open registry device whose backend follows the
// virtual clock; false for any other handle.
bool FollowsVirtualClock(HANDLE deviceFile);

// Opened around work on a device (a device call, a transfer's wait): the
// thread keeps real time unless the device follows the virtual clock. A null
// or invalid handle (no device open) leaves the thread's clock as it is.
class DeviceTimeScope : public RealTimeScope {
public:
    explicit DeviceTimeScope(HANDLE deviceFile)
        : RealTimeScope(deviceFile != nullptr && deviceFile != INVALID_HANDLE_VALUE &&
                        !FollowsVirtualClock(deviceFile)) {}
};

// Ends a pending request: records `error` and `bytes` in the overlapped
// record (read by GetOverlappedResult) and sets its event. Any thread.
void CompleteRequest(OVERLAPPED *overlapped, DWORD error, DWORD bytes);

// A backend whose requests complete through polling (libusb) registers a pump:
// waits on events call it repeatedly, with the time left (ms, at most `slice`),
// until the event is set or the wait's time runs out. No thread is started.
using EventPump = void (*)(DWORD timeoutMs);
void RegisterEventPump(EventPump pump);
void UnregisterEventPump(EventPump pump);

// A backend that discovers its devices itself (libusb) registers an
// enumeration hook: SetupDiGetClassDevsA calls every hook, with the class
// asked for, before it reads the registry, so that boards plugged in (or
// re-enumerated) since the last look are listed. A hook may call
// RegisterDevice and UnregisterDevice; it is never called with the registry's
// lock held. Registering the same hook twice has no effect.
using EnumerationHook = void (*)(const GUID &interfaceClass);
void RegisterEnumerationHook(EnumerationHook hook);
void UnregisterEnumerationHook(EnumerationHook hook);
// Runs the registered hooks (SetupDiGetClassDevsA does this itself).
void RunEnumerationHooks(const GUID &interfaceClass);

}  // namespace vek::platform

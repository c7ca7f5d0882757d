// The driver registry, device files and their requests (on every system).

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/internal.h"
#include "platform/win32.h"

namespace vek::platform {
namespace detail {
namespace {

struct Registry {
    std::mutex mutex;
    std::vector<RegisteredDevice> devices;  // in registration order
    uint64_t nextId = 1;
};

Registry &Devices() {
    static Registry *registry = new Registry;
    return *registry;
}

// One open instance of a registered device. The backend's close runs once,
// when the last user of the object lets go.
class DeviceFile final : public Object {
public:
    DeviceFile(const DriverOps *ops, void *context, bool followsVirtualClock)
        : Object(ObjectKind::DeviceFile), ops_(ops), context_(context), followsVirtualClock_(followsVirtualClock) {}
    ~DeviceFile() override {
        if (ops_->close) ops_->close(context_);
    }
    IoOutcome Issue(IoRequest &request) {
        if (!ops_->ioctl) return {IoState::Failed, ERROR_NOT_SUPPORTED, 0};
        return ops_->ioctl(context_, &request);
    }
    bool FollowsVirtualClock() const { return followsVirtualClock_; }

private:
    const DriverOps *ops_;
    void *context_;
    bool followsVirtualClock_;
};

// The listing order: real devices first, then the in-process ones.
std::vector<RegisteredDevice> ListedLocked(const Registry &registry, const GUID &interfaceClass) {
    std::vector<RegisteredDevice> found;
    for (const RegisteredDevice &device : registry.devices) {
        if (std::memcmp(&device.interfaceClass, &interfaceClass, sizeof(GUID)) == 0) found.push_back(device);
    }
    std::stable_partition(found.begin(), found.end(), [](const RegisteredDevice &d) { return !d.followsVirtualClock; });
    return found;
}

}  // namespace

std::vector<RegisteredDevice> RegisteredDevicesOf(const GUID &interfaceClass) {
    Registry &registry = Devices();
    std::lock_guard lock(registry.mutex);
    return ListedLocked(registry, interfaceClass);
}

ULONG_PTR LoadStatus(const OVERLAPPED *overlapped) {
    return std::atomic_ref(const_cast<ULONG_PTR &>(overlapped->Internal)).load(std::memory_order_acquire);
}

ULONG_PTR LoadBytes(const OVERLAPPED *overlapped) {
    return std::atomic_ref(const_cast<ULONG_PTR &>(overlapped->InternalHigh)).load(std::memory_order_relaxed);
}

void StoreResult(OVERLAPPED *overlapped, ULONG_PTR status, ULONG_PTR bytes) {
    std::atomic_ref(overlapped->InternalHigh).store(bytes, std::memory_order_relaxed);
    std::atomic_ref(overlapped->Internal).store(status, std::memory_order_release);
}

}  // namespace detail

uint64_t RegisterDevice(const GUID &interfaceClass, const char *interfacePath, const DriverOps *ops, void *device,
                        bool followsVirtualClock) {
    if (interfacePath == nullptr || ops == nullptr) return 0;
    detail::Registry &registry = detail::Devices();
    std::lock_guard lock(registry.mutex);
    uint64_t id = registry.nextId++;
    registry.devices.push_back({id, interfaceClass, interfacePath, ops, device, followsVirtualClock});
    return id;
}

void UnregisterDevice(uint64_t id) {
    detail::Registry &registry = detail::Devices();
    std::lock_guard lock(registry.mutex);
    std::erase_if(registry.devices, [id](const detail::RegisteredDevice &d) { return d.id == id; });
}

std::vector<DeviceSummary> DescribeDevicesOf(const GUID &interfaceClass) {
    RunEnumerationHooks(interfaceClass);
    detail::Registry &registry = detail::Devices();
    std::lock_guard lock(registry.mutex);
    std::vector<DeviceSummary> found;
    for (const detail::RegisteredDevice &device : detail::ListedLocked(registry, interfaceClass)) {
        DeviceSummary summary;
        if (device.ops->describe != nullptr) device.ops->describe(device.device, summary);
        summary.followsVirtualClock = device.followsVirtualClock;
        found.push_back(std::move(summary));
    }
    return found;
}

bool FollowsVirtualClock(HANDLE deviceFile) {
    const auto file = detail::Lookup<detail::DeviceFile>(deviceFile, detail::ObjectKind::DeviceFile);
    return file != nullptr && file->FollowsVirtualClock();
}

void CompleteRequest(OVERLAPPED *overlapped, DWORD error, DWORD bytes) {
    if (overlapped == nullptr) return;
    // The event is read first: once the status is stored, the owner may
    // release the record at any moment.
    HANDLE event = overlapped->hEvent;
    detail::StoreResult(overlapped, error, bytes);
    if (event != nullptr) SetEvent(event);
}

}  // namespace vek::platform

namespace vek::platform::detail {

std::optional<HANDLE> OpenRegisteredDevice(LPCSTR path) {
    std::shared_ptr<DeviceFile> file;
    {
        // The backend's open runs under the registry lock, so once
        // UnregisterDevice has returned no open of that device is under way.
        Registry &registry = Devices();
        std::lock_guard lock(registry.mutex);
        const RegisteredDevice *found = nullptr;
        for (const auto &device : registry.devices) {
            if (device.path == path) {
                found = &device;
                break;
            }
        }
        if (found == nullptr) return std::nullopt;
        void *context = nullptr;
        DWORD error = found->ops->open ? found->ops->open(found->device, &context) : ERROR_SUCCESS;
        if (error != ERROR_SUCCESS) {
            SetLastError(error);
            return INVALID_HANDLE_VALUE;
        }
        file = std::make_shared<DeviceFile>(found->ops, context, found->followsVirtualClock);
    }
    HANDLE handle = InsertHandle(std::move(file));
    SetLastError(ERROR_SUCCESS);
    return handle;
}

BOOL DeviceFileIoControl(HANDLE device, DWORD ioControlCode, LPVOID inBuffer, DWORD inBufferSize, LPVOID outBuffer,
                         DWORD outBufferSize, LPDWORD bytesReturned, LPOVERLAPPED overlapped) {
    auto file = Lookup<DeviceFile>(device, ObjectKind::DeviceFile);
    if (!file) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (bytesReturned != nullptr) *bytesReturned = 0;

    // A call without a record gets a private one, and ends here.
    OVERLAPPED own{};
    const bool synchronous = overlapped == nullptr;
    if (synchronous) {
        own.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        overlapped = &own;
    }
    RequestEvent event(overlapped->hEvent);
    event.Reset();  // as on Windows: not signalled while the request runs
    StoreResult(overlapped, kRequestPending, 0);

    IoRequest request{ioControlCode, inBuffer, inBufferSize, outBuffer, outBufferSize, overlapped};
    IoOutcome outcome = file->Issue(request);

    DWORD error = ERROR_SUCCESS;
    DWORD bytes = 0;
    switch (outcome.state) {
    case IoState::Complete:
        error = outcome.error;
        bytes = outcome.bytes;
        StoreResult(overlapped, error, bytes);
        event.Set();
        break;
    case IoState::Pending:
        if (!synchronous) {
            SetLastError(ERROR_IO_PENDING);
            return FALSE;
        }
        while (LoadStatus(overlapped) == kRequestPending) WaitForSingleObject(own.hEvent, INFINITE);
        error = static_cast<DWORD>(LoadStatus(overlapped));
        bytes = static_cast<DWORD>(LoadBytes(overlapped));
        break;
    case IoState::Failed:
        error = outcome.error != ERROR_SUCCESS ? outcome.error : ERROR_GEN_FAILURE;
        StoreResult(overlapped, error, 0);
        break;
    }
    if (synchronous) CloseHandle(own.hEvent);
    if (outcome.state != IoState::Failed && bytesReturned != nullptr) *bytesReturned = bytes;
    SetLastError(error);
    return error == ERROR_SUCCESS ? TRUE : FALSE;
}

BOOL DeviceFileResult(LPOVERLAPPED overlapped, LPDWORD bytesTransferred, BOOL wait) {
    if (overlapped == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    while (LoadStatus(overlapped) == kRequestPending) {
        if (!wait) {
            SetLastError(ERROR_IO_INCOMPLETE);
            return FALSE;
        }
        if (overlapped->hEvent != nullptr) {
            if (WaitForSingleObject(overlapped->hEvent, INFINITE) == WAIT_FAILED) return FALSE;
        } else if (!RunEventPumps(1)) {
            // No event to wait on: poll the record (a real pause; this is
            // no Sleep of the caller's and must not move virtual time).
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    const DWORD error = static_cast<DWORD>(LoadStatus(overlapped));
    if (bytesTransferred != nullptr) *bytesTransferred = static_cast<DWORD>(LoadBytes(overlapped));
    SetLastError(error);
    return error == ERROR_SUCCESS ? TRUE : FALSE;
}

}  // namespace vek::platform::detail
